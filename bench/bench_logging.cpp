// Costs of writing one log line and of the cheapest export, on the simulated bench.
#include <benchmark/benchmark.h>

#include "diagnostics/Logger.h"
#include "ostrel.h"
#include "ostrel_sim.h"

#include <filesystem>
#include <random>
#include <string>

namespace {

// Every benchmark writes to a log of its own in a temporary folder, never to
// the user's documents; the folder goes when the program ends.
class TempDocuments {
public:
    TempDocuments()
        : folder(std::filesystem::temp_directory_path() /
                 ("ostrel-bench-" + std::to_string(std::random_device{}())))
    {
        std::filesystem::create_directories(folder);
        redirected = ostrel_sim_set_documents_folder(folder.c_str()) == 0;
    }
    ~TempDocuments()
    {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
    std::filesystem::path folder;
    bool redirected = false;
};

// Must run before the first library call of the process.
bool UseTempDocuments(benchmark::State &state)
{
    static TempDocuments documents;
    if (!documents.redirected) state.SkipWithError("the log could not be redirected");
    return documents.redirected;
}

void BM_LogLine(benchmark::State &state)
{
    if (!UseTempDocuments(state)) return;
    Logger *logger = Logger::GetInstance();
    if (!logger) {
        state.SkipWithError("no Logger");
        return;
    }
    // A typical data line; every line is flushed before Log returns.
    const char *line = "USB::Read ASCII BytesRead = 14, Data = '+1.234567E+00'";
    for (auto _ : state) logger->Log(line);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogLine);

void BM_GetDeviceCount(benchmark::State &state)
{
    if (!UseTempDocuments(state)) return;
    vorn_usb_GetDeviceCount(); // the first call builds the library's objects
    for (auto _ : state) benchmark::DoNotOptimize(vorn_usb_GetDeviceCount());
}
BENCHMARK(BM_GetDeviceCount);

} // namespace
