// Costs of writing one log line and of the cheapest export, on the simulated bench.
#include <benchmark/benchmark.h>

#include "BenchSupport.h"

#include "diagnostics/Logger.h"
#include "ostrel.h"
#include "ostrel_sim.h"

#include <filesystem>
#include <random>
#include <string>

namespace {

using ostrel::bench::UseTempDocuments;
using ostrel::bench::TempDocuments;



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
