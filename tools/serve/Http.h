// The gateway's web server: the status page, the LXI identification and the
// metrics, read-only, on the --listen address under the --allow rules.
#pragma once

#include "Documents.h"
#include "Network.h"

#include <memory>
#include <string>
#include <vector>

namespace ostrel::tool::serve {

struct HttpSettings {
    std::string listen;
    unsigned port = 0;      // 0: no web server
    bool portGiven = false; // a port that cannot be had is then an error, not a line in the log
    std::vector<Network> allowed;
};

class HttpServer {
public:
    explicit HttpServer(const Site &site);
    ~HttpServer();
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    // Serving from now on, or not serving with the reason said in the log;
    // false with the reason in `error` only for a port given that cannot be had.
    bool Start(const HttpSettings &settings, std::string &error);
    // The port it serves on; 0: none.
    unsigned Port() const;
    void Stop();

private:
    struct Daemon;
    Site site;
    std::unique_ptr<Daemon> daemon;
};

} // namespace ostrel::tool::serve
