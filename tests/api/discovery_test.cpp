// Static discovery as callers see it: which instruments enter the device table
// with which IDs and keys, what a rescan leaves alone, what the callback hears.
// The plain discovery of examples/bench.json is a scenario (tests/scenarios).
#include "api/api_session.h"

#include <iterator>
#include <tuple>

namespace ostrel::test {
namespace {

using Keys = std::vector<std::string>;
using Registered = std::vector<std::pair<std::string, int>>;

class DiscoveryTest : public ApiTest {
protected:
    void SetUp() override { vorn_usb_SetLogging(true); }
    // Refused and gone instruments close their handles: only the table's hold two each.
    static void ExpectOnlyTableHandles() { EXPECT_EQ(ostrel_sim_open_handles(), 2 * vorn_usb_GetDeviceCount()); }
};

int Scan(unsigned productID = 0)
{
    int count = -1;
    EXPECT_EQ(vorn_usb_open_devices(productID, false, &count), 0);
    return count;
}

std::string KeyOfID(int deviceID)
{
    char key[64] = "untouched";
    vorn_usb_GetDeviceKeyFromDeviceID(deviceID, key);
    return key;
}

TEST_F(DiscoveryTest, ProductFilterAndRefusalsHoldUntilReplugOrShutdown)
{
    // Enumerated in this order; the first one's pipes cannot be queried.
    Plug({.pid = 1, .serial = "PIPEFAIL", .idn = Idn("20", "SN2")});
    Plug({.pid = 1, .serial = "A", .idn = Idn("100", "SN1")});
    const int other = Plug({.pid = 2, .serial = "OTHER", .idn = Idn("30", "SN3")});
    const int mute = Plug({.pid = 1, .serial = "MUTE"});
    Plug({.pid = 1, .serial = "C", .idn = Idn("300", "SN3")});
    ASSERT_EQ(ostrel_sim_inject_fault(R"({"call": "WinUsb_QueryPipe", "error": 31, "times": 1})"), 0);

    EXPECT_EQ(Scan(1), 2);
    EXPECT_EQ((Keys{KeyOfID(0), KeyOfID(1), KeyOfID(2)}), (Keys{"100 SN1", "", "300 SN3"})) << "the mute one took ID 1";
    EXPECT_EQ(CountLog(documents, "VID = 1A2B, PID = 0002"), 1);
    ExpectOnlyTableHandles();

    // Refused paths stay refused while attached, whatever the product asked for.
    EXPECT_EQ(Scan(0), 2);
    EXPECT_EQ(CountLog(documents, "Device Path = ", true), 5);
    EXPECT_EQ(Received(other), "") << "another product is never spoken to";
    EXPECT_EQ(Received(mute), "*IDN?\r");

    // Gone for one scan and back: identified, the IDs going on.
    ASSERT_EQ(ostrel_sim_unplug(mute), 0);
    EXPECT_EQ(Scan(), 2);
    Plug({.pid = 1, .serial = "MUTE", .idn = Idn("200", "SN2")});
    EXPECT_EQ(Scan(), 3);
    EXPECT_EQ(KeyOfID(3), "200 SN2");
    ExpectOnlyTableHandles();

    // After shutdown every path is new, and the IDs count from 0 again.
    vorn_usb_uninit_system();
    EXPECT_EQ(Scan(), 5);
    EXPECT_EQ(Registry(5), (Registered{{"100 SN1", 1}, {"20 SN2", 0}, {"200 SN2", 4}, {"30 SN3", 2}, {"300 SN3", 3}}));
    ExpectOnlyTableHandles();
}

TEST_F(DiscoveryTest, AddressRepliesGiveIdsLikeAtoiAndASharedAddressIsReported)
{
    int count = -1;
    // The rule is one byte, any non-zero value meaning addresses, as other languages pass it.
    EXPECT_EQ(vorn_usb_open_devices(0, 0xFF, &count), 0);
    EXPECT_EQ(count, 0);
    const int a = Plug({.serial = "A", .idn = Idn("11", "SN1"), .address = "5\r\n"});
    Plug({.serial = "B", .idn = Idn("22", "SN2"), .address = "X\r\n"});
    Plug({.serial = "C", .idn = Idn("33", "SN3"), .address = " 12abc\r\n"});
    EXPECT_EQ(vorn_usb_init_system(), 0);
    EXPECT_EQ(Registry(3), (Registered{{"11 SN1", 5}, {"22 SN2", 0}, {"33 SN3", 12}}));
    EXPECT_EQ(vorn_usb_open_devices(0x3000, true, &count), 0);
    EXPECT_EQ(count, 3) << "the table's count, not this scan's";

    // A newcomer shares A's address, and its key comes first.
    Plug({.serial = "D", .idn = Idn("04", "SN4"), .address = "+5\n", .replies = {{"WHO?", "D\r\n"}}});
    EXPECT_EQ(vorn_usb_init_system(), 1);
    EXPECT_EQ(vorn_usb_init_product(0), 1);
    EXPECT_EQ(vorn_usb_open_devices(0, 2, &count), 1);
    EXPECT_EQ(vorn_usb_open_devices(0, false, &count), 0) << "a shared ID counts only when IDs are addresses";
    EXPECT_EQ(count, 4);
    EXPECT_EQ(Registry(4), (Registered{{"04 SN4", 5}, {"11 SN1", 5}, {"22 SN2", 0}, {"33 SN3", 12}}));
    // Lookups and transfers by a shared ID take the first in key order, not in discovery order.
    EXPECT_EQ(KeyOfID(5), "04 SN4");
    EXPECT_EQ(Ask(5, "WHO?"), "D");
    EXPECT_EQ(Received(a), "ADDR?\r*IDN?\r*IDN?\r") << "asked once each, and the identity confirmed";
}

TEST_F(DiscoveryTest, IdentityRepliesAreCutAtTheirLastLineEndAndKeyedByTheFieldsTheyHave)
{
    // 64 bytes without a line end fill the read: the first 63 are kept.
    const std::string full = "VORN M9 f d S" + std::string(51, '7');
    const std::string replies[] = {"VORN M1 f d S1\r\n", "VORN M2 f d S2\r", "VORN M3 f d S3\n", "VORN M4 f d S4\r\nb",
                                   "VORN M5 f d S5",     "\r\n",              "VORN M7",         full};
    for (size_t i = 0; i < std::size(replies); ++i)
        Plug({.serial = "S" + std::to_string(i), .idn = replies[i]});

    // A blank line gives no key: that instrument is refused, its ID used up.
    EXPECT_EQ(Scan(), 7);
    EXPECT_EQ(DeviceKeys(), (Keys{"M1 S1", "M2 S2", "M3 S3", "M4 S4", "M5 S5", "M7", "M9 S" + std::string(50, '7')}));
    EXPECT_EQ(CountLog(documents, "DeviceDiscovery: The instrument's reply to *IDN? gives no device key; it is not "
                                  "identified."),
              1);
    std::vector<char> info(64 * 8 + 1, '#');
    ASSERT_EQ(vorn_usb_get_device_info(info.data()), 0);
    EXPECT_EQ(std::string(info.data()), "0,VORN M1 f d S1;1,VORN M2 f d S2;2,VORN M3 f d S3;3,VORN M4 f d S4;"
                                        "4,VORN M5 f d S5;6,VORN M7;7," + full.substr(0, 60) + ";")
        << "an entry is cut at 63 chars, its ';' kept";
    ExpectOnlyTableHandles();
}

TEST_F(DiscoveryTest, DuplicateKeyKeepsTheFirstInstrumentAndTheOtherWaitsForReplug)
{
    const int first = Plug({.serial = "A", .idn = "VORN 2936-R 1.0.3 01/02/24 SN12345\r\n"});
    const int second = Plug({.serial = "B", .idn = "VORN 2936-R 2.0.0 07/08/24 SN12345\r\n"});
    Plug({.serial = "C", .idn = Idn("2940-T", "SN20871")});
    EXPECT_EQ(Scan(), 2);
    char info[2 * 64 + 1];
    ASSERT_EQ(vorn_usb_get_device_info(info), 0);
    EXPECT_STREQ(info, "0,VORN 2936-R 1.0.3 01/02/24 SN12345;2,VORN 2940-T 1.0.3 01/02/24 SN20871;")
        << "the refused one used up ID 1";
    EXPECT_EQ(CountLog(documents, "   *** New device discovered: 2936-R SN12345"), 1);
    ExpectOnlyTableHandles();

    ASSERT_EQ(ostrel_sim_unplug(first), 0);
    EXPECT_EQ(Scan(), 1);
    EXPECT_EQ(DeviceKeys(), Keys{"2940-T SN20871"});
    EXPECT_EQ(Received(second), "*IDN?\r*IDN?\r") << "not asked again while it stays";
    ExpectOnlyTableHandles();
}

TEST_F(DiscoveryTest, RescanKeepsGoneKeysRegisteredAndMissesAReplugOnTheSamePath)
{
    const int a = Plug({.serial = "A", .idn = Idn("A", "1"), .address = "5\r\n"});
    const int b = Plug({.serial = "B", .idn = Idn("B", "2"), .address = "12\r\n"});
    EXPECT_EQ(vorn_usb_init_system(), 0);
    ASSERT_EQ(vorn_usb_event_assign_key("A 1", 99), 0);

    // Unplugged and plugged again between two scans: the path is the same, so
    // the scan sees no change and keeps the stale entry.
    ASSERT_EQ(ostrel_sim_unplug(a), 0);
    const int again = Plug({.serial = "A", .idn = Idn("A", "1"), .address = "5\r\n"});
    ASSERT_EQ(ostrel_sim_unplug(b), 0);
    Plug({.serial = "C", .idn = Idn("C", "3"), .address = "7\r\n"});
    EXPECT_EQ(vorn_usb_init_system(), 0);
    EXPECT_EQ(DeviceKeys(), (Keys{"A 1", "C 3"}));
    EXPECT_EQ(Received(again), "");
    EXPECT_EQ(Registry(3), (Registered{{"A 1", 5}, {"B 2", 12}, {"C 3", 7}}));
    ExpectOnlyTableHandles();

    ASSERT_EQ(ostrel_sim_unplug(again), 0);
    EXPECT_EQ(vorn_usb_init_system(), 0);
    EXPECT_EQ(DeviceKeys(), Keys{"C 3"});
    EXPECT_EQ(CountLog(documents, "   *** Device removed from discovery: ", true), 2);
    ExpectOnlyTableHandles();
}

TEST_F(DiscoveryTest, ScanReportsArrivalsBeforeRemovalsAndTheCallbackStillFindsTheGoneEntry)
{
    // The callback stays stored after event mode ends; static scans call it on this thread.
    ASSERT_EQ(vorn_usb_event_init(0, RecordEvent), 0);
    vorn_usb_uninit_system();
    const int a = Plug({.serial = "A", .idn = Idn("100", "SN1")});
    EXPECT_EQ(Scan(), 1);

    // One scan: A gone, B arrives, and so does one that never gets an entry.
    ASSERT_EQ(ostrel_sim_unplug(a), 0);
    const int b = Plug({.serial = "B", .idn = Idn("200", "SN2")});
    const int broken = Plug({.serial = "BROKEN", .idn = Idn("300", "SN3")});
    ASSERT_EQ(ostrel_sim_inject_fault(R"({"call": "WinUsb_QueryPipe", "error": 31, "after": 2, "times": 1})"), 0);
    EXPECT_EQ(Scan(), 1);
    EXPECT_EQ(KeyOfID(0), "");

    // The one without an entry leaves unreported; the last one leaving is
    // reported although nothing is left to enumerate.
    ASSERT_EQ(ostrel_sim_unplug(broken), 0);
    EXPECT_EQ(Scan(), 1);
    ASSERT_EQ(ostrel_sim_unplug(b), 0);
    EXPECT_EQ(Scan(), 0);
    std::vector<std::tuple<int, int, std::string>> heard;
    for (const DeviceEvent &event : Recorded()) {
        heard.emplace_back(event.deviceID, event.attached, event.key);
        EXPECT_EQ(event.thread, std::this_thread::get_id());
    }
    EXPECT_EQ(heard, (std::vector<std::tuple<int, int, std::string>>{
                         {0, 1, "100 SN1"}, {1, 1, "200 SN2"}, {0, 0, "100 SN1"}, {1, 0, "200 SN2"}}));
}

} // namespace
} // namespace ostrel::test
