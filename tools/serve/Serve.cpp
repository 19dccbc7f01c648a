// serve: every instrument as a LAN instrument until SIGTERM or Ctrl-C: VXI-11
// devices inst0, inst1, ... registered with rpcbind (where the build has an
// ONC RPC engine), and raw SCPI sockets.
#include "../ostrel/Cli.h"
#include "Announcer.h"
#include "BenchConsole.h"
#include "Connections.h"
#include "Http.h"
#include "Note.h"
#include "RawChannel.h"
#include "RpcChannel.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <set>
#include <thread>

namespace ostrel::tool {
namespace {

using namespace serve;

volatile std::sig_atomic_t stopAsked = 0;

void OnStopSignal(int)
{
    stopAsked = 1;
}

void WaitForStopSignal()
{
    while (stopAsked == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
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
        const unsigned port = RawPort(options.rawPort, instrument);
        std::string error;
        unsigned bound = 0;
        const Socket fd = port <= 65535 ? Listen(options.listen, port, bound, error) : kNoSocket;
        if (fd == kNoSocket) {
            Note("no raw socket for " + instrument.name + ": " + (port > 65535 ? "no port left" : error));
            return;
        }
        const RawSettings settings{.gateway = &gateway,
                                   .instrument = instrument.name,
                                   .replyMs = options.rawTimeoutMs,
                                   .idleSeconds = options.idleSeconds};
        connections.Add(fd, "raw " + instrument.name,
                        [settings](Socket socket, const Client &client) { return ServeRaw(socket, client, settings); });
    }
};

void ShowTable(Roster &roster, const ServeOptions &options, const RpcPorts *rpc)
{
    const std::string host = HostName(options.listen);
    if (rpc != nullptr)
        std::printf("serving on %s: VXI-11 core channel on port %u (registered with rpcbind), abort channel on %u\n",
                    options.listen.c_str(), rpc->core, rpc->abort);
    else
        std::printf("serving on %s: raw SCPI sockets only (%s)\n", options.listen.c_str(), RpcMissing().c_str());
    const auto row = [&](const std::string &resource, const std::string &raw, const std::string &key,
                         const std::string &identity) {
        std::printf("  %-34s %s%-24s %s\n", resource.c_str(), options.rawPort ? (raw + "  ").c_str() : "",
                    key.c_str(), identity.c_str());
    };
    row("RESOURCE", "RAW SOCKET                       ", "KEY", "IDENTITY");
    for (const Instrument *instrument : roster.All()) {
        char raw[64];
        std::snprintf(raw, sizeof raw, "%-33s", SocketResource(host, RawPort(options.rawPort, *instrument)).c_str());
        row(rpc != nullptr ? InstrResource(host, instrument->name) : instrument->name, raw,
            instrument->key, roster.Identity(*instrument));
    }
    if (roster.All().empty())
        std::printf("  no instruments yet: each one plugged in is served as the next instN\n");
    std::fflush(stdout);
}

// The log's last lines written when serve returns, however it returns, unless
// nobody reads them: a stop never waits on its output for long.
struct LogFlushedAtEnd {
    ~LogFlushedAtEnd() { FlushLog(std::chrono::seconds(1)); }
};

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

int Serve(Session &session)
{
    const LogFlushedAtEnd logFlushedAtEnd;
    const ServeOptions &options = session.options.serve;
    const Api &api = session.library.api;
    Bounds bounds;
    std::string error;
    if (!ParseBounds(options, bounds, error))
        return Fail(kUsage, "--allow " + error);
    const std::string rpcMissing = RpcMissing();
    const bool vxi11 = rpcMissing.empty();
    if (!vxi11 && options.port != 0)
        return Fail(kUsage, "--port names the VXI-11 core channel: " + rpcMissing);
    if (!vxi11 && options.rawPort == 0)
        return Fail(kFailed, rpcMissing + "; serve raw SCPI sockets with --raw-port (clients open "
                                          "TCPIP::<host>::5025::SOCKET), or VXI-11 from a Linux PC (see docs/lan.md)");
    if (!StartSockets(error))
        return Fail(kFailed, error);
    Metrics metrics;
    Connections connections(bounds, metrics);
    Roster roster(api, session.options.productID);
    Gateway gateway(api, roster, options.maxLinks, options.clientLinks, metrics);
    RpcPorts rpc;
    if (vxi11 && !OpenRpc(options.listen, options.port, gateway, options.idleSeconds, connections, rpc, error))
        return Fail(kFailed, error);
    RawSockets raw{options, connections, gateway, {}, {}};
    roster.onNamed = [&raw](Instrument &instrument) { raw.Open(instrument); };
    Offered offered{.listen = options.listen, .host = HostName(options.listen), .vxi11 = vxi11,
                    .rawPort = options.rawPort, .httpPort = 0};
    HttpServer http({.gateway = &gateway, .metrics = &metrics, .offered = offered});
    if (!http.Start({.listen = options.listen, .port = options.httpPort, .portGiven = options.httpPortGiven,
                     .allowed = bounds.allowed},
                    error))
        return Fail(kFailed, error);
    offered.httpPort = http.Port();
    Announcer announcer(roster, offered);
    roster.onPresence = [&announcer](Instrument &instrument) { announcer.Follow(instrument); };
    const EventModeEnd eventModeEnd{api};
    if (!roster.Start(error))
        return Fail(kFailed, error);
    if (vxi11 && !RegisterCore(rpc.core, error))
        return Fail(kFailed, error);
    for (Instrument *instrument : roster.All())
        raw.Open(*instrument);

    OnStopSignals(OnStopSignal);
    ShowTable(roster, options, vxi11 ? &rpc : nullptr);
    if (http.Port() != 0) {
        std::printf("status page on http://%s:%u/\n", offered.host.c_str(), offered.httpPort);
        std::fflush(stdout);
    }
    connections.Start();
    if (options.mdns)
        announcer.Start(roster.All());
    StartBenchConsole(session);
    WaitForStopSignal();

    Note("stopping: closing every link");
    announcer.Stop();
    http.Stop();
    gateway.Stop();
    connections.Stop();
    if (vxi11)
        UnregisterCore(rpc.core);
    api.vorn_usb_uninit_system();
    const auto handles = session.library.bench.ostrel_sim_open_handles;
    Note("stopped: " + std::to_string(gateway.Links()) + " links open, every instrument released" +
         (handles != nullptr ? " (bench handles open: " + std::to_string(handles()) + ")" : ""));
    return kOk;
}

} // namespace ostrel::tool
