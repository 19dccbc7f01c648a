// A null pointer for each pointer argument of the exports: the failure value,
// one error line naming it, no out-parameter written, nothing lost.
#include "api/api_session.h"

#include <functional>

namespace ostrel::test {
namespace {

using NullInputTest = ApiTest;

TEST_F(NullInputTest, EveryNullArgumentFailsWithItsLineAndTouchesNothing)
{
    const char *const key = "2936-R SN12345";
    const int slot = Plug({.serial = "SN12345", .idn = Idn("2936-R", "SN12345"), .address = "5\r\n",
                           .replies = {{"PING?", "PONG\r\n"}}});
    ASSERT_EQ(vorn_usb_init_system(), 0);
    ASSERT_EQ(vorn_usb_event_assign_key("0 zero", 0) + vorn_usb_event_assign_key("1 one", 1), 0);
    std::string ping = "PING?";
    ASSERT_EQ(vorn_usb_send_ascii(5, ping.data(), 0), 0); // a read that wrongly went ahead would take its reply
    const std::string received = Received(slot);

    char buf[64] = "DATA";
    unsigned got = 1234;
    int ids[3] = {-7, -7, -7}, numbers[2] = {-7, -7}, count = -7;
    KeyBuffers keys(2);
    // One instrument in the table; keys for IDs 0 and 1, three in all, registered: each array ends in a null.
    char *one[] = {nullptr}, *two[] = {keys.pointers[0], nullptr};
    char *three[] = {keys.pointers[0], keys.pointers[1], nullptr};
    const struct {
        std::string line;
        std::function<int()> call;
        int failure = -1;
    } cases[] = {
        {"vorn_usb_send_ascii: buffer", [] { return vorn_usb_send_ascii(5, nullptr, 4); }},
        {"vorn_usb_send_binary: buffer", [] { return vorn_usb_send_binary(5, nullptr, 4); }},
        {"vorn_usb_write_by_key: deviceKey", [&] { return vorn_usb_write_by_key(nullptr, buf, 4); }},
        {"vorn_usb_write_by_key: buffer", [&] { return vorn_usb_write_by_key(key, nullptr, 4); }},
        {"vorn_usb_write_binary_by_key: deviceKey", [&] { return vorn_usb_write_binary_by_key(nullptr, buf, 4); }},
        {"vorn_usb_write_binary_by_key: buffer", [&] { return vorn_usb_write_binary_by_key(key, nullptr, 4); }},
        {"vorn_usb_get_ascii: buffer", [&] { return vorn_usb_get_ascii(5, nullptr, 64, &got); }},
        {"vorn_usb_get_ascii: bytesRead", [&] { return vorn_usb_get_ascii(5, buf, 64, nullptr); }},
        {"vorn_usb_get_ascii_by_DeviceID: buffer", [&] { return vorn_usb_get_ascii_by_DeviceID(5, nullptr, 64, &got); }},
        {"vorn_usb_get_ascii_by_DeviceID: bytesRead", [&] { return vorn_usb_get_ascii_by_DeviceID(5, buf, 64, nullptr); }},
        {"vorn_usb_read_by_key: deviceKey", [&] { return vorn_usb_read_by_key(nullptr, buf, 64, &got); }},
        {"vorn_usb_read_by_key: buffer", [&] { return vorn_usb_read_by_key(key, nullptr, 64, &got); }},
        {"vorn_usb_read_by_key: bytesRead", [&] { return vorn_usb_read_by_key(key, buf, 64, nullptr); }},
        {"vorn_usb_read_ascii_by_key: deviceKey", [&] { return vorn_usb_read_ascii_by_key(nullptr, buf, 64, &got); }},
        {"vorn_usb_read_ascii_by_key: buffer", [&] { return vorn_usb_read_ascii_by_key(key, nullptr, 64, &got); }},
        {"vorn_usb_read_ascii_by_key: bytesRead", [&] { return vorn_usb_read_ascii_by_key(key, buf, 64, nullptr); }},
        {"vorn_usb_open_devices: deviceCount", [] { return vorn_usb_open_devices(0, true, nullptr); }},
        {"vorn_usb_GetDeviceKeys: keyBuffers", [] { return vorn_usb_GetDeviceKeys(nullptr); }, 0},
        {"vorn_usb_GetDeviceKeys: keyBuffers[0]", [&] { return vorn_usb_GetDeviceKeys(one); }, 0},
        {"vorn_usb_GetDeviceKeyFromDeviceID: keyBuffer", [] { return vorn_usb_GetDeviceKeyFromDeviceID(5, nullptr), 0; }, 0},
        {"vorn_usb_get_device_info: buffer", [] { return vorn_usb_get_device_info(nullptr); }},
        {"GetInstrumentList: deviceIDs", [&] { return GetInstrumentList(nullptr, numbers, numbers, &count); }},
        {"GetInstrumentList: models", [&] { return GetInstrumentList(ids, nullptr, numbers, &count); }},
        {"GetInstrumentList: serialNumbers", [&] { return GetInstrumentList(ids, numbers, nullptr, &count); }},
        {"GetInstrumentList: count", [&] { return GetInstrumentList(ids, numbers, numbers, nullptr); }},
        {"vorn_usb_get_model_serial_keys: keyBuffers", [] { return vorn_usb_get_model_serial_keys(nullptr); }},
        {"vorn_usb_get_model_serial_keys: keyBuffers[1]", [&] { return vorn_usb_get_model_serial_keys(two); }},
        {"vorn_usb_event_assign_key: deviceKey", [] { return vorn_usb_event_assign_key(nullptr, 3); }},
        {"vorn_usb_event_remove_key: deviceKey", [] { return vorn_usb_event_remove_key(nullptr); }},
        {"vorn_usb_event_get_attached_devices: keyBuffers", [&] { return vorn_usb_event_get_attached_devices(nullptr, ids); }},
        {"vorn_usb_event_get_attached_devices: deviceIDs", [&] { return vorn_usb_event_get_attached_devices(three, nullptr); }},
        {"vorn_usb_event_get_attached_devices: keyBuffers[2]", [&] { return vorn_usb_event_get_attached_devices(three, ids); }},
        {"vorn_usb_event_get_key_from_handle: keyBuffer", [] { return vorn_usb_event_get_key_from_handle(5, nullptr); }},
        {"vorn_usb_GetOSName: buffer", [] { return vorn_usb_GetOSName(nullptr), 0; }, 0},
    };
    for (const auto &c : cases) {
        const size_t logged = LogTexts(documents).size();
        EXPECT_EQ(c.call(), c.failure) << c.line;
        EXPECT_EQ(LogTexts(documents).size(), logged + 1) << c.line;
        EXPECT_EQ(LogTexts(documents).back(), c.line + " is null.");
    }

    EXPECT_EQ(std::string(buf) + ", " + std::to_string(got), "DATA, 1234");
    EXPECT_EQ(std::vector<int>({ids[0], ids[1], ids[2], numbers[0], numbers[1], count}), std::vector<int>(6, -7));
    EXPECT_EQ(keys[0] + keys[1], "##");
    EXPECT_EQ(Received(slot), received);
    ASSERT_EQ(vorn_usb_read_ascii_by_key(key, buf, sizeof buf, &got), 0);
    EXPECT_STREQ(buf, "PONG");
    EXPECT_EQ(Registry(3), (std::vector<std::pair<std::string, int>>{{"0 zero", 0}, {"1 one", 1}, {key, 5}}));
}

} // namespace
} // namespace ostrel::test
