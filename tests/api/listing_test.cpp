// Listings of the device table and of the caller's key registry.
#include "api/api_session.h"

#include <iterator>
#include <tuple>

namespace ostrel::test {
namespace {

using ListingTest = ApiTest;
using Keys = std::vector<std::string>;
using Registered = std::vector<std::pair<std::string, int>>;

Keys Texts(const KeyBuffers &keys)
{
    Keys texts;
    for (size_t i = 0; i < keys.texts.size(); ++i)
        texts.push_back(keys[i]);
    return texts;
}

TEST_F(ListingTest, EmptyTableAndRegistryLeaveEveryBufferAsItWas)
{
    ASSERT_EQ(vorn_usb_init_system(), 0);
    KeyBuffers keys(1);
    int id = -7, model = -7, serial = -7, count = -7;
    char info[8] = "as was", key[64] = "stale";
    EXPECT_EQ(vorn_usb_GetDeviceKeys(keys.pointers.data()), 0);
    EXPECT_EQ(GetInstrumentList(&id, &model, &serial, &count), 0);
    EXPECT_EQ(vorn_usb_get_device_info(info), 0);
    EXPECT_EQ(std::string(info, sizeof info), std::string("as was\0", 8)) << "not even a NUL is written";
    vorn_usb_GetDeviceKeyFromDeviceID(0, key);
    EXPECT_STREQ(key, "");
    EXPECT_EQ(vorn_usb_get_model_serial_keys(keys.pointers.data()), 0);
    EXPECT_EQ(vorn_usb_event_get_attached_devices(keys.pointers.data(), &id), 0);
    EXPECT_EQ(vorn_usb_event_get_key_from_handle(0, keys.pointers[0]), -1);
    EXPECT_EQ(keys[0], "#");
    EXPECT_EQ(std::make_tuple(id, model, serial, count), std::make_tuple(-7, -7, -7, 0));
}

TEST_F(ListingTest, TableListingsFollowKeyOrderAndTakeModelAndSerialNumbersFromTheKeys)
{
    // Sequential IDs follow the plug order; the table's listings the key order.
    const char *const replies[] = {
        "ACME 25 1.0 2024 SN678\r\n",    // ID 0
        "ACME X7 1.0 2024 SN9\r\n",      // ID 1: no model number
        "ACME 31\r\n",                   // ID 2: no blank, so no serial number
        "ACME 40 1.0 2024 NOSERIAL\r\n", // ID 3: no digit after the blank
        "ACME 50 1.0 2024 AB-12C\r\n",   // ID 4: letters and '-' before the digits skipped
    };
    for (size_t i = 0; i < std::size(replies); ++i)
        Plug({.serial = "S" + std::to_string(i), .idn = replies[i]});
    int count = -1;
    ASSERT_EQ(vorn_usb_open_devices(0, false, &count), 0);

    EXPECT_EQ(DeviceKeys(), (Keys{"25 SN678", "31", "40 NOSERIAL", "50 AB-12C", "X7 SN9"}));
    std::vector<int> ids(6, -7), models(6, -7), serials(6, -7);
    ASSERT_EQ(GetInstrumentList(ids.data(), models.data(), serials.data(), &count), 0);
    EXPECT_EQ(count, 5);
    EXPECT_EQ(ids, (std::vector<int>{0, 2, 3, 4, 1, -7}));
    EXPECT_EQ(models, (std::vector<int>{25, 31, 40, 50, 0, -7}));
    EXPECT_EQ(serials, (std::vector<int>{678, 0, 0, 12, 9, -7}));
    std::string info(5 * 64 + 1, '#');
    ASSERT_EQ(vorn_usb_get_device_info(info.data()), 0);
    EXPECT_EQ(std::string(info.c_str()), "0,ACME 25 1.0 2024 SN678;2,ACME 31;3,ACME 40 1.0 2024 NOSERIAL;"
                                         "4,ACME 50 1.0 2024 AB-12C;1,ACME X7 1.0 2024 SN9;");
    // The registered keys by ID: after one scan in which all answered, the discovery order.
    KeyBuffers byID(6);
    ASSERT_EQ(vorn_usb_get_model_serial_keys(byID.pointers.data()), 0);
    EXPECT_EQ(Texts(byID), (Keys{"25 SN678", "X7 SN9", "31", "40 NOSERIAL", "50 AB-12C", "#"}));
}

TEST_F(ListingTest, ModelSerialKeysLookOnlyForIdsBelowTheNumberOfKeys)
{
    Plug({.serial = "S5", .idn = Idn("2936-R", "SN5"), .address = "5\r\n"});
    Plug({.serial = "S1", .idn = Idn("2955-L", "SN1"), .address = "1\r\n"});
    ASSERT_EQ(vorn_usb_init_system(), 0);
    KeyBuffers keys(5);
    ASSERT_EQ(vorn_usb_get_model_serial_keys(keys.pointers.data()), 0);
    EXPECT_EQ(Texts(keys), (Keys{"2955-L SN1", "#", "#", "#", "#"}));

    // Of several keys with one ID the first in key order is listed, once.
    ASSERT_EQ(vorn_usb_event_assign_key("1 zero", 0), 0);
    ASSERT_EQ(vorn_usb_event_assign_key("0 zero", 0), 0);
    ASSERT_EQ(vorn_usb_get_model_serial_keys(keys.pointers.data()), 0);
    EXPECT_EQ(Texts(keys), (Keys{"0 zero", "2955-L SN1", "#", "#", "#"}));
}

TEST_F(ListingTest, RegistryReplacesRemovesAndLooksUpInKeyOrder)
{
    Plug({.serial = "SN30502", .idn = Idn("2955-L", "SN30502"), .address = "12\r\n"});
    Plug({.serial = "SN12345", .idn = Idn("2936-R", "SN12345"), .address = "5\r\n"});
    ASSERT_EQ(vorn_usb_init_system(), 0);
    EXPECT_EQ(vorn_usb_event_assign_key("2936-R SN12345", 40), 0);
    EXPECT_EQ(vorn_usb_event_assign_key("ZZ 1", 5), 0);
    EXPECT_EQ(vorn_usb_event_assign_key("00 first", 12), 0);
    EXPECT_EQ(Registry(4), (Registered{{"00 first", 12}, {"2936-R SN12345", 40}, {"2955-L SN30502", 12}, {"ZZ 1", 5}}));

    // The registry answers for itself, the device table for the table.
    char key[64], untouched[64] = "untouched";
    EXPECT_EQ(vorn_usb_event_get_key_from_handle(5, key), 0);
    EXPECT_STREQ(key, "ZZ 1");
    EXPECT_EQ(vorn_usb_event_get_key_from_handle(12, key), 0);
    EXPECT_STREQ(key, "00 first");
    vorn_usb_GetDeviceKeyFromDeviceID(5, key);
    EXPECT_STREQ(key, "2936-R SN12345");
    EXPECT_EQ(vorn_usb_event_get_key_from_handle(99, untouched), -1);
    EXPECT_STREQ(untouched, "untouched");

    EXPECT_EQ(vorn_usb_event_remove_key("ZZ 1"), 0);
    EXPECT_EQ(vorn_usb_event_remove_key("ZZ 1"), -1);
    EXPECT_EQ(vorn_usb_event_remove_key("2936-R SN12345 "), -1) << "keys match exactly";
    EXPECT_EQ(Registry(3), (Registered{{"00 first", 12}, {"2936-R SN12345", 40}, {"2955-L SN30502", 12}}));
    vorn_usb_uninit_system();
    EXPECT_EQ(Registry(0), Registered{}) << "shutdown empties the registry";
}

TEST_F(ListingTest, KeysCopiedOutNeverPassTheirSixtyFourChars)
{
    // The registry keeps whatever the caller assigned; copies are cut to fit.
    ASSERT_EQ(vorn_usb_event_assign_key(std::string(100, 'K').c_str(), 0), 0);
    for (int listing = 0; listing < 3; ++listing) {
        std::string buffer(80, '#');
        char *keys[] = {buffer.data()};
        int id = -1;
        ASSERT_EQ(listing == 0   ? vorn_usb_event_get_attached_devices(keys, &id)
                  : listing == 1 ? vorn_usb_event_get_key_from_handle(0, keys[0])
                                 : vorn_usb_get_model_serial_keys(keys), 0);
        EXPECT_EQ(buffer, std::string(63, 'K') + '\0' + std::string(16, '#')) << listing;
    }
}

} // namespace
} // namespace ostrel::test
