// A 1 MB binary round trip through the exports to an echoing bench
// instrument, beside two memcpy of the same block; the run ends with the ratio.
#include <benchmark/benchmark.h>

#include "BenchSupport.h"
#include "ostrel.h"
#include "ostrel_sim.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using ostrel::bench::UseTempDocuments;

constexpr size_t kBlock = 1 << 20;
const char kKey[] = "2955-L E1";

std::vector<char> Block()
{
    std::vector<char> block(kBlock);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>(i * 7 + 1); // no byte run that a command could match
    return block;
}

// What the round trip must do at the least: the block into the instrument and back out.
void BM_TwoMemcpy(benchmark::State &state)
{
    std::vector<char> block = Block(), inside(kBlock), back(kBlock);
    for (auto _ : state) {
        std::memcpy(inside.data(), block.data(), kBlock);
        std::memcpy(back.data(), inside.data(), kBlock);
        benchmark::DoNotOptimize(back.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBlock));
}
BENCHMARK(BM_TwoMemcpy);

// The benchmark runs more than once; the instrument is plugged and identified once.
bool EchoingInstrument()
{
    static const bool ready = [] {
        int count = 0;
        return ostrel_sim_plug(R"({"vid": 6699, "pid": 1, "serial": "E1", "echo": true,
                   "replies": {"*IDN?": "VORN 2955-L 0.9.8 03/15/24 E1\r\n"}})") >= 0 &&
               vorn_usb_open_devices(0, false, &count) == 0 && count == 1;
    }();
    return ready;
}

void BM_EchoRoundTrip(benchmark::State &state)
{
    if (!UseTempDocuments(state))
        return;
    if (!EchoingInstrument()) {
        state.SkipWithError("the echoing instrument could not be identified");
        return;
    }
    std::vector<char> block = Block(), back(kBlock);
    for (auto _ : state) {
        unsigned got = 0;
        if (vorn_usb_write_binary_by_key(kKey, block.data(), kBlock) != 0 ||
            vorn_usb_read_by_key(kKey, back.data(), kBlock, &got) != 0 || got != kBlock) {
            state.SkipWithError("the round trip failed");
            break;
        }
    }
    if (back != block)
        state.SkipWithError("the block came back changed");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBlock));
}
BENCHMARK(BM_EchoRoundTrip);

} // namespace

int main(int argc, char **argv)
{
    // The round trip's cost in two memcpy of the block.
    return ostrel::bench::RunWithReporter<ostrel::bench::RatioReporter>(argc, argv, [](const auto &times) {
        ostrel::bench::PrintRatio(times, "BM_EchoRoundTrip", "BM_TwoMemcpy",
                                  "1 MB echo round trip = %.2f x two memcpy of the block\n");
    });
}
