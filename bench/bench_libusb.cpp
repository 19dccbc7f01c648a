// Cost of an ASCII query through libostrel.so against the same transfers made with libusb.
// Both run in one process on one emulated instrument.
#include "ostrel.h"
#include "support/EmulatedInstrument.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <libusb.h>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint8_t kIn = 0x81;
constexpr uint8_t kOut = 0x02;
constexpr unsigned kTimeoutMs = 1000;

libusb_context *rawContext = nullptr;
libusb_device_handle *rawHandle = nullptr;

void LibraryQuery(benchmark::State &state)
{
    char command[] = "MEAS:VOLT?";
    char reply[64];
    unsigned bytesRead = 0;
    for (auto _ : state) {
        if (vorn_usb_send_ascii(5, command, 0) != 0 ||
            vorn_usb_get_ascii_by_DeviceID(5, reply, sizeof reply, &bytesRead) != 0) {
            state.SkipWithError("query through libostrel.so failed");
            break;
        }
        benchmark::DoNotOptimize(reply);
    }
}

// What the library does for the same query, without it: the command with its
// carriage return out, one read of up to 64 bytes in.
void LibusbQuery(benchmark::State &state)
{
    unsigned char command[] = "MEAS:VOLT?\r";
    unsigned char reply[64];
    for (auto _ : state) {
        int sent = 0, received = 0;
        if (libusb_bulk_transfer(rawHandle, kOut, command, sizeof command - 1, &sent, kTimeoutMs) != 0 ||
            libusb_bulk_transfer(rawHandle, kIn, reply, sizeof reply, &received, kTimeoutMs) != 0) {
            state.SkipWithError("query with libusb failed");
            break;
        }
        benchmark::DoNotOptimize(reply);
    }
}

// Keeps each benchmark's median times per query for the ratios printed at the
// end: the emulation's own threads make single runs on a shared machine noisy.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(OO_Tabular) {}
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs)
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median" && !run.error_occurred)
                medians[run.run_name.function_name] = {run.GetAdjustedRealTime(), run.GetAdjustedCPUTime()};
        ConsoleReporter::ReportRuns(runs);
    }
    struct Times {
        double real, cpu;
    };
    std::map<std::string, Times> medians;
};

bool OpenRaw(const ostrel::test::EmulatedInstrument &instrument)
{
    if (libusb_init(&rawContext) != 0)
        return false;
    libusb_device **list = nullptr;
    const ssize_t count = libusb_get_device_list(rawContext, &list);
    for (ssize_t i = 0; i < count && rawHandle == nullptr; ++i)
        if (libusb_get_device_address(list[i]) == instrument.script.devnum)
            libusb_open(list[i], &rawHandle);
    libusb_free_device_list(list, 1);
    return rawHandle != nullptr;
}

// The emulation needs umockdev's preload library; `make bench` starts us without it.
void RunUnderUmockdev(char **argv)
{
    if (std::getenv("OSTREL_BENCH_UNDER_UMOCKDEV") != nullptr)
        return;
    setenv("OSTREL_BENCH_UNDER_UMOCKDEV", "1", 1);
    std::vector<char *> arguments = {const_cast<char *>("umockdev-wrapper")};
    for (char **argument = argv; *argument != nullptr; ++argument)
        arguments.push_back(*argument);
    arguments.push_back(nullptr);
    execvp(arguments[0], arguments.data());
    std::perror("umockdev-wrapper");
}

} // namespace

int main(int argc, char **argv)
{
    ostrel::test::Testbed testbed;
    if (!testbed.Ready()) {
        RunUnderUmockdev(argv);
        std::fprintf(stderr, "bench_libusb: needs umockdev-wrapper\n");
        return 1;
    }
    // The library's log goes to the current folder without ~/Documents.
    char folder[] = "/tmp/ostrel-bench-XXXXXX";
    if (mkdtemp(folder) == nullptr || chdir(folder) != 0)
        return 1;

    ostrel::test::InstrumentScript script;
    script.replies = {{"*IDN?", ostrel::test::IdnReply("2936-R", "SN12345")},
                      {"ADDR?", "5\r\n"},
                      {"MEAS:VOLT?", "1.234\r\n"}};
    auto instrument = testbed.Plug(script);
    if (instrument == nullptr || vorn_usb_init_system() != 0 || vorn_usb_GetDeviceCount() != 1 ||
        !OpenRaw(*instrument)) {
        std::fprintf(stderr, "bench_libusb: the emulated instrument did not come up\n");
        return 1;
    }

    for (auto *run : {benchmark::RegisterBenchmark("LibraryQuery", LibraryQuery),
                      benchmark::RegisterBenchmark("LibusbQuery", LibusbQuery)})
        run->MinTime(0.5)->Repetitions(5)->ReportAggregatesOnly(true);
    // Alternating the repetitions of the two spreads the machine's drift over both.
    std::vector<char *> arguments(argv, argv + argc);
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    arguments.insert(arguments.begin() + 1, interleave);
    int count = static_cast<int>(arguments.size());
    benchmark::Initialize(&count, arguments.data());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    const auto library = reporter.medians.find("LibraryQuery");
    const auto raw = reporter.medians.find("LibusbQuery");
    if (library != reporter.medians.end() && raw != reporter.medians.end() && raw->second.real > 0 &&
        raw->second.cpu > 0)
        std::printf("libostrel.so / libusb per query (medians): %.3f real time, %.3f CPU time (target <= 1.05)\n",
                    library->second.real / raw->second.real, library->second.cpu / raw->second.cpu);

    libusb_close(rawHandle);
    vorn_usb_uninit_system();
    std::string remove = std::string("rm -rf ") + folder;
    return std::system(remove.c_str()) == 0 ? 0 : 1;
}
