// What a log line costs: an export that writes one error line beside the
// cheapest export, which writes none, on the simulated bench.
#include <benchmark/benchmark.h>

#include "BenchSupport.h"

#include "ostrel.h"

namespace {

using ostrel::bench::UseTempDocuments;

void BM_GetDeviceCount(benchmark::State &state)
{
    if (!UseTempDocuments(state))
        return;
    vorn_usb_GetDeviceCount(); // the first call builds the library's objects
    for (auto _ : state)
        benchmark::DoNotOptimize(vorn_usb_GetDeviceCount());
}
BENCHMARK(BM_GetDeviceCount);

// A write to a key the table does not hold: a lookup and one error line,
// flushed before the call returns.
void BM_LoggedFailure(benchmark::State &state)
{
    if (!UseTempDocuments(state))
        return;
    char command[] = "*IDN?";
    for (auto _ : state)
        benchmark::DoNotOptimize(vorn_usb_write_by_key("no such instrument", command, 0));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LoggedFailure);

} // namespace
