// Static discovery as callers see it: product filter, device IDs and keys, refused and duplicate instruments, rescans, arrivals and removals.
#include "ostrel.h"
#include "ostrel_sim.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace ostrel::test {
namespace {

constexpr unsigned kVid = 0x1A2B;

// Reply bytes as a JSON string literal (quotes included).
std::string JsonText(const std::string &bytes)
{
    std::string out = "\"";
    for (unsigned char c : bytes) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// Plugs an instrument; a null reply leaves the command unanswered (its read then
// times out after a second, so keep such instruments few).
int PlugInstrument(unsigned pid, const std::string &serial, const char *idn, const char *addr = nullptr)
{
    std::string replies;
    if (idn != nullptr)
        replies += "\"*IDN?\": " + JsonText(idn);
    if (addr != nullptr)
        replies += std::string(replies.empty() ? "" : ", ") + "\"ADDR?\": " + JsonText(addr);
    char head[96];
    std::snprintf(head, sizeof head, "{\"vid\": %u, \"pid\": %u, \"serial\": \"%s\", ", kVid, pid, serial.c_str());
    std::string json = head + std::string("\"replies\": {") + replies + "}}";
    int slot = ostrel_sim_plug(json.c_str());
    EXPECT_GE(slot, 0) << json << ": " << ostrel_sim_last_error();
    return slot;
}

std::string Idn(const std::string &model, const std::string &serial)
{
    return "VORN " + model + " 1.0.3 01/02/24 " + serial + "\r\n";
}

int StaticScan(unsigned productID = 0, bool useUSBAddress = false)
{
    int count = -1;
    EXPECT_EQ(vorn_usb_open_devices(productID, useUSBAddress, &count), 0);
    return count;
}

std::vector<std::string> DeviceKeys()
{
    std::vector<std::string> storage(static_cast<size_t>(vorn_usb_GetDeviceCount()), std::string(64, '\0'));
    std::vector<char *> buffers;
    for (std::string &s : storage)
        buffers.push_back(&s[0]);
    int n = vorn_usb_GetDeviceKeys(buffers.data());
    std::vector<std::string> keys;
    for (int i = 0; i < n; ++i)
        keys.push_back(buffers[static_cast<size_t>(i)]);
    return keys;
}

std::string KeyOf(int deviceID)
{
    char key[64] = "unchanged";
    vorn_usb_GetDeviceKeyFromDeviceID(deviceID, key);
    return key;
}

// Bytes the instrument has received since it was plugged.
std::string Received(int slot)
{
    char buffer[512];
    int n = ostrel_sim_received(slot, buffer, sizeof buffer);
    return n < 0 ? "<unknown slot>" : std::string(buffer, static_cast<size_t>(n));
}

int CountPrefix(const std::string &docs, const std::string &prefix)
{
    auto texts = LogTexts(docs);
    return static_cast<int>(std::count_if(texts.begin(), texts.end(), [&](const std::string &text) {
        return text.compare(0, prefix.size(), prefix) == 0;
    }));
}

// Only instruments in the table hold handles: two each.
void ExpectOnlyTableHandles()
{
    EXPECT_EQ(ostrel_sim_open_handles(), 2 * vorn_usb_GetDeviceCount());
}

class DiscoveryScan : public ::testing::Test {
protected:
    void SetUp() override
    {
        docs = UseTempDocuments();
        vorn_usb_SetLogging(true);
    }
    void TearDown() override
    {
        ExpectOnlyTableHandles();
        vorn_usb_uninit_system();
        EXPECT_EQ(ostrel_sim_open_handles(), 0);
        EXPECT_EQ(CountLog(docs, "DeviceDiscovery: Exception."), 0);
        EXPECT_EQ(CountLog(docs, "DeviceDiscovery Loop: Exception."), 0);
    }
    std::string docs;
};

TEST_F(DiscoveryScan, RefusedDevicesCloseTheirHandlesAndAreNotRetriedWhileAttached)
{
    // In enumeration order: WinUSB cannot be initialised, the pipes cannot be
    // queried, another product, and the one wanted.
    PlugInstrument(0x1234, "INITFAIL", Idn("10", "SN1").c_str());
    PlugInstrument(0x1234, "PIPEFAIL", Idn("20", "SN2").c_str());
    int other = PlugInstrument(0x1235, "OTHER", Idn("30", "SN3").c_str());
    PlugInstrument(0x1234, "WANTED", Idn("40", "SN4").c_str());
    ASSERT_EQ(ostrel_sim_inject_fault(R"({"call": "WinUsb_Initialize", "error": 31, "times": 1})"), 0);
    ASSERT_EQ(ostrel_sim_inject_fault(R"({"call": "WinUsb_QueryPipe", "error": 31, "times": 1})"), 0);

    EXPECT_EQ(StaticScan(0x1234), 1);
    EXPECT_EQ(DeviceKeys(), std::vector<std::string>{"40 SN4"});
    ExpectOnlyTableHandles();
    // The other product is still logged with its IDs, but never spoken to.
    EXPECT_EQ(CountLog(docs, "VID = 1A2B, PID = 1235"), 1);
    EXPECT_EQ(CountLog(docs, "VID = 1A2B, PID = 1234"), 1);
    EXPECT_EQ(Received(other), "");
    EXPECT_EQ(CountPrefix(docs, "Device Key = "), 1);
    EXPECT_EQ(CountPrefix(docs, "   *** New device discovered: "), 1);
    EXPECT_EQ(CountPrefix(docs, "Device Path = "), 4);

    // Accepting every product changes nothing while the refused paths stay.
    EXPECT_EQ(StaticScan(0), 1);
    EXPECT_EQ(CountPrefix(docs, "Device Path = "), 4);
    ExpectOnlyTableHandles();

    // After shutdown every path is new again, and product 0 takes them all.
    vorn_usb_uninit_system();
    EXPECT_EQ(ostrel_sim_open_handles(), 0);
    EXPECT_EQ(StaticScan(0), 4);
    EXPECT_EQ(DeviceKeys(), (std::vector<std::string>{"10 SN1", "20 SN2", "30 SN3", "40 SN4"}));
    ExpectOnlyTableHandles();
}

TEST_F(DiscoveryScan, SequentialIdsSkipAFailedIdentificationWhichIsRetriedOnlyAfterReplug)
{
    PlugInstrument(1, "A", Idn("100", "SN1").c_str());
    int mute = PlugInstrument(1, "B", nullptr);
    PlugInstrument(1, "C", Idn("300", "SN3").c_str());

    EXPECT_EQ(StaticScan(), 2);
    EXPECT_EQ(KeyOf(0), "100 SN1");
    EXPECT_EQ(KeyOf(1), "");
    EXPECT_EQ(KeyOf(2), "300 SN3");
    ExpectOnlyTableHandles();

    // Still attached: not asked again.
    EXPECT_EQ(StaticScan(), 2);
    EXPECT_EQ(Received(mute), "*IDN?\r");
    ExpectOnlyTableHandles();

    // Gone and back (with a scan in between): identified, the IDs going on.
    ASSERT_EQ(ostrel_sim_unplug(mute), 0);
    EXPECT_EQ(StaticScan(), 2);
    EXPECT_EQ(CountPrefix(docs, "   *** Device removed from discovery: "), 0);
    PlugInstrument(1, "B", Idn("200", "SN2").c_str());
    EXPECT_EQ(StaticScan(), 3);
    EXPECT_EQ(KeyOf(3), "200 SN2");
    EXPECT_EQ(CountLog(docs, "   *** New device discovered: 200 SN2"), 1);
    ExpectOnlyTableHandles();

    // Listing by ID stops at ID 2 with three keys: the gap costs the last one.
    char k0[64] = "", k1[64] = "", k2[64] = "untouched";
    char *keys[] = {k0, k1, k2};
    ASSERT_EQ(vorn_usb_get_model_serial_keys(keys), 0);
    EXPECT_STREQ(k0, "100 SN1");
    EXPECT_STREQ(k1, "300 SN3");
    EXPECT_STREQ(k2, "untouched");
}

TEST_F(DiscoveryScan, AddressRepliesAreReadLikeAtoiAndASharedAddressIsReported)
{
    PlugInstrument(1, "A", Idn("11", "SN1").c_str(), "5\r\n");
    PlugInstrument(1, "B", Idn("22", "SN2").c_str(), "X\r\n");
    PlugInstrument(1, "C", Idn("33", "SN3").c_str(), " 12abc\r\n");

    EXPECT_EQ(vorn_usb_init_system(), 0);
    int ids[4] = {}, models[4] = {}, serials[4] = {}, count = 0;
    ASSERT_EQ(GetInstrumentList(ids, models, serials, &count), 0);
    ASSERT_EQ(count, 3);
    EXPECT_EQ(std::vector<int>(ids, ids + 3), (std::vector<int>{5, 0, 12}));
    EXPECT_EQ(std::vector<int>(models, models + 3), (std::vector<int>{11, 22, 33}));
    EXPECT_EQ(CountLog(docs, "ADDR? Response = ' 12abc'"), 1);
    char key[64] = "";
    EXPECT_EQ(vorn_usb_event_get_key_from_handle(12, key), 0);
    EXPECT_STREQ(key, "33 SN3");

    // A newcomer answering "+5" shares the first one's address.
    PlugInstrument(1, "D", Idn("44", "SN4").c_str(), "+5\n");
    EXPECT_EQ(vorn_usb_init_system(), 1);
    ASSERT_EQ(GetInstrumentList(ids, models, serials, &count), 0);
    ASSERT_EQ(count, 4);
    EXPECT_EQ(ids[3], 5);
    // Lookups by a shared ID take the first in key order.
    EXPECT_EQ(KeyOf(5), "11 SN1");
    ExpectOnlyTableHandles();
}

TEST_F(DiscoveryScan, IdentityRepliesAreCutAtTheirLastLineEndAndKeyedByTheFieldsTheyHave)
{
    // 64 bytes without a line end fill the read: the first 63 are kept.
    const std::string full = "VORN M9 f d S" + std::string(51, '7');
    ASSERT_EQ(full.size(), 64u);
    const char *replies[] = {
        "VORN M1 f d S1\r\n", "VORN M2 f d S2\r", "VORN M3 f d S3\n", "VORN M4 f d S4\r\nb",
        "VORN M5 f d S5",     "\r\n",              "VORN M7",         "VORN M8 f",
        full.c_str()};
    int id = 0;
    for (const char *reply : replies)
        PlugInstrument(1, "S" + std::to_string(id++), reply);

    EXPECT_EQ(StaticScan(), 9);
    EXPECT_EQ(DeviceKeys(), (std::vector<std::string>{"", "M1 S1", "M2 S2", "M3 S3", "M4 S4", "M5 S5", "M7", "M8",
                                                      "M9 S" + std::string(50, '7')}));
    std::vector<char> info(64 * 9 + 1, '\x55');
    ASSERT_EQ(vorn_usb_get_device_info(info.data()), 0);
    const std::string expected = "5,;0,VORN M1 f d S1;1,VORN M2 f d S2;2,VORN M3 f d S3;3,VORN M4 f d S4;"
                                 "4,VORN M5 f d S5;6,VORN M7;7,VORN M8 f;8,";
    EXPECT_EQ(std::string(info.data()).substr(0, expected.size()), expected);
    EXPECT_EQ(CountLog(docs, "*IDN? Response = '" + full.substr(0, 63) + "'"), 1);
    ExpectOnlyTableHandles();
}

TEST_F(DiscoveryScan, DuplicateKeyKeepsTheFirstInstrumentAndTheOtherWaitsForReplug)
{
    int first = PlugInstrument(1, "A", "VORN 2936-R 1.0.3 01/02/24 SN12345\r\n");
    PlugInstrument(1, "B", "VORN 2936-R 2.0.0 07/08/24 SN12345\r\n");

    EXPECT_EQ(StaticScan(), 1);
    ExpectOnlyTableHandles();
    EXPECT_EQ(CountLog(docs, "Device Key = 2936-R SN12345"), 2);
    EXPECT_EQ(CountLog(docs, "   *** New device discovered: 2936-R SN12345"), 1);
    char info[64 + 1];
    ASSERT_EQ(vorn_usb_get_device_info(info), 0);
    EXPECT_STREQ(info, "0,VORN 2936-R 1.0.3 01/02/24 SN12345;");

    // The refused one used up ID 1.
    PlugInstrument(1, "C", Idn("2940-T", "SN20871").c_str());
    EXPECT_EQ(StaticScan(), 2);
    EXPECT_EQ(KeyOf(2), "2940-T SN20871");

    // With the first gone, the second is still not asked while it stays.
    ASSERT_EQ(ostrel_sim_unplug(first), 0);
    EXPECT_EQ(StaticScan(), 1);
    EXPECT_EQ(CountLog(docs, "   *** Device removed from discovery: 2936-R SN12345"), 1);
    EXPECT_EQ(DeviceKeys(), std::vector<std::string>{"2940-T SN20871"});
    ExpectOnlyTableHandles();
}

TEST_F(DiscoveryScan, RescanWithoutChangeTouchesNothingEvenAcrossAReplugOnTheSamePath)
{
    int a = PlugInstrument(1, "A", Idn("2936-R", "SN1").c_str());
    int b = PlugInstrument(1, "B", Idn("2955-L", "SN2").c_str());
    EXPECT_EQ(StaticScan(), 2);
    const int handles = ostrel_sim_open_handles();
    EXPECT_EQ(handles, 4);

    EXPECT_EQ(StaticScan(), 2);
    EXPECT_EQ(CountPrefix(docs, "Device Path = "), 2);
    EXPECT_EQ(Received(a), "*IDN?\r");
    EXPECT_EQ(Received(b), "*IDN?\r");
    EXPECT_EQ(ostrel_sim_open_handles(), handles);

    // Unplugged and plugged again between two scans: the path is the same, so
    // the scan sees no change at all.
    ASSERT_EQ(ostrel_sim_unplug(a), 0);
    int again = PlugInstrument(1, "A", Idn("2936-R", "SN1").c_str());
    EXPECT_EQ(StaticScan(), 2);
    EXPECT_EQ(CountPrefix(docs, "Device Path = "), 2);
    EXPECT_EQ(CountPrefix(docs, "   *** "), 2);
    EXPECT_EQ(Received(again), "");
    ExpectOnlyTableHandles();

    // Once a scan misses it, the stale entry goes and its handles with it.
    ASSERT_EQ(ostrel_sim_unplug(again), 0);
    EXPECT_EQ(StaticScan(), 1);
    EXPECT_EQ(CountLog(docs, "   *** Device removed from discovery: 2936-R SN1"), 1);
    EXPECT_EQ(DeviceKeys(), std::vector<std::string>{"2955-L SN2"});
    ExpectOnlyTableHandles();
}

std::vector<std::pair<int, int>> events;
std::vector<std::string> keysSeenByCallback;

void RecordEvent(int deviceID, int attached)
{
    events.emplace_back(deviceID, attached);
    keysSeenByCallback.push_back(KeyOf(deviceID));
}

size_t LogIndex(const std::vector<std::string> &texts, const std::string &text)
{
    return static_cast<size_t>(std::find(texts.begin(), texts.end(), text) - texts.begin());
}

TEST_F(DiscoveryScan, ArrivalIsReportedBeforeRemovalAndTheCallbackStillFindsTheGoneEntry)
{
    // The callback stays stored after event mode ends; static scans then call it
    // on this thread.
    ASSERT_EQ(vorn_usb_event_init(0, RecordEvent), 0);
    vorn_usb_uninit_system();
    ASSERT_TRUE(events.empty());

    int a = PlugInstrument(1, "A", Idn("100", "SN1").c_str());
    EXPECT_EQ(StaticScan(), 1);
    EXPECT_EQ(events, (std::vector<std::pair<int, int>>{{0, 1}}));

    // One scan: A gone, B and a device that never gets an entry arrive.
    ASSERT_EQ(ostrel_sim_unplug(a), 0);
    int b = PlugInstrument(1, "B", Idn("200", "SN2").c_str());
    int broken = PlugInstrument(1, "BROKEN", Idn("300", "SN3").c_str());
    ASSERT_EQ(ostrel_sim_inject_fault(R"({"call": "WinUsb_QueryPipe", "error": 31, "after": 2, "times": 1})"), 0);
    events.clear();
    keysSeenByCallback.clear();
    EXPECT_EQ(StaticScan(), 1);
    EXPECT_EQ(events, (std::vector<std::pair<int, int>>{{1, 1}, {0, 0}}));
    EXPECT_EQ(keysSeenByCallback, (std::vector<std::string>{"200 SN2", "100 SN1"}));
    auto texts = LogTexts(docs);
    size_t added = LogIndex(texts, "   *** New device discovered: 200 SN2");
    size_t removed = LogIndex(texts, "   *** Device removed from discovery: 100 SN1");
    ASSERT_LT(removed, texts.size());
    EXPECT_LT(added, removed);
    EXPECT_EQ(KeyOf(0), "");
    ExpectOnlyTableHandles();

    // A device that never had an entry leaves without a report; the last one
    // leaving is reported although no device is left to enumerate.
    events.clear();
    ASSERT_EQ(ostrel_sim_unplug(broken), 0);
    EXPECT_EQ(StaticScan(), 1);
    EXPECT_TRUE(events.empty());
    ASSERT_EQ(ostrel_sim_unplug(b), 0);
    EXPECT_EQ(StaticScan(), 0);
    EXPECT_EQ(events, (std::vector<std::pair<int, int>>{{1, 0}}));
    EXPECT_EQ(CountPrefix(docs, "   *** Device removed from discovery: "), 2);
}

} // namespace
} // namespace ostrel::test
