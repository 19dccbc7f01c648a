// A build without libmicrohttpd (the Windows build, a Linux PC without
// libmicrohttpd-dev): no web server, said once when serve starts.
#include "Http.h"

#include "Note.h"

namespace ostrel::tool::serve {

struct HttpServer::Daemon {};

HttpServer::HttpServer(const Site &site) : site(site) {}

HttpServer::~HttpServer() = default;

bool HttpServer::Start(const HttpSettings &settings, std::string &error)
{
    if (settings.port == 0)
        return true;
    const std::string missing = "this build has no web server (libmicrohttpd-dev)";
    if (settings.portGiven) {
        error = "--http-port: " + missing;
        return false;
    }
    Note("no status page: " + missing);
    return true;
}

unsigned HttpServer::Port() const
{
    return 0;
}

void HttpServer::Stop() {}

} // namespace ostrel::tool::serve
