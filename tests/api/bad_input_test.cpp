// Null pointers into the transfer, listing, registry and discovery exports: the
// failure value, an error line, no out-parameter written, nothing lost.
#include "api/api_session.h"

#include <functional>

namespace ostrel::test {
namespace {

constexpr int kID = 5;
const char *const kKey = "2936-R SN12345";

struct Case {
    const char *what;
    std::function<int()> call;
    int failure;
};

class NullInputTest : public ApiTest {
protected:
    void SetUp() override
    {
        ApiTest::SetUp();
        slot = Plug({.serial = "SN12345", .idn = Idn("2936-R", "SN12345"), .address = "5\r\n",
                     .replies = {{"PING?", "PONG\r\n"}}});
        ASSERT_EQ(vorn_usb_init_system(), 0);
        // A reply waits: a read that wrongly went ahead would take it.
        std::string ping = "PING?";
        ASSERT_EQ(vorn_usb_send_ascii(kID, ping.data(), 0), 0);
        received = Received(slot);
    }

    // Each call gives its failure value and at least one log line.
    void Check(const std::vector<Case> &cases)
    {
        for (const Case &c : cases) {
            MarkLog();
            EXPECT_EQ(c.call(), c.failure) << c.what;
            EXPECT_FALSE(NewLog().empty()) << c.what << ": no error line";
        }
    }

    // Nothing reached the instrument, its reply still waits, the library
    // still holds the instrument and its key.
    void CheckNothingLost()
    {
        EXPECT_EQ(Received(slot), received);
        char reply[64];
        unsigned length = 0;
        EXPECT_EQ(vorn_usb_read_ascii_by_key(kKey, reply, sizeof reply, &length), 0);
        EXPECT_STREQ(reply, "PONG");
        EXPECT_EQ(vorn_usb_GetDeviceCount(), 1);
        EXPECT_EQ(Registry(1), (std::vector<std::pair<std::string, int>>{{kKey, kID}}));
    }

    int slot = -1;
    std::string received;
    char buffer[64] = "DATA";
    unsigned bytesRead = 1234;
};

TEST_F(NullInputTest, TransfersWithANullKeyBufferOrCountFailWithoutTouchingTheInstrument)
{
    Check({
        {"send_ascii buffer", [] { return vorn_usb_send_ascii(kID, nullptr, 4); }, -1},
        {"send_binary buffer", [] { return vorn_usb_send_binary(kID, nullptr, 4); }, -1},
        {"write_by_key key", [&] { return vorn_usb_write_by_key(nullptr, buffer, 4); }, -1},
        {"write_by_key buffer", [] { return vorn_usb_write_by_key(kKey, nullptr, 4); }, -1},
        {"write_binary_by_key key", [&] { return vorn_usb_write_binary_by_key(nullptr, buffer, 4); }, -1},
        {"write_binary_by_key buffer", [] { return vorn_usb_write_binary_by_key(kKey, nullptr, 4); }, -1},
        {"get_ascii buffer", [&] { return vorn_usb_get_ascii(kID, nullptr, 64, &bytesRead); }, -1},
        {"get_ascii bytesRead", [&] { return vorn_usb_get_ascii(kID, buffer, 64, nullptr); }, -1},
        {"get_ascii_by_DeviceID buffer", [&] { return vorn_usb_get_ascii_by_DeviceID(kID, nullptr, 64, &bytesRead); },
         -1},
        {"get_ascii_by_DeviceID bytesRead", [&] { return vorn_usb_get_ascii_by_DeviceID(kID, buffer, 64, nullptr); },
         -1},
        {"read_by_key key", [&] { return vorn_usb_read_by_key(nullptr, buffer, 64, &bytesRead); }, -1},
        {"read_by_key buffer", [&] { return vorn_usb_read_by_key(kKey, nullptr, 64, &bytesRead); }, -1},
        {"read_by_key bytesRead", [&] { return vorn_usb_read_by_key(kKey, buffer, 64, nullptr); }, -1},
        {"read_ascii_by_key key", [&] { return vorn_usb_read_ascii_by_key(nullptr, buffer, 64, &bytesRead); }, -1},
        {"read_ascii_by_key buffer", [&] { return vorn_usb_read_ascii_by_key(kKey, nullptr, 64, &bytesRead); }, -1},
        {"read_ascii_by_key bytesRead", [&] { return vorn_usb_read_ascii_by_key(kKey, buffer, 64, nullptr); }, -1},
    });
    EXPECT_EQ(bytesRead, 1234u);
    EXPECT_STREQ(buffer, "DATA");
    CheckNothingLost();
}

TEST_F(NullInputTest, ListingsAndDiscoveryWithANullOutParameterFailAndWriteNothing)
{
    KeyBuffers keys(2);
    int ids[2] = {-7, -7}, models[2] = {-7, -7}, serials[2] = {-7, -7}, count = -7;
    Check({
        {"GetDeviceKeys", [] { return vorn_usb_GetDeviceKeys(nullptr); }, 0},
        {"get_device_info", [] { return vorn_usb_get_device_info(nullptr); }, -1},
        {"GetInstrumentList ids", [&] { return GetInstrumentList(nullptr, models, serials, &count); }, -1},
        {"GetInstrumentList models", [&] { return GetInstrumentList(ids, nullptr, serials, &count); }, -1},
        {"GetInstrumentList serials", [&] { return GetInstrumentList(ids, models, nullptr, &count); }, -1},
        {"GetInstrumentList count", [&] { return GetInstrumentList(ids, models, serials, nullptr); }, -1},
        {"get_model_serial_keys", [] { return vorn_usb_get_model_serial_keys(nullptr); }, -1},
        {"event_assign_key", [] { return vorn_usb_event_assign_key(nullptr, 3); }, -1},
        {"event_remove_key", [] { return vorn_usb_event_remove_key(nullptr); }, -1},
        {"event_get_attached_devices keys", [&] { return vorn_usb_event_get_attached_devices(nullptr, ids); }, -1},
        {"event_get_attached_devices ids", [&] { return vorn_usb_event_get_attached_devices(keys.data(), nullptr); },
         -1},
        {"event_get_key_from_handle", [] { return vorn_usb_event_get_key_from_handle(kID, nullptr); }, -1},
        {"open_devices count", [] { return vorn_usb_open_devices(0, true, nullptr); }, -1},
        {"GetDeviceKeyFromDeviceID", [] { vorn_usb_GetDeviceKeyFromDeviceID(kID, nullptr); return 0; }, 0},
    });
    EXPECT_EQ(keys[0], "<untouched>");
    EXPECT_EQ(std::vector<int>({ids[0], models[0], serials[0], count}), std::vector<int>({-7, -7, -7, -7}));
    CheckNothingLost();
}

TEST_F(NullInputTest, KeyArraysWithANullEntryFailAndWriteNothing)
{
    // Registered: "0 zero" -> 0, "1 one" -> 1 and the instrument's key -> 5.
    ASSERT_EQ(vorn_usb_event_assign_key("0 zero", 0), 0);
    ASSERT_EQ(vorn_usb_event_assign_key("1 one", 1), 0);
    std::string first(64, '#'), second(64, '#');
    char *tableKeys[] = {nullptr};                           // one instrument in the table
    char *idKeys[] = {first.data(), nullptr};                // IDs 0 and 1 are listed
    char *registryKeys[] = {first.data(), second.data(), nullptr}; // three keys registered
    int ids[3] = {-7, -7, -7};
    Check({
        {"GetDeviceKeys", [&] { return vorn_usb_GetDeviceKeys(tableKeys); }, 0},
        {"get_model_serial_keys", [&] { return vorn_usb_get_model_serial_keys(idKeys); }, -1},
        {"event_get_attached_devices", [&] { return vorn_usb_event_get_attached_devices(registryKeys, ids); }, -1},
    });
    EXPECT_EQ(first, std::string(64, '#'));
    EXPECT_EQ(second, std::string(64, '#'));
    EXPECT_EQ(std::vector<int>(ids, ids + 3), std::vector<int>({-7, -7, -7}));
    ASSERT_EQ(vorn_usb_event_remove_key("0 zero"), 0);
    ASSERT_EQ(vorn_usb_event_remove_key("1 one"), 0);
    CheckNothingLost();
}

} // namespace
} // namespace ostrel::test
