// Hot-plug latency on the simulated bench: from plugging an instrument to the callback that reports it.
#include <benchmark/benchmark.h>

#include "BenchSupport.h"

#include "ostrel.h"
#include "ostrel_sim.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using ostrel::bench::UseTempDocuments;
using ostrel::bench::TempDocuments;

using Clock = std::chrono::steady_clock;


// What the callback saw: how many arrivals and removals, and when the last
// arrival came.
struct Reports {
    std::mutex mutex;
    std::condition_variable changed;
    int attached = 0;
    int detached = 0;
    Clock::time_point lastAttached;
};
Reports reports;

void OSTREL_CALL OnDeviceEvent(int, int attached)
{
    const Clock::time_point now = Clock::now();
    {
        std::lock_guard<std::mutex> lock(reports.mutex);
        if (attached == 1) {
            ++reports.attached;
            reports.lastAttached = now;
        } else {
            ++reports.detached;
        }
    }
    reports.changed.notify_all();
}

std::string Instrument(int n)
{
    const std::string serial = "BENCH" + std::to_string(n);
    return "{\"vid\": 6699, \"pid\": 10550, \"serial\": \"" + serial +
           "\", \"replies\": {\"*IDN?\": \"VORN 2936-R 1.0.3 01/02/24 " + serial + "\\r\\n\"}}";
}

// After every wake-up the watcher pauses 100 ms before it listens again; a
// plug within that pause would measure the pause, not the path to the
// callback. Each plug therefore finds the watcher idle.
constexpr auto kSettle = std::chrono::milliseconds(120);
// Instruments plugged before they are all unplugged again, so that the
// table stays small and every scan costs about the same.
constexpr size_t kBatch = 20;

bool UnplugAll(std::vector<int> &slots)
{
    int expected;
    {
        std::lock_guard<std::mutex> lock(reports.mutex);
        expected = reports.detached + static_cast<int>(slots.size());
    }
    for (int slot : slots)
        ostrel_sim_unplug(slot);
    slots.clear();
    std::unique_lock<std::mutex> lock(reports.mutex);
    return reports.changed.wait_for(lock, std::chrono::seconds(10), [&] { return reports.detached >= expected; });
}

void BM_HotplugToCallback(benchmark::State &state)
{
    static TempDocuments documents;
    if (!documents.redirected) {
        state.SkipWithError("the log could not be redirected");
        return;
    }
    if (vorn_usb_event_init(0, OnDeviceEvent) != 0) {
        state.SkipWithError("event mode did not start");
        return;
    }
    std::vector<double> samples;
    std::vector<int> slots;
    int plugged = 0;
    for (auto _ : state) {
        std::this_thread::sleep_for(kSettle);
        int before;
        {
            std::lock_guard<std::mutex> lock(reports.mutex);
            before = reports.attached;
        }
        const Clock::time_point start = Clock::now();
        const int slot = ostrel_sim_plug(Instrument(plugged++).c_str());
        if (slot < 0) {
            state.SkipWithError(ostrel_sim_last_error());
            break;
        }
        slots.push_back(slot);
        Clock::time_point reported;
        {
            std::unique_lock<std::mutex> lock(reports.mutex);
            if (!reports.changed.wait_for(lock, std::chrono::seconds(10), [&] { return reports.attached > before; })) {
                state.SkipWithError("the plug was never reported");
                break;
            }
            reported = reports.lastAttached;
        }
        const double seconds = std::chrono::duration<double>(reported - start).count();
        state.SetIterationTime(seconds);
        samples.push_back(seconds);
        if (slots.size() == kBatch && !UnplugAll(slots)) {
            state.SkipWithError("an unplug was never reported");
            break;
        }
    }
    UnplugAll(slots);
    vorn_usb_uninit_system();
    if (samples.empty())
        return;
    std::sort(samples.begin(), samples.end());
    state.counters["median_us"] = samples[samples.size() / 2] * 1e6;
    state.counters["p90_us"] = samples[samples.size() * 9 / 10] * 1e6;
    state.counters["worst_us"] = samples.back() * 1e6;
}
BENCHMARK(BM_HotplugToCallback)->Iterations(200)->UseManualTime()->Unit(benchmark::kMicrosecond);

} // namespace
