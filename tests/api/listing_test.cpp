// Listings of the device table and the caller's key registry, through the exports.
#include "api/api_session.h"

#include <tuple>

namespace ostrel::test {
namespace {

using ListingTest = ApiTest;
using RegistryTest = ApiTest;

// GetInstrumentList as (device ID, model, serial number), sized by the device count.
std::vector<std::tuple<int, int, int>> InstrumentList()
{
    const size_t count = static_cast<size_t>(vorn_usb_GetDeviceCount());
    std::vector<int> ids(count + 1, -7), models(count + 1, -7), serials(count + 1, -7);
    int listed = -1;
    EXPECT_EQ(GetInstrumentList(ids.data(), models.data(), serials.data(), &listed), 0);
    EXPECT_EQ(listed, static_cast<int>(count));
    EXPECT_EQ(std::make_tuple(ids[count], models[count], serials[count]), std::make_tuple(-7, -7, -7))
        << "written past the device count";
    std::vector<std::tuple<int, int, int>> list;
    for (size_t i = 0; i < count; ++i)
        list.emplace_back(ids[i], models[i], serials[i]);
    return list;
}

TEST_F(ListingTest, EmptyTableListsNothingAndLeavesEveryBufferAsItWas)
{
    ASSERT_EQ(vorn_usb_init_system(), 0);
    EXPECT_EQ(vorn_usb_GetDeviceCount(), 0);

    KeyBuffers keys(2);
    EXPECT_EQ(vorn_usb_GetDeviceKeys(keys.data()), 0);
    EXPECT_EQ(keys[0], "<untouched>");

    int id = -7, model = -7, serial = -7, count = -7;
    EXPECT_EQ(GetInstrumentList(&id, &model, &serial, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(std::make_tuple(id, model, serial), std::make_tuple(-7, -7, -7));

    char info[8] = "as was";
    EXPECT_EQ(vorn_usb_get_device_info(info), 0);
    EXPECT_EQ(std::string(info, sizeof info), std::string("as was\0", 8));

    char key[64] = "stale";
    vorn_usb_GetDeviceKeyFromDeviceID(0, key);
    EXPECT_STREQ(key, "");

    // With nothing registered, the registry's listings write nothing either.
    EXPECT_EQ(vorn_usb_get_model_serial_keys(keys.data()), 0);
    EXPECT_EQ(vorn_usb_event_get_attached_devices(keys.data(), &id), 0);
    EXPECT_EQ(keys[0], "<untouched>");
    EXPECT_EQ(id, -7);
    EXPECT_EQ(vorn_usb_event_get_key_from_handle(0, keys.data()[0]), -1);
    EXPECT_EQ(keys[0], "<untouched>");
}

TEST_F(ListingTest, TableListingsAreInKeyOrderWhateverTheDiscoveryOrder)
{
    Plug({.pid = 0x2955, .serial = "SN30502", .idn = Idn("2955-L", "SN30502"), .address = "12\r\n"});
    Plug({.pid = 0x2936, .serial = "SN12345", .idn = Idn("2936-R", "SN12345"), .address = "5\r\n"});
    Plug({.pid = 0x2940, .serial = "SN20871", .idn = Idn("2940-T", "SN20871"), .address = "7\r\n"});
    ASSERT_EQ(vorn_usb_init_system(), 0);
    ASSERT_EQ(vorn_usb_GetDeviceCount(), 3);

    EXPECT_EQ(DeviceKeys(), (std::vector<std::string>{"2936-R SN12345", "2940-T SN20871", "2955-L SN30502"}));
    EXPECT_EQ(InstrumentList(), (std::vector<std::tuple<int, int, int>>{
                                    {5, 2936, 12345}, {7, 2940, 20871}, {12, 2955, 30502}}));

    // 64 chars per instrument plus one, as the header asks.
    std::string info(3 * 64 + 1, '#');
    ASSERT_EQ(vorn_usb_get_device_info(info.data()), 0);
    EXPECT_EQ(std::string(info.c_str()), "5,VORN 2936-R 1.0.3 01/02/24 SN12345;"
                                         "7,VORN 2940-T 1.0.3 01/02/24 SN20871;"
                                         "12,VORN 2955-L 1.0.3 01/02/24 SN30502;");

    char key[64];
    vorn_usb_GetDeviceKeyFromDeviceID(7, key);
    EXPECT_STREQ(key, "2940-T SN20871");
    vorn_usb_GetDeviceKeyFromDeviceID(99, key);
    EXPECT_STREQ(key, "");
}

TEST_F(ListingTest, KeyFromDeviceIdTakesTheSmallerKeyOfASharedId)
{
    Plug({.serial = "SB", .idn = Idn("B", "2"), .address = "4\r\n"});
    Plug({.serial = "SA", .idn = Idn("A", "1"), .address = "4\r\n"});
    ASSERT_EQ(vorn_usb_init_system(), 1);
    char key[64];
    vorn_usb_GetDeviceKeyFromDeviceID(4, key);
    EXPECT_STREQ(key, "A 1");
}

TEST_F(ListingTest, InstrumentListReadsModelAndSerialNumbersFromTheKeys)
{
    // Sequential IDs follow the plug order; the list follows the key order.
    const struct {
        std::string idn;
    } plugged[] = {
        {"ACME 25 1.0 2024 SN678\r\n"},   // ID 0, key "25 SN678"
        {"ACME X7 1.0 2024 SN9\r\n"},     // ID 1, key "X7 SN9": no model number
        {"ACME 31\r\n"},                  // ID 2, key "31": no blank, no serial
        {"ACME 40 1.0 2024 NOSERIAL\r\n"}, // ID 3, key "40 NOSERIAL": no digit after the blank
        {"ACME 50 1.0 2024 AB-12C\r\n"},  // ID 4, key "50 AB-12C": letters and '-' skipped
    };
    int serial = 0;
    for (const auto &p : plugged)
        Plug({.serial = "S" + std::to_string(serial++), .idn = p.idn});
    int count = -1;
    ASSERT_EQ(vorn_usb_open_devices(0, false, &count), 0);
    ASSERT_EQ(count, 5);

    EXPECT_EQ(DeviceKeys(), (std::vector<std::string>{"25 SN678", "31", "40 NOSERIAL", "50 AB-12C", "X7 SN9"}));
    EXPECT_EQ(InstrumentList(), (std::vector<std::tuple<int, int, int>>{
                                    {0, 25, 678}, {2, 31, 0}, {3, 40, 0}, {4, 50, 12}, {1, 0, 9}}));
}

TEST_F(RegistryTest, StaticDiscoveryRegistersTheKeysAndTheCallerMayChangeThem)
{
    Plug({.serial = "SN30502", .idn = Idn("2955-L", "SN30502"), .address = "12\r\n"});
    Plug({.serial = "SN12345", .idn = Idn("2936-R", "SN12345"), .address = "5\r\n"});
    ASSERT_EQ(vorn_usb_init_system(), 0);
    using Registered = std::vector<std::pair<std::string, int>>;
    EXPECT_EQ(Registry(2), (Registered{{"2936-R SN12345", 5}, {"2955-L SN30502", 12}}));

    // Assigning a registered key replaces its ID; a new key joins in key order.
    EXPECT_EQ(vorn_usb_event_assign_key("2936-R SN12345", 40), 0);
    EXPECT_EQ(vorn_usb_event_assign_key("ZZ 1", 5), 0);
    EXPECT_EQ(vorn_usb_event_assign_key("00 first", 12), 0);
    EXPECT_EQ(Registry(4), (Registered{{"00 first", 12}, {"2936-R SN12345", 40}, {"2955-L SN30502", 12}, {"ZZ 1", 5}}));

    // The registry answers for the registry, the device table for the table.
    char key[64];
    EXPECT_EQ(vorn_usb_event_get_key_from_handle(5, key), 0);
    EXPECT_STREQ(key, "ZZ 1");
    EXPECT_EQ(vorn_usb_event_get_key_from_handle(12, key), 0);
    EXPECT_STREQ(key, "00 first");
    vorn_usb_GetDeviceKeyFromDeviceID(5, key);
    EXPECT_STREQ(key, "2936-R SN12345");

    char untouched[64] = "untouched";
    EXPECT_EQ(vorn_usb_event_get_key_from_handle(99, untouched), -1);
    EXPECT_STREQ(untouched, "untouched");

    EXPECT_EQ(vorn_usb_event_remove_key("ZZ 1"), 0);
    EXPECT_EQ(vorn_usb_event_remove_key("ZZ 1"), -1);
    EXPECT_EQ(vorn_usb_event_remove_key("2936-R SN12345 "), -1) << "keys match exactly";
    EXPECT_EQ(vorn_usb_event_remove_key("never registered"), -1);
    EXPECT_EQ(vorn_usb_event_get_key_from_handle(5, untouched), -1);
    EXPECT_EQ(Registry(3), (Registered{{"00 first", 12}, {"2936-R SN12345", 40}, {"2955-L SN30502", 12}}));

    // Shutdown empties the registry.
    vorn_usb_uninit_system();
    EXPECT_EQ(vorn_usb_event_get_key_from_handle(12, untouched), -1);
    EXPECT_EQ(vorn_usb_event_remove_key("2955-L SN30502"), -1);
}

TEST_F(RegistryTest, KeyFromHandleTakesTheFirstKeyInKeyOrderForASharedId)
{
    for (const char *key : {"M 3", "B 2", "K 1"})
        ASSERT_EQ(vorn_usb_event_assign_key(key, 7), 0);
    char key[64];
    ASSERT_EQ(vorn_usb_event_get_key_from_handle(7, key), 0);
    EXPECT_STREQ(key, "B 2");
}

TEST_F(RegistryTest, ModelSerialKeysListSequentialIdsInDiscoveryOrder)
{
    int serial = 0;
    for (const char *model : {"C", "A", "B"})
        Plug({.serial = "S" + std::to_string(serial++), .idn = Idn(model, "3")});
    int count = -1;
    ASSERT_EQ(vorn_usb_open_devices(0, false, &count), 0);
    ASSERT_EQ(count, 3);

    KeyBuffers keys(4);
    ASSERT_EQ(vorn_usb_get_model_serial_keys(keys.data()), 0);
    EXPECT_EQ(keys[0], "C 3");
    EXPECT_EQ(keys[1], "A 3");
    EXPECT_EQ(keys[2], "B 3");
    EXPECT_EQ(keys[3], "<untouched>");
}

TEST_F(RegistryTest, ModelSerialKeysLookOnlyForIdsBelowTheNumberOfKeys)
{
    Plug({.serial = "S5", .idn = Idn("2936-R", "SN5"), .address = "5\r\n"});
    Plug({.serial = "S1", .idn = Idn("2955-L", "SN1"), .address = "1\r\n"});
    ASSERT_EQ(vorn_usb_init_system(), 0);

    // Two keys: IDs 0 and 1 are looked for, and only ID 1 is there.
    KeyBuffers keys(2);
    ASSERT_EQ(vorn_usb_get_model_serial_keys(keys.data()), 0);
    EXPECT_EQ(keys[0], "2955-L SN1");
    EXPECT_EQ(keys[1], "<untouched>");

    // Of several keys with one ID the first in key order is listed once.
    ASSERT_EQ(vorn_usb_event_assign_key("0 zero", 0), 0);
    ASSERT_EQ(vorn_usb_event_assign_key("1 zero", 0), 0);
    KeyBuffers more(4);
    ASSERT_EQ(vorn_usb_get_model_serial_keys(more.data()), 0);
    EXPECT_EQ(more[0], "0 zero");
    EXPECT_EQ(more[1], "2955-L SN1");
    EXPECT_EQ(more[2], "<untouched>");
}

TEST_F(RegistryTest, KeysCopiedOutNeverPassTheirSixtyFourChars)
{
    // The registry keeps whatever the caller assigned; copies are cut to fit.
    const std::string longKey(100, 'K');
    ASSERT_EQ(vorn_usb_event_assign_key(longKey.c_str(), 0), 0);
    const std::string fitted = longKey.substr(0, 63) + '\0';
    const std::string guard(16, '#');

    std::string buffer(64 + guard.size(), '#');
    char *keys[] = {buffer.data()};
    int id = -1;
    ASSERT_EQ(vorn_usb_event_get_attached_devices(keys, &id), 0);
    EXPECT_EQ(buffer, fitted + guard);
    EXPECT_EQ(id, 0);

    buffer.assign(64 + guard.size(), '#');
    ASSERT_EQ(vorn_usb_event_get_key_from_handle(0, buffer.data()), 0);
    EXPECT_EQ(buffer, fitted + guard);

    buffer.assign(64 + guard.size(), '#');
    ASSERT_EQ(vorn_usb_get_model_serial_keys(keys), 0);
    EXPECT_EQ(buffer, fitted + guard);
}

} // namespace
} // namespace ostrel::test
