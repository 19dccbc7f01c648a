// Discovery's speed on the simulated bench: from plugging an instrument to the
// callback that reports it, and the first scan of 100 instruments; each beside
// the floor measured in the same run, one *IDN? exchange answered at once
// (identification cannot cost less than one).
#include <benchmark/benchmark.h>

#include "BenchSupport.h"

#include "ostrel.h"
#include "ostrel_sim.h"

#include <algorithm>
#include <cstdio>
#include <map>
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
    if (!UseTempDocuments(state))
        return;
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

constexpr int kFirstScanInstruments = 100;

// A cold first scan: every instrument is new, so each one is identified.
void BM_FirstScan(benchmark::State &state)
{
    if (!UseTempDocuments(state))
        return;
    std::vector<int> slots;
    for (auto _ : state) {
        state.PauseTiming();
        for (int n = 0; n < kFirstScanInstruments; ++n)
            slots.push_back(ostrel_sim_plug(Instrument(1000 + n).c_str()));
        state.ResumeTiming();
        int count = 0;
        vorn_usb_open_devices(0, false, &count);
        state.PauseTiming();
        vorn_usb_uninit_system();
        for (int slot : slots)
            ostrel_sim_unplug(slot);
        slots.clear();
        state.ResumeTiming();
        if (count != kFirstScanInstruments) {
            state.SkipWithError("not every instrument was identified");
            break;
        }
    }
}
BENCHMARK(BM_FirstScan)->Iterations(10)->Unit(benchmark::kMillisecond);

// The floor: one *IDN? written and read back from an instrument that answers at once.
void BM_IdnExchange(benchmark::State &state)
{
    if (!UseTempDocuments(state))
        return;
    const int slot = ostrel_sim_plug(Instrument(5000).c_str());
    int count = 0;
    vorn_usb_open_devices(0, false, &count);
    char command[] = "*IDN?";
    char reply[128];
    unsigned got = 0;
    for (auto _ : state) {
        if (vorn_usb_send_ascii(0, command, 0) != 0 || vorn_usb_get_ascii_by_DeviceID(0, reply, sizeof reply, &got) != 0) {
            state.SkipWithError("the *IDN? exchange failed");
            break;
        }
    }
    vorn_usb_uninit_system();
    ostrel_sim_unplug(slot);
}
BENCHMARK(BM_IdnExchange)->Unit(benchmark::kMicrosecond);

// Prints what the console reporter prints, then each figure in *IDN? exchanges.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(OO_None) {}

    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.error_occurred)
                continue;
            const std::string name = run.benchmark_name();
            if (name.rfind("BM_HotplugToCallback", 0) == 0 && run.counters.count("median_us") != 0) {
                hotplugMedian = run.counters.at("median_us") * 1e-6;
                hotplugP90 = run.counters.at("p90_us") * 1e-6;
            } else if (name.rfind("BM_FirstScan", 0) == 0) {
                firstScan = run.GetAdjustedRealTime() * 1e-3;
            } else if (name.rfind("BM_IdnExchange", 0) == 0) {
                exchange = run.GetAdjustedRealTime() * 1e-6;
            }
        }
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        if (exchange <= 0)
            return;
        if (hotplugMedian > 0)
            std::printf("plug -> callback: median %.3f ms (%.1f x one *IDN? exchange), p90 %.3f ms (%.1f x)\n",
                        hotplugMedian * 1e3, hotplugMedian / exchange, hotplugP90 * 1e3, hotplugP90 / exchange);
        if (firstScan > 0)
            std::printf("first scan of %d instruments: %.1f ms (%.1f x one *IDN? exchange per instrument)\n",
                        kFirstScanInstruments, firstScan * 1e3, firstScan / kFirstScanInstruments / exchange);
    }

private:
    double hotplugMedian = 0, hotplugP90 = 0, firstScan = 0, exchange = 0;
};

} // namespace

int main(int argc, char **argv)
{
    return ostrel::bench::RunWithReporter<RatioReporter>(argc, argv);
}
