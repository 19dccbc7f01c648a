// The eight transfer exports, each way (by device ID and by key): ASCII cuts
// and line ends, binary bytes unchanged, unknown instruments left untouched.
// Transfers of examples/bench.json, a read that times out, an unplugged
// instrument and the data lines are scenarios (tests/scenarios).
#include "api/api_session.h"

#include <cstring>
#include <functional>

namespace ostrel::test {
namespace {

constexpr int kMeterID = 5;
const char *const kMeterKey = "2936-R SN12345";

class TransferTest : public ApiTest {
protected:
    // One instrument at address 5 with key kMeterKey; its bench slot.
    int PlugMeter(std::vector<std::pair<std::string, std::string>> replies)
    {
        const int slot = Plug({.serial = "SN12345", .idn = Idn("2936-R", "SN12345"), .address = "5\r\n",
                               .replies = std::move(replies)});
        EXPECT_EQ(vorn_usb_init_system(), 0);
        return slot;
    }
};

int WriteAscii(bool byKey, char *text, unsigned length)
{
    return byKey ? vorn_usb_write_by_key(kMeterKey, text, length) : vorn_usb_send_ascii(kMeterID, text, length);
}

int ReadAscii(bool byKey, char *buffer, unsigned length, unsigned *bytesRead)
{
    return byKey ? vorn_usb_read_ascii_by_key(kMeterKey, buffer, length, bytesRead)
                 : vorn_usb_get_ascii_by_DeviceID(kMeterID, buffer, length, bytesRead);
}

int ReadBinary(bool byKey, char *buffer, unsigned length, unsigned *bytesRead)
{
    return byKey ? vorn_usb_read_by_key(kMeterKey, buffer, length, bytesRead)
                 : vorn_usb_get_ascii(kMeterID, buffer, length, bytesRead);
}

TEST_F(TransferTest, AsciiReadsCutTheReplyAtItsLastLineEndAndBinaryReadsKeepEveryByte)
{
    const struct {
        std::string command, reply, text;
    } cases[] = {
        {"V1?", "1.234\r\n", "1.234"}, {"V2?", "1.234\r", "1.234"}, {"V3?", "1.234\n", "1.234"},
        {"V4?", "A\nB", "A"},          {"V5?", "x\r\r", "x"},       {"V6?", "\r\n", ""},
        {"V7?", "a\r\nb\r\nc", "a\r\nb"}, {"V8?", std::string("\x02\x00\xff\r\n", 5), std::string("\x02\x00\xff", 3)},
    };
    std::vector<std::pair<std::string, std::string>> replies;
    for (const auto &c : cases)
        replies.emplace_back(c.command, c.reply);
    PlugMeter(replies);

    for (const auto &c : cases)
        for (bool byKey : {false, true})
            for (bool ascii : {true, false}) {
                SCOPED_TRACE(c.command + (byKey ? " by key" : " by ID") + (ascii ? " ASCII" : " binary"));
                std::string command = c.command;
                ASSERT_EQ(WriteAscii(byKey, command.data(), 0), 0);
                char buffer[64];
                std::memset(buffer, '#', sizeof buffer);
                unsigned bytesRead = 1234;
                ASSERT_EQ((ascii ? ReadAscii : ReadBinary)(byKey, buffer, sizeof buffer, &bytesRead), 0);
                // ASCII adds a NUL after the text, binary adds nothing.
                const std::string expected = ascii ? c.text + '\0' : c.reply + '#';
                EXPECT_EQ(bytesRead, expected.size() - 1);
                EXPECT_EQ(std::string(buffer, expected.size()), expected);
            }
}

TEST_F(TransferTest, AsciiReplyWithoutLineEndIsWholeWhenItFitsAndFailsWhenItFillsTheBuffer)
{
    PlugMeter({{"NOEND?", "12345"}, {"PING?", "PONG\r\n"}});
    for (bool byKey : {false, true}) {
        std::string command = "NOEND?";
        char buffer[16];
        std::memset(buffer, '#', sizeof buffer);
        unsigned bytesRead = 1234;
        ASSERT_EQ(WriteAscii(byKey, command.data(), 0), 0);
        EXPECT_EQ(ReadAscii(byKey, buffer, 6, &bytesRead), 0);
        EXPECT_EQ(std::string(buffer, 7), std::string("12345\0#", 7));
        EXPECT_EQ(bytesRead, 5u);

        // No room for a NUL after it: the read fails, says why, and writes nothing past the length.
        ASSERT_EQ(WriteAscii(byKey, command.data(), 0), 0);
        std::memset(buffer, '#', sizeof buffer);
        EXPECT_EQ(ReadAscii(byKey, buffer, 5, &bytesRead), -1);
        EXPECT_EQ(bytesRead, 0u);
        EXPECT_EQ(std::string(buffer + 5, sizeof buffer - 5), std::string(sizeof buffer - 5, '#'));
        EXPECT_EQ(LogTexts(documents).back(), "USB::Read: Reply of 5 bytes has no line end and fills the buffer.");
    }
    EXPECT_EQ(Ask(kMeterID, "PING?"), "PONG") << "nothing of the failed reply is left over";
}

TEST_F(TransferTest, AsciiWritesEndInOneCarriageReturnAndBinaryWritesSendExactlyLengthBytes)
{
    const int slot = PlugMeter({});
    const struct {
        std::string text;
        unsigned length;
        std::string sent;
    } cases[] = {{"*IDN?", 5, "*IDN?\r"}, {"*IDN?\r", 6, "*IDN?\r"}, {"*IDN?", 1000, "*IDN?\r"}, {"", 64, "\r"},
                 {"LINE\n", 5, "LINE\n\r"}};
    for (const auto &c : cases)
        for (bool byKey : {false, true}) {
            // Exactly the text and its NUL: a write that used `length` would read past it.
            std::vector<char> text(c.text.c_str(), c.text.c_str() + c.text.size() + 1);
            const size_t before = Received(slot).size();
            ASSERT_EQ(WriteAscii(byKey, text.data(), c.length), 0);
            EXPECT_EQ(Received(slot).substr(before), c.sent) << c.length << (byKey ? " by key" : " by ID");
        }
    std::string block("\x00\x01\x00\r\xff\x00" "ABC", 9);
    for (bool byKey : {false, true})
        for (unsigned length : {6u, 2u}) {
            const size_t before = Received(slot).size();
            ASSERT_EQ(byKey ? vorn_usb_write_binary_by_key(kMeterKey, block.data(), length)
                            : vorn_usb_send_binary(kMeterID, block.data(), length), 0);
            EXPECT_EQ(Received(slot).substr(before), block.substr(0, length)) << length << (byKey ? " by key" : " by ID");
        }
    EXPECT_EQ(CountLog(documents, "USB::", true), 0) << "data lines only with logging on";
}

TEST_F(TransferTest, UnknownKeyOrDeviceIdTouchesNoInstrumentAndLogsOneLineNamingIt)
{
    const int slot = PlugMeter({{"PING?", "PONG\r\n"}});
    std::string ping = "PING?";
    ASSERT_EQ(vorn_usb_send_ascii(kMeterID, ping.data(), 0), 0); // a reply now waits to be read
    const std::string received = Received(slot);

    char data[64] = "DATA";
    unsigned bytesRead = 0;
    std::vector<std::pair<std::string, std::function<int()>>> calls = {
        {"USB::Write: No device with ID 77.", [&] { return vorn_usb_send_ascii(77, data, 4); }},
        {"USB::Write: No device with ID 77.", [&] { return vorn_usb_send_binary(77, data, 4); }},
        {"USB::Read: No device with ID 77.", [&] { return vorn_usb_get_ascii(77, data, sizeof data, &bytesRead); }},
        {"USB::Read: No device with ID 77.",
         [&] { return vorn_usb_get_ascii_by_DeviceID(77, data, sizeof data, &bytesRead); }},
    };
    // Keys match exactly: no trimming, no case folding.
    for (const char *key : {"2936-R SN12345 ", "2936-r sn12345"}) {
        const std::string named = std::string(" No device with key '") + key + "'.";
        calls.emplace_back("USB::Write:" + named, [&data, key] { return vorn_usb_write_by_key(key, data, 4); });
        calls.emplace_back("USB::Write:" + named, [&data, key] { return vorn_usb_write_binary_by_key(key, data, 4); });
        calls.emplace_back("USB::Read:" + named, [&, key] { return vorn_usb_read_by_key(key, data, 64, &bytesRead); });
        calls.emplace_back("USB::Read:" + named,
                           [&, key] { return vorn_usb_read_ascii_by_key(key, data, 64, &bytesRead); });
    }
    for (const auto &[line, call] : calls) {
        const size_t logged = LogTexts(documents).size();
        EXPECT_EQ(call(), -1) << line;
        EXPECT_EQ(LogTexts(documents).size(), logged + 1) << line;
        EXPECT_EQ(LogTexts(documents).back(), line);
    }
    EXPECT_EQ(Received(slot), received);
    ASSERT_EQ(vorn_usb_read_ascii_by_key(kMeterKey, data, sizeof data, &bytesRead), 0);
    EXPECT_STREQ(data, "PONG") << "the waiting reply was not taken";
}

} // namespace
} // namespace ostrel::test
