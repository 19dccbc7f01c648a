// The gateway's connections: one thread accepts on every listening socket,
// lets in only allowed clients within the bounds, and runs each connection on
// a thread of its own until it closes, idles out or the gateway stops.
#pragma once

#include "Gateway.h"
#include "Metrics.h"
#include "Network.h"

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ostrel::tool::serve {

// Serves one connection on its socket until it ends; says why it ended
// ("" when the client closed it). It must not close the socket.
using Channel = std::function<std::string(Socket socket, const Client &client)>;

struct Bounds {
    std::vector<Network> allowed; // none: everyone who reaches the address
    unsigned maxConnections = 256;
    unsigned clientConnections = 128;
};

class Connections {
public:
    Connections(const Bounds &bounds, Metrics &metrics);
    ~Connections();

    // Takes a listening socket; `kind` names its connections in log lines.
    void Add(Socket listener, const std::string &kind, Channel channel);
    void Start();
    // Accepts no more, ends every connection and waits for their threads.
    void Stop();

private:
    struct Listener;
    struct Connection;

    void Accept();
    void Admit(Listener &listener);
    std::string Refusal(const sockaddr_storage &peer);
    void Reap(bool all);
    void CloseExpired();

    const Bounds bounds;
    Metrics &metrics;
    std::mutex mutex;
    std::vector<std::unique_ptr<Listener>> listeners;
    std::list<std::unique_ptr<Connection>> connections;
    long nextConnection = 1;
    std::atomic<bool> stopping{false};
    std::thread acceptor;
};

} // namespace ostrel::tool::serve
