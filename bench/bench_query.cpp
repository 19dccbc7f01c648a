// The library's own cost of one ASCII query: the same write and read made
// through the exports and directly on the bench's bus, in one run.
#include <benchmark/benchmark.h>

#include "BenchSupport.h"
#include "ostrel.h"
#include "ostrel_sim.h"

#include <cstring>
#include <string>

namespace {

using ostrel::bench::UseTempDocuments;

// One instrument that answers at once, plugged and identified once.
bool PrepareBench(benchmark::State &state)
{
    static const bool ready = [] {
        if (ostrel_sim_plug(R"({"vid": 6699, "pid": 1, "serial": "Q1", "replies": {
                "*IDN?": "VORN 2936-R 1.0.3 01/02/24 SN1\r\n", "MEAS:VOLT?": "1.234\r\n"}})") < 0)
            return false;
        int count = 0;
        vorn_usb_open_devices(0, false, &count);
        return count == 1;
    }();
    if (!ready)
        state.SkipWithError("the bench instrument could not be identified");
    return ready;
}

void BM_QueryThroughTheLibrary(benchmark::State &state)
{
    if (!UseTempDocuments(state) || !PrepareBench(state))
        return;
    const bool logging = state.range(0) != 0;
    vorn_usb_SetLogging(logging);
    char command[] = "MEAS:VOLT?";
    char reply[64];
    unsigned got = 0;
    for (auto _ : state) {
        vorn_usb_send_ascii(0, command, 0);
        if (vorn_usb_get_ascii_by_DeviceID(0, reply, sizeof reply, &got) != 0 || std::strcmp(reply, "1.234") != 0) {
            state.SkipWithError("the query failed");
            break;
        }
    }
    vorn_usb_SetLogging(false);
    state.SetLabel(logging ? "logging on" : "logging off");
}
BENCHMARK(BM_QueryThroughTheLibrary)->Arg(0)->Arg(1);

} // namespace
