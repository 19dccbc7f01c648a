// Static discovery: vorn_usb_init_system, vorn_usb_init_product and
// vorn_usb_open_devices; the count, duplicate addresses, the registered keys.
#include "api/api_session.h"

namespace ostrel::test {
namespace {

using StaticDiscoveryTest = ApiTest;
using Registered = std::vector<std::pair<std::string, int>>;

int PlugAt(unsigned pid, const std::string &model, const std::string &serial, const std::string &address)
{
    return Plug({.pid = pid, .serial = serial, .idn = Idn(model, serial), .address = address + "\r\n"});
}

TEST_F(StaticDiscoveryTest, InitSystemTakesEveryProductWithIdsFromTheirAddresses)
{
    PlugAt(0x1001, "2936-R", "SN1", "5");
    PlugAt(0x1002, "2955-L", "SN2", "12");
    EXPECT_EQ(vorn_usb_init_system(), 0);
    EXPECT_EQ(vorn_usb_GetDeviceCount(), 2);
    EXPECT_EQ(Registry(2), (Registered{{"2936-R SN1", 5}, {"2955-L SN2", 12}}));
    EXPECT_EQ(ostrel_sim_open_handles(), 4) << "two handles per instrument in the table, no other";
}

TEST_F(StaticDiscoveryTest, InitProductTakesOnlyThatProductAndClosesTheOthers)
{
    PlugAt(0x1001, "2936-R", "SN1", "5");
    PlugAt(0x1002, "2955-L", "SN2", "12");
    EXPECT_EQ(vorn_usb_init_product(0x1002), 0);
    EXPECT_EQ(DeviceKeys(), std::vector<std::string>{"2955-L SN2"});
    EXPECT_EQ(Registry(1), (Registered{{"2955-L SN2", 12}}));
    EXPECT_EQ(ostrel_sim_open_handles(), 2);

    int count = -1;
    EXPECT_EQ(vorn_usb_open_devices(0x1003, true, &count), 0);
    EXPECT_EQ(count, 1) << "the count is the table's, not this scan's";
}

TEST_F(StaticDiscoveryTest, SharedAddressGivesOneOnlyWhenIdsComeFromAddresses)
{
    PlugAt(0x1001, "2936-R", "SN1", "5");
    PlugAt(0x1002, "2955-L", "SN2", "5");
    int count = -1;
    EXPECT_EQ(vorn_usb_open_devices(0, true, &count), 1);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(vorn_usb_init_product(0), 1);
    EXPECT_EQ(vorn_usb_init_system(), 1);
    // The same table, two entries sharing ID 5: without addresses the result is 0.
    count = -1;
    EXPECT_EQ(vorn_usb_open_devices(0, false, &count), 0);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(Registry(2), (Registered{{"2936-R SN1", 5}, {"2955-L SN2", 5}}));
}

TEST_F(StaticDiscoveryTest, NoInstrumentGivesCountZero)
{
    int count = -1;
    EXPECT_EQ(vorn_usb_open_devices(0, true, &count), 0);
    EXPECT_EQ(count, 0);
    count = -1;
    EXPECT_EQ(vorn_usb_open_devices(0, false, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(vorn_usb_init_system(), 0);
}

TEST_F(StaticDiscoveryTest, SecondCallKeepsGoneKeysUpdatesPresentOnesAndAddsNewOnes)
{
    int a = PlugAt(0x1001, "A", "1", "5");
    int b = PlugAt(0x1001, "B", "2", "12");
    int count = -1;
    ASSERT_EQ(vorn_usb_open_devices(0, true, &count), 0);
    ASSERT_EQ(count, 2);
    ASSERT_EQ(vorn_usb_event_assign_key("A 1", 99), 0);

    ASSERT_EQ(ostrel_sim_unplug(b), 0);
    PlugAt(0x1001, "C", "3", "7");
    const std::string receivedByA = Received(a);
    ASSERT_EQ(vorn_usb_open_devices(0, true, &count), 0);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(DeviceKeys(), (std::vector<std::string>{"A 1", "C 3"}));
    EXPECT_EQ(Registry(3), (Registered{{"A 1", 5}, {"B 2", 12}, {"C 3", 7}}));
    EXPECT_EQ(Received(a), receivedByA) << "an instrument already known is not queried again";
    EXPECT_EQ(ostrel_sim_open_handles(), 4) << "the gone instrument's handles are closed";
}

TEST_F(StaticDiscoveryTest, SequentialIdsGoOnAcrossScansAndStartAgainAfterShutdown)
{
    PlugAt(0x1001, "A", "1", "5");
    PlugAt(0x1001, "B", "2", "5");
    int count = -1;
    ASSERT_EQ(vorn_usb_open_devices(0, false, &count), 0);
    PlugAt(0x1001, "C", "3", "5");
    ASSERT_EQ(vorn_usb_open_devices(0, false, &count), 0);
    ASSERT_EQ(count, 3);
    EXPECT_EQ(Registry(3), (Registered{{"A 1", 0}, {"B 2", 1}, {"C 3", 2}}));

    vorn_usb_uninit_system();
    EXPECT_EQ(vorn_usb_GetDeviceCount(), 0);
    EXPECT_EQ(ostrel_sim_open_handles(), 0);
    char key[64];
    EXPECT_EQ(vorn_usb_event_get_key_from_handle(0, key), -1) << "the registry is empty after shutdown";

    // Discovered again from the start, in plug order, and numbered from 0 again.
    ASSERT_EQ(vorn_usb_open_devices(0, false, &count), 0);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(Registry(3), (Registered{{"A 1", 0}, {"B 2", 1}, {"C 3", 2}}));
}

TEST_F(StaticDiscoveryTest, InstrumentsThatCannotBeIdentifiedAreNotListed)
{
    PlugAt(0x1001, "A", "1", "5");
    Plug({.pid = 0x1001, .serial = "MUTE", .address = "6\r\n"}); // no *IDN? reply
    Plug({.pid = 0x1001, .serial = "NOADDR", .idn = Idn("N", "9")}); // no ADDR? reply
    int count = -1;
    ASSERT_EQ(vorn_usb_open_devices(0, true, &count), 0);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(Registry(1), (Registered{{"A 1", 5}}));
    EXPECT_EQ(ostrel_sim_open_handles(), 2);
}

} // namespace
} // namespace ostrel::test
