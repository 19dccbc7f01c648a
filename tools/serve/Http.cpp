// The web server on libmicrohttpd: one thread of its own serves every
// request from a snapshot of the gateway, on a socket we listened on.
#include "Http.h"

#include "Note.h"
#include "Refusals.h"

#include <microhttpd.h>

#include <algorithm>
#include <cstring>

namespace ostrel::tool::serve {
namespace {

// A page is small and quick to make: a few connections are plenty, and one
// that stalls is closed before it holds a slot for long.
constexpr unsigned kConnections = 32;
constexpr unsigned kClientConnections = 8;
constexpr unsigned kIdleSeconds = 10;

struct Document {
    const char *path;
    const char *type;
    std::string (*make)(const Site &site);
};

constexpr Document kDocuments[] = {
    {.path = "/", .type = "text/html; charset=utf-8", .make = StatusPage},
    {.path = "/lxi/identification", .type = "text/xml", .make = Identification},
    {.path = "/metrics", .type = "text/plain; version=0.0.4; charset=utf-8", .make = MetricsExposition},
};

MHD_Result Answer(MHD_Connection *connection, unsigned status, const std::string &body, const char *type)
{
    MHD_Response *response =
        MHD_create_response_from_buffer(body.size(), const_cast<char *>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr)
        return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED)
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    const MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

} // namespace

struct HttpServer::Daemon {
    MHD_Daemon *mhd = nullptr;
    unsigned port = 0;
    std::vector<Network> allowed;
    Site site;

    static MHD_Result Admit(void *self, const sockaddr *address, socklen_t length)
    {
        sockaddr_storage peer{};
        std::memcpy(&peer, address, std::min<size_t>(length, sizeof peer));
        if (Allowed(static_cast<Daemon *>(self)->allowed, peer))
            return MHD_YES;
        static_cast<Daemon *>(self)->site.metrics->Refused();
        NoteRefusal(HostOf(peer), "refused " + PeerOf(peer) + " http: not in --allow");
        return MHD_NO;
    }

    // Answered as the request's head arrives: a body, which only a method refused here has, is never read.
    static MHD_Result Serve(void *self, MHD_Connection *connection, const char *url, const char *method,
                            const char *, const char *, size_t *, void **)
    {
        if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 && std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0)
            return Answer(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "read-only: GET and HEAD only\n", "text/plain");
        for (const Document &document : kDocuments)
            if (std::strcmp(url, document.path) == 0)
                return Answer(connection, MHD_HTTP_OK, document.make(static_cast<Daemon *>(self)->site),
                              document.type);
        return Answer(connection, MHD_HTTP_NOT_FOUND, "no such page\n", "text/plain");
    }
};

HttpServer::HttpServer(const Site &site) : site(site) {}

HttpServer::~HttpServer()
{
    Stop();
}

bool HttpServer::Start(const HttpSettings &settings, std::string &error)
{
    if (settings.port == 0)
        return true;
    auto started = std::make_unique<Daemon>();
    std::string why;
    const Socket fd = Listen(settings.listen, settings.port, started->port, why);
    started->allowed = settings.allowed;
    started->site = site;
    started->site.offered.httpPort = started->port;
    // The daemon owns the socket from here on, also when it fails to start.
    if (fd != kNoSocket)
        started->mhd = MHD_start_daemon(
            MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO, 0, Daemon::Admit, started.get(), Daemon::Serve,
            started.get(), MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_CONNECTION_LIMIT, kConnections,
            MHD_OPTION_PER_IP_CONNECTION_LIMIT, kClientConnections, MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds,
            MHD_OPTION_END);
    if (started->mhd != nullptr) {
        daemon = std::move(started);
        return true;
    }
    if (fd != kNoSocket)
        why = "the web server did not start on port " + std::to_string(started->port);
    if (settings.portGiven) {
        error = "--http-port: " + why;
        return false;
    }
    Note("no status page: " + why + " (below 1024 a port needs root or CAP_NET_BIND_SERVICE; choose one with "
         "--http-port N, or none with --http-port 0)");
    return true;
}

unsigned HttpServer::Port() const
{
    return daemon != nullptr ? daemon->port : 0;
}

void HttpServer::Stop()
{
    if (daemon != nullptr && daemon->mhd != nullptr)
        MHD_stop_daemon(daemon->mhd);
    daemon.reset();
}

} // namespace ostrel::tool::serve
