// The gateway's connections: accepted within the bounds, one thread each.
#include "Connections.h"

#include "Note.h"
#include "Refusals.h"

#include <algorithm>
#include <chrono>

namespace ostrel::tool::serve {

// How long the acceptor waits before it looks again for listeners added,
// connections ended and a stop; clients meanwhile wait in the backlog.
constexpr int kLookMs = 100;

struct Connections::Listener {
    Socket fd;
    std::string kind;
    Channel channel;
};

struct Connections::Connection {
    Socket fd;
    Client client;
    std::string kind;
    std::thread thread;
    std::atomic<bool> done{false};
    Expiry expiry;
};

Connections::Connections(const Bounds &bounds, Metrics &metrics) : bounds(bounds), metrics(metrics) {}

Connections::~Connections()
{
    Stop();
    for (const auto &listener : listeners)
        CloseSocket(listener->fd);
}

void Connections::Add(Socket listener, const std::string &kind, Channel channel)
{
    std::lock_guard<std::mutex> lock(mutex);
    listeners.push_back(std::make_unique<Listener>(Listener{listener, kind, std::move(channel)}));
}

void Connections::Start()
{
    acceptor = std::thread([this] { Accept(); });
}

void Connections::Accept()
{
    while (!stopping) {
        std::vector<pollfd> waits;
        std::vector<Listener *> order;
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (const auto &listener : listeners) {
                waits.push_back({listener->fd, POLLIN, 0});
                order.push_back(listener.get());
            }
        }
        // Nothing to wait on, or a failed wait: a pause rather than a spin.
        if (waits.empty() || PollSockets(waits.data(), waits.size(), kLookMs) < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(kLookMs));
        for (size_t i = 0; i < waits.size() && !stopping; ++i)
            if ((waits[i].revents & POLLIN) != 0)
                Admit(*order[i]);
        Reap(false);
        CloseExpired();
        NoteHeldRefusals();
    }
}

std::string Connections::Refusal(const sockaddr_storage &peer)
{
    if (!Allowed(bounds.allowed, peer))
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
    const Socket fd = AcceptClient(listener.fd, peer);
    if (fd == kNoSocket)
        return;
    const std::string refusal = Refusal(peer);
    if (!refusal.empty()) {
        metrics.Refused();
        NoteRefusal(HostOf(peer), "refused " + PeerOf(peer) + " " + listener.kind + ": " + refusal);
        CloseSocket(fd);
        return;
    }
    auto connection = std::make_unique<Connection>();
    connection->fd = fd;
    connection->kind = listener.kind;
    connection->client = {.address = HostOf(peer), .peer = PeerOf(peer), .connection = 0,
                          .gone = [fd] { return PeerGone(fd); }, .expiry = &connection->expiry};
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
        CloseSocket(connection->fd);
    }
}

// The channel sees its connection shut, ends, and finds it Expired().
void Connections::CloseExpired()
{
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto &connection : connections)
        if (!connection->done && connection->expiry.Due())
            WakeSocket(connection->fd);
}

void Connections::Stop()
{
    if (stopping.exchange(true))
        return;
    if (acceptor.joinable())
        acceptor.join();
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto &connection : connections)
            WakeSocket(connection->fd);
    }
    Reap(true);
}

} // namespace ostrel::tool::serve
