// serve: every instrument as a LAN instrument until SIGTERM or Ctrl-C: VXI-11
// devices inst0, inst1, ... registered with rpcbind, and raw SCPI sockets.
#include "../Cli.h"
#include "BenchConsole.h"
#include "Connections.h"
#include "Note.h"
#include "RawChannel.h"
#include "RpcChannel.h"

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <set>
#include <unistd.h>

namespace ostrel::tool {
namespace {

using namespace serve;

int stopPipe[2] = {-1, -1};

void OnStopSignal(int)
{
    const char byte = 1;
    (void)!write(stopPipe[1], &byte, 1);
}

int WaitForStopSignal()
{
    char byte = 0;
    while (read(stopPipe[0], &byte, 1) < 0) {
    }
    return byte;
}

// How clients name this PC in a resource string.
std::string HostName(const std::string &listen)
{
    if (listen != "0.0.0.0" && listen != "::")
        return listen.find(':') != std::string::npos ? "[" + listen + "]" : listen;
    char name[256] = "";
    return gethostname(name, sizeof name - 1) == 0 ? name : "<this PC>";
}

// Opens instruments' raw sockets, each once, also for those named later.
struct RawSockets {
    const ServeOptions &options;
    Connections &connections;
    Gateway &gateway;
    std::mutex mutex;
    std::set<int> opened;

    void Open(const Instrument &instrument)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (options.rawPort == 0 || !opened.insert(instrument.index).second)
            return;
        const unsigned port = options.rawPort + static_cast<unsigned>(instrument.index);
        std::string error;
        unsigned bound = 0;
        const int fd = port <= 65535 ? Listen(options.listen, port, bound, error) : -1;
        if (fd < 0) {
            Note("no raw socket for " + instrument.name + ": " + (port > 65535 ? "no port left" : error));
            return;
        }
        const RawSettings settings{.gateway = &gateway,
                                   .instrument = instrument.name,
                                   .replyMs = options.rawTimeoutMs,
                                   .idleSeconds = options.idleSeconds};
        connections.Add(fd, "raw " + instrument.name,
                        [settings](int socket, const Client &client) { return ServeRaw(socket, client, settings); });
    }
};

void ShowTable(Roster &roster, const ServeOptions &options, unsigned corePort, unsigned abortPort)
{
    const std::string host = HostName(options.listen);
    std::printf("serving on %s: VXI-11 core channel on port %u (registered with rpcbind), abort channel on %u\n",
                options.listen.c_str(), corePort, abortPort);
    const auto row = [&](const std::string &resource, const std::string &raw, const std::string &key,
                         const std::string &identity) {
        std::printf("  %-34s %s%-24s %s\n", resource.c_str(), options.rawPort ? (raw + "  ").c_str() : "",
                    key.c_str(), identity.c_str());
    };
    row("RESOURCE", "RAW SOCKET                       ", "KEY", "IDENTITY");
    for (const Instrument *instrument : roster.All()) {
        char raw[64];
        std::snprintf(raw, sizeof raw, "%-33s",
                      ("TCPIP::" + host + "::" + std::to_string(options.rawPort + instrument->index) + "::SOCKET")
                          .c_str());
        row("TCPIP::" + host + "::" + instrument->name + "::INSTR", raw, instrument->key, instrument->identity);
    }
    if (roster.All().empty())
        std::printf("  no instruments yet: each one plugged in is served as the next instN\n");
    std::fflush(stdout);
}

// Ends event mode when serve returns, before the roster and the gateway the
// library's callbacks reach are gone.
struct EventModeEnd {
    const Api &api;
    ~EventModeEnd() { api.vorn_usb_uninit_system(); }
};

bool ParseBounds(const ServeOptions &options, Bounds &bounds, std::string &error)
{
    bounds.maxConnections = options.maxLinks;
    bounds.clientConnections = options.clientLinks;
    for (const std::string &text : options.allow) {
        Network network;
        if (!ParseNetwork(text, network, error))
            return false;
        bounds.allowed.push_back(network);
    }
    return true;
}

} // namespace

bool ServeBuilt()
{
    return true;
}

int Serve(Session &session)
{
    const ServeOptions &options = session.options.serve;
    const Api &api = session.library.api;
    Bounds bounds;
    std::string error;
    if (!ParseBounds(options, bounds, error))
        return Fail(kUsage, "--allow " + error);
    unsigned corePort = 0, abortPort = 0;
    const int core = Listen(options.listen, options.port, corePort, error);
    const int abort = core < 0 ? -1 : Listen(options.listen, options.port ? options.port + 1 : 0, abortPort, error);
    if (abort < 0) {
        if (core >= 0)
            close(core);
        return Fail(kFailed, error);
    }
    Connections connections(bounds);
    Roster roster(api, session.options.productID);
    Gateway gateway(api, roster, options.maxLinks, options.clientLinks);
    const RpcSettings rpc{.gateway = &gateway, .abortPort = static_cast<unsigned short>(abortPort),
                          .idleSeconds = options.idleSeconds};
    connections.Add(core, "core", [&rpc](int fd, const Client &client) { return ServeCore(fd, client, rpc); });
    connections.Add(abort, "abort", [&rpc](int fd, const Client &client) { return ServeAbort(fd, client, rpc); });
    RawSockets raw{options, connections, gateway, {}, {}};
    roster.onNamed = [&raw](Instrument &instrument) { raw.Open(instrument); };
    const EventModeEnd eventModeEnd{api};
    if (!roster.Start(error))
        return Fail(kFailed, error);
    if (!RegisterCore(corePort))
        return Fail(kFailed, "rpcbind did not take the VXI-11 core channel: is it running? (apt install rpcbind; "
                             "systemctl start rpcbind; as root in a container: rpcbind)");
    for (Instrument *instrument : roster.All())
        raw.Open(*instrument);

    if (pipe2(stopPipe, O_CLOEXEC) != 0)
        return Fail(kFailed, "cannot wait for a stop signal");
    std::signal(SIGTERM, OnStopSignal);
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGPIPE, SIG_IGN); // a client gone while its reply is sent is a failed send, not an end
    ShowTable(roster, options, corePort, abortPort);
    connections.Start();
    StartBenchConsole(session);
    WaitForStopSignal();

    Note("stopping: closing every link");
    gateway.Stop();
    connections.Stop();
    UnregisterCore();
    api.vorn_usb_uninit_system();
    const auto handles = session.library.bench.ostrel_sim_open_handles;
    Note("stopped: " + std::to_string(gateway.Links()) + " links open, every instrument released" +
         (handles != nullptr ? " (bench handles open: " + std::to_string(handles()) + ")" : ""));
    return kOk;
}

} // namespace ostrel::tool
