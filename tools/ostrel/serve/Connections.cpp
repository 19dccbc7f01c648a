// The gateway's connections: accepted within the bounds, one thread each.
#include "Connections.h"

#include "Note.h"

#include <algorithm>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace ostrel::tool::serve {

struct Connections::Listener {
    int fd;
    std::string kind;
    Channel channel;
};

struct Connections::Connection {
    int fd;
    Client client;
    std::string kind;
    std::thread thread;
    std::atomic<bool> done{false};
};

Connections::Connections(const Bounds &bounds) : bounds(bounds)
{
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0)
        wake[0] = wake[1] = -1;
}

Connections::~Connections()
{
    Stop();
    for (const auto &listener : listeners)
        close(listener->fd);
    for (int end : wake)
        if (end >= 0)
            close(end);
}

void Connections::Add(int listener, const std::string &kind, Channel channel)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        listeners.push_back(std::make_unique<Listener>(Listener{listener, kind, std::move(channel)}));
    }
    const char byte = 1;
    (void)!write(wake[1], &byte, 1);
}

void Connections::Start()
{
    acceptor = std::thread([this] { Accept(); });
}

void Connections::Accept()
{
    while (!stopping) {
        std::vector<pollfd> waits{{wake[0], POLLIN, 0}};
        std::vector<Listener *> order;
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (const auto &listener : listeners) {
                waits.push_back({listener->fd, POLLIN, 0});
                order.push_back(listener.get());
            }
        }
        // A second at most between looks for connections that have ended.
        if (poll(waits.data(), waits.size(), 1000) > 0 && (waits[0].revents & POLLIN) != 0) {
            char bytes[64];
            while (read(wake[0], bytes, sizeof bytes) > 0) {
            }
        }
        for (size_t i = 1; i < waits.size() && !stopping; ++i)
            if ((waits[i].revents & POLLIN) != 0)
                Admit(*order[i - 1]);
        Reap(false);
    }
}

std::string Connections::Refusal(const sockaddr_storage &peer)
{
    if (!bounds.allowed.empty() && std::none_of(bounds.allowed.begin(), bounds.allowed.end(),
                                                [&](const Network &network) { return Contains(network, peer); }))
        return "not in --allow";
    const std::string host = HostOf(peer);
    std::lock_guard<std::mutex> lock(mutex);
    const auto open = std::count_if(connections.begin(), connections.end(),
                                    [](const auto &connection) { return !connection->done; });
    if (static_cast<unsigned>(open) >= bounds.maxConnections)
        return std::to_string(bounds.maxConnections) + " connections in all (--max-links)";
    const auto ofClient = std::count_if(connections.begin(), connections.end(), [&](const auto &connection) {
        return !connection->done && connection->client.address == host;
    });
    if (static_cast<unsigned>(ofClient) >= bounds.clientConnections)
        return std::to_string(bounds.clientConnections) + " connections of this client (--client-links)";
    return "";
}

void Connections::Admit(Listener &listener)
{
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    const int fd = accept4(listener.fd, reinterpret_cast<sockaddr *>(&peer), &length, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    const std::string refusal = Refusal(peer);
    if (!refusal.empty()) {
        Note("refused " + PeerOf(peer) + " " + listener.kind + ": " + refusal);
        close(fd);
        return;
    }
    auto connection = std::make_unique<Connection>();
    connection->fd = fd;
    connection->kind = listener.kind;
    connection->client = {.address = HostOf(peer), .peer = PeerOf(peer), .connection = 0};
    Note("connect " + connection->client.peer + " " + listener.kind);
    std::lock_guard<std::mutex> lock(mutex);
    connection->client.connection = nextConnection++;
    Connection &started = *connection;
    const Channel channel = listener.channel;
    connection->thread = std::thread([&started, channel] {
        const std::string why = channel(started.fd, started.client);
        Note("close " + started.client.peer + " " + started.kind + (why.empty() ? "" : ": " + why));
        started.done = true;
    });
    connections.push_back(std::move(connection));
}

// Joins the threads of connections that have ended (all: every one) and closes their sockets.
void Connections::Reap(bool all)
{
    std::list<std::unique_ptr<Connection>> ended;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto connection = connections.begin(); connection != connections.end();) {
            auto next = std::next(connection);
            if (all || (*connection)->done)
                ended.splice(ended.end(), connections, connection);
            connection = next;
        }
    }
    for (auto &connection : ended) {
        connection->thread.join();
        close(connection->fd);
    }
}

void Connections::Stop()
{
    if (stopping.exchange(true))
        return;
    const char byte = 1;
    (void)!write(wake[1], &byte, 1);
    if (acceptor.joinable())
        acceptor.join();
    {
        // A thread blocked on its socket wakes up to find it shut.
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto &connection : connections)
            shutdown(connection->fd, SHUT_RDWR);
    }
    Reap(true);
}

} // namespace ostrel::tool::serve
