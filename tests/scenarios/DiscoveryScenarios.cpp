// Static discovery of examples/bench.json as a user sees it: keys, IDs, the
// instrument list, the handles held and the scan's data lines.
#include "Scenario.h"

namespace {

using namespace ostrel::scenario;
using Registered = std::vector<std::pair<std::string, int>>;

SCENARIO("discovery-sequential-ids", SequentialIds)
{
    vorn_usb_SetLogging(true);
    REQUIRE(PlugBench());
    LogMark log;
    int count = -1;
    CHECK_EQ(vorn_usb_open_devices(0, false, &count), 0, "vorn_usb_open_devices(0, false) succeeds");
    CHECK_EQ(count, 3, "it counts the three instruments");
    CHECK_EQ(DeviceKeys(), BenchKeys(), "vorn_usb_GetDeviceKeys lists the keys in key order");
    CHECK_EQ(Registry(3), (Registered{{BenchKeys()[0], 0}, {BenchKeys()[1], 1}, {BenchKeys()[2], 2}}),
             "every key is registered with its ID, numbered in discovery order");
    char key[64] = "untouched";
    vorn_usb_GetDeviceKeyFromDeviceID(1, key);
    CHECK_EQ(std::string(key), BenchKeys()[1], "vorn_usb_GetDeviceKeyFromDeviceID(1) names the second instrument");

    // One slot more than there are instruments: nothing may be written there.
    std::vector<int> ids(4, -1), models(4, -1), serials(4, -1);
    int listed = -1;
    CHECK_EQ(GetInstrumentList(ids.data(), models.data(), serials.data(), &listed), 0, "GetInstrumentList succeeds");
    CHECK_EQ(listed, 3, "GetInstrumentList counts 3");
    CHECK_EQ(ids, (std::vector<int>{0, 1, 2, -1}), "GetInstrumentList gives the IDs in key order");
    CHECK_EQ(models, (std::vector<int>{2936, 2940, 2955, -1}), "GetInstrumentList gives the model numbers");
    CHECK_EQ(serials, (std::vector<int>{12345, 20871, 30502, -1}), "GetInstrumentList gives the serial numbers");

    CHECK_EQ(ostrel_sim_open_handles(), 6, "each instrument in the table holds a device and a WinUSB handle");
    for (const std::string &benchKey : BenchKeys())
        CHECK_EQ(log.Count("Device Key = " + benchKey), 1, "the scan logs \"Device Key = " + benchKey + "\"");
    UninitLeavesNothingOpen();
}

} // namespace
