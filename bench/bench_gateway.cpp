// Queries per second through `ostrel serve` for 1, 8 and 32 VXI-11 clients over
// loopback on the example bench, and the gateway's added time per query beside
// the same query made directly through the library, in one run; then its cost
// per query as a ratio to the floor of any TCP gateway: two plain round trips
// on loopback (a query is two calls). The clients are libtirpc's, with
// rpcgen's stubs; serve needs the system's rpcbind.
#include <benchmark/benchmark.h>

#include "BenchSupport.h"
#include "ostrel.h"
#include "ostrel_sim.h"
#include "vxi11.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

const char kKey[] = "2936-R SN12345"; // inst0 of the example bench
const char kIdentity[] = "VORN 2936-R 1.0.3 01/02/24 SN12345\r\n";
const char kIdentity2[] = "VORN 2955-L 0.9.8 03/15/24 SN30502\r\n"; // inst2

// The gateway in a child process, stopped with SIGTERM when the program ends.
struct Gateway {
    pid_t pid = -1;
    unsigned port = 0;

    explicit Gateway(const std::string &logs)
    {
        int out[2];
        if (pipe(out) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            setenv("OSTREL_LOG_DIR", logs.c_str(), 1);
            execl(OSTREL_TOOL, OSTREL_TOOL, "--bench", OSTREL_SOURCE_DIR "/examples/bench.json", "serve",
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        close(out[1]);
        FILE *lines = fdopen(out[0], "r");
        char line[512];
        while (port == 0 && std::fgets(line, sizeof line, lines) != nullptr)
            std::sscanf(line, "serving on %*s VXI-11 core channel on port %u", &port);
        // Its later lines go nowhere; a full pipe must not stop it.
        if (fork() == 0) {
            while (std::fgets(line, sizeof line, lines) != nullptr) {
            }
            _exit(0);
        }
        std::fclose(lines);
    }
    ~Gateway()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
};

const Gateway &TheGateway(benchmark::State &state)
{
    // Its log goes beside the baseline's, in the temporary documents folder.
    static const Gateway gateway(ostrel::bench::TempDocumentsFolder().string());
    if (gateway.port == 0)
        state.SkipWithError("ostrel serve did not start (is rpcbind running?)");
    return gateway;
}

// One link of one client; every query is *IDN? and its reply.
struct Link {
    CLIENT *client = nullptr;
    long id = -1;
    std::string identity;

    Link(unsigned port, const char *device, const char *identity) : identity(identity)
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
        int sock = RPC_ANYSOCK;
        client = clnttcp_create(&address, DEVICE_CORE, DEVICE_CORE_VERSION, &sock, 0, 0);
        Create_LinkParms parameters{0, 0, 0, const_cast<char *>(device)};
        Create_LinkResp created{};
        if (client != nullptr && create_link_1(&parameters, &created, client) == RPC_SUCCESS && created.error == 0)
            id = created.lid;
    }
    ~Link()
    {
        if (client == nullptr)
            return;
        Device_Error error{};
        destroy_link_1(&id, &error, client);
        clnt_destroy(client);
    }
    bool Query()
    {
        char command[] = "*IDN?\n";
        Device_WriteParms write{id, 2000, 0, DEVICE_FLAG_END, {6, command}};
        Device_WriteResp written{};
        Device_ReadParms read{id, 1024, 2000, 0, 0, 0};
        Device_ReadResp reply{};
        const bool ok = device_write_1(&write, &written, client) == RPC_SUCCESS && written.error == 0 &&
                        device_read_1(&read, &reply, client) == RPC_SUCCESS && reply.error == 0 &&
                        std::string(reply.data.data_val, reply.data.data_len) == identity;
        xdr_free(reinterpret_cast<xdrproc_t>(xdr_Device_ReadResp), reinterpret_cast<char *>(&reply));
        return ok;
    }
};

double directSeconds = 0; // one query through the library, from the baseline run

void BM_QueryThroughTheLibrary(benchmark::State &state)
{
    if (!ostrel::bench::UseTempDocuments(state))
        return;
    static const bool ready = [] {
        int count = 0;
        return ostrel_sim_load_bench(OSTREL_SOURCE_DIR "/examples/bench.json") == 3 &&
               vorn_usb_open_devices(0, false, &count) == 0 && count == 3;
    }();
    if (!ready)
        return state.SkipWithError("the example bench could not be loaded");
    char command[] = "*IDN?";
    char reply[128];
    unsigned got = 0;
    const Clock::time_point start = Clock::now();
    for (auto _ : state)
        if (vorn_usb_write_by_key(kKey, command, 0) != 0 ||
            vorn_usb_read_by_key(kKey, reply, sizeof reply, &got) != 0 || got != sizeof kIdentity - 1) {
            state.SkipWithError("the query failed");
            break;
        }
    directSeconds = std::chrono::duration<double>(Clock::now() - start).count() / state.iterations();
    state.SetItemsProcessed(state.iterations());
}

// Each client has its own connection and link, to inst0 or inst2 in turn
// (inst1 of the example bench answers after 20 ms on purpose).
void BM_QueryThroughTheGateway(benchmark::State &state)
{
    const Gateway &gateway = TheGateway(state);
    if (gateway.port == 0)
        return;
    const bool first = state.thread_index() % 2 == 0;
    Link link(gateway.port, first ? "inst0" : "inst2", first ? kIdentity : kIdentity2);
    if (link.id < 0)
        return state.SkipWithError("no link to the gateway");
    const Clock::time_point start = Clock::now();
    for (auto _ : state)
        if (!link.Query()) {
            state.SkipWithError("a query through the gateway failed");
            break;
        }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count() / state.iterations();
    state.SetItemsProcessed(state.iterations());
    if (state.threads() == 1 && directSeconds > 0) {
        state.counters["added_us"] = (seconds - directSeconds) * 1e6;
        state.counters["x_library"] = seconds / directSeconds;
    }
}

// About a VXI-11 call's size on the wire: record mark, RPC header, the call's fields.
constexpr size_t kCallBytes = 64;

// Each connection is answered by a thread of its own, which sends back what it gets.
unsigned EchoServerPort()
{
    static const unsigned port = [] {
        const int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
            listen(listener, 64) != 0 || getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            return 0u;
        std::thread([listener] {
            for (int connection; (connection = accept(listener, nullptr, nullptr)) >= 0;)
                std::thread([connection] {
                    char bytes[kCallBytes];
                    for (ssize_t count; (count = recv(connection, bytes, sizeof bytes, 0)) > 0;)
                        if (send(connection, bytes, static_cast<size_t>(count), MSG_NOSIGNAL) != count)
                            break;
                    close(connection);
                }).detach();
        }).detach();
        return static_cast<unsigned>(ntohs(address.sin_port));
    }();
    return port;
}

bool RoundTrip(int fd)
{
    char bytes[kCallBytes] = {};
    if (send(fd, bytes, sizeof bytes, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof bytes))
        return false;
    for (size_t got = 0; got < sizeof bytes;) {
        const ssize_t count = recv(fd, bytes + got, sizeof bytes - got, 0);
        if (count <= 0)
            return false;
        got += static_cast<size_t>(count);
    }
    return true;
}

// The floor: what any gateway's query costs at least, with nothing done at the far end.
void BM_TwoTcpRoundTrips(benchmark::State &state)
{
    const unsigned port = EchoServerPort();
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (port == 0 || fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        state.SkipWithError("no loopback echo server");
    else
        for (auto _ : state)
            if (!RoundTrip(fd) || !RoundTrip(fd)) {
                state.SkipWithError("a round trip failed");
                break;
            }
    state.SetItemsProcessed(state.iterations());
    if (fd >= 0)
        close(fd);
}

BENCHMARK(BM_QueryThroughTheLibrary)->UseRealTime();
BENCHMARK(BM_TwoTcpRoundTrips)->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK(BM_QueryThroughTheGateway)->Threads(1)->Threads(8)->Threads(32)->UseRealTime();

} // namespace

// On a busy machine: --benchmark_repetitions=9 --benchmark_enable_random_interleaving=true
// --benchmark_report_aggregates_only=true gives the ratios of the medians.
int main(int argc, char **argv)
{
    // A connection the gateway refuses (or closes) fails that client's queries; it must not end the
    // program before its destructors stop the gateway.
    std::signal(SIGPIPE, SIG_IGN);
    return ostrel::bench::RunWithReporter<ostrel::bench::RatioReporter>(argc, argv, [](const auto &times) {
        for (const std::string threads : {"1", "8"})
            for (const std::string aggregate : {"", "_median"})
                ostrel::bench::PrintRatio(
                    times, "BM_QueryThroughTheGateway/real_time/threads:" + threads + aggregate,
                    "BM_TwoTcpRoundTrips/real_time/threads:" + threads + aggregate,
                    ("a query through the gateway, " + threads + " client(s) = %.2f x two TCP round trips on loopback" +
                     (aggregate.empty() ? "" : " (medians)") + "\n")
                        .c_str());
    });
}
