// Static discovery of examples/bench.json as a user sees it: keys, IDs, listings,
// the registry, the handles held, and an instrument WinUSB refuses.
#include "Scenario.h"
#include "ScenarioHost.h"

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
    CHECK_EQ(vorn_usb_GetDeviceCount(), 3, "vorn_usb_GetDeviceCount gives 3");
    CHECK_EQ(DeviceKeys(), BenchKeys(), "vorn_usb_GetDeviceKeys lists the keys in key order");
    CHECK_EQ(Registry(3), (Registered{{BenchKeys()[0], 0}, {BenchKeys()[1], 1}, {BenchKeys()[2], 2}}),
             "every key is registered with its ID, numbered in discovery order");

    std::vector<int> ids(4, -1), models(4, -1), serials(4, -1);
    int listed = -1;
    CHECK_EQ(GetInstrumentList(ids.data(), models.data(), serials.data(), &listed), 0, "GetInstrumentList succeeds");
    CHECK_EQ(listed, 3, "GetInstrumentList counts 3");
    CHECK_EQ(ids, (std::vector<int>{0, 1, 2, -1}), "GetInstrumentList gives the IDs in key order, nothing past them");
    CHECK_EQ(models, (std::vector<int>{2936, 2940, 2955, -1}), "GetInstrumentList gives the model numbers");
    CHECK_EQ(serials, (std::vector<int>{12345, 20871, 30502, -1}), "GetInstrumentList gives the serial numbers");

    char key[64] = "untouched";
    vorn_usb_GetDeviceKeyFromDeviceID(1, key);
    CHECK_EQ(std::string(key), BenchKeys()[1], "vorn_usb_GetDeviceKeyFromDeviceID(1) names the second instrument");
    CHECK_EQ(vorn_usb_event_get_key_from_handle(2, key), 0, "vorn_usb_event_get_key_from_handle(2) finds it");
    CHECK_EQ(std::string(key), BenchKeys()[2], "ID 2 is the third instrument");

    std::string info(64 * 3 + 1, '#');
    CHECK_EQ(vorn_usb_get_device_info(&info[0]), 0, "vorn_usb_get_device_info succeeds");
    CHECK_EQ(std::string(info.c_str()),
             std::string("0,VORN 2936-R 1.0.3 01/02/24 SN12345;1,VORN 2940-T 2.1.0 11/09/23 SN20871;"
                         "2,VORN 2955-L 0.9.8 03/15/24 SN30502;"),
             "vorn_usb_get_device_info gives each ID with its identity reply");

    CHECK_EQ(ostrel_sim_open_handles(), 6, "each instrument in the table holds a device and a WinUSB handle");
    for (const std::string &benchKey : BenchKeys())
        CHECK_EQ(log.Count("Device Key = " + benchKey), 1, "the scan logs the data line \"Device Key = " + benchKey + "\"");
    CHECK_EQ(log.CountPrefix("Device Path = "), 3, "the scan logs each instrument's device path");
    CHECK_EQ(log.CountPrefix("CreateDeviceHandles:"), 0, "every instrument opens without an error line");

    // Scanning again leaves the known instruments alone.
    const std::string received = Received(0);
    CHECK_EQ(vorn_usb_open_devices(0, false, &count), 0, "a second scan succeeds");
    CHECK_EQ(count, 3, "and still counts 3");
    CHECK_EQ(Received(0), received, "an instrument already known is not queried again");
    CHECK_EQ(ostrel_sim_open_handles(), 6, "and opened no second time");
    UninitLeavesNothingOpen();
}

SCENARIO("discovery-usb-addresses", UsbAddresses)
{
    REQUIRE(PlugBench());
    CHECK_EQ(vorn_usb_init_system(), 0, "vorn_usb_init_system succeeds (no shared address)");
    // The 2940-T does not answer ADDR?: it cannot take part and is closed again.
    CHECK_EQ(DeviceKeys(), (std::vector<std::string>{BenchKeys()[0], BenchKeys()[2]}),
             "the instruments that report an address are in the table");
    CHECK_EQ(Registry(2), (Registered{{BenchKeys()[0], 5}, {BenchKeys()[2], 12}}),
             "their IDs are their ADDR? replies");
    CHECK_EQ(ostrel_sim_open_handles(), 4, "the instrument left out holds no handle");
    CHECK_EQ(vorn_usb_init_product(10575), 0, "vorn_usb_init_product scans again for one product");
    CHECK_EQ(vorn_usb_GetDeviceCount(), 2, "instruments already known stay in the table");
    UninitLeavesNothingOpen();
}

SCENARIO("discovery-refused-instrument", RefusedInstrument)
{
    REQUIRE(PlugBench());
    // Error 31: ERROR_GEN_FAILURE, "a device attached to the system is not functioning".
    REQUIRE(CHECK_EQ(ostrel_sim_inject_fault("{\"call\": \"WinUsb_Initialize\", \"error\": 31, \"times\": 1}"), 0,
                     "a WinUsb_Initialize failure can be injected"));
    LogMark log;
    int count = -1;
    CHECK_EQ(vorn_usb_open_devices(0, false, &count), 0, "the scan succeeds although one instrument fails");
    CHECK_EQ(count, 2, "the instrument WinUSB refused is not in the table");
    CHECK_EQ(log.CountPrefix("CreateDeviceHandles: Could not initialize WinUSB for device ("), 1,
             "the refusal is logged with the device path");
    CHECK_EQ(log.Count("GetLastError = " + host::ErrorText(31)), 1, "followed by the system's text for error 31");
    CHECK_EQ(ostrel_sim_open_handles(), 4, "the refused instrument's device handle was closed again");

    // A scan opens only paths it has not seen before; after a shutdown all are new.
    vorn_usb_uninit_system();
    CHECK_EQ(vorn_usb_open_devices(0, false, &count), 0, "a scan after vorn_usb_uninit_system succeeds");
    CHECK_EQ(count, 3, "and takes the instrument in now that WinUSB accepts it");
    CHECK_EQ(DeviceKeys(), BenchKeys(), "all three are listed");
    CHECK_EQ(ostrel_sim_inject_fault("{\"call\": \"NoSuchCall\", \"error\": 31}"), -1,
             "a fault for a call the layer does not have is refused");
    UninitLeavesNothingOpen();
}

} // namespace
