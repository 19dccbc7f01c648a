// Data transfer through the eight transfer exports: ASCII cuts and line ends,
// binary bytes unchanged, unknown instruments untouched, time-outs, log lines.
#include "api/api_session.h"

#include <cstring>
#include <functional>

namespace ostrel::test {
namespace {

using TransferTest = ApiTest;

constexpr int kMeterID = 5;
const char *const kMeterKey = "2936-R SN12345";

// One instrument at address 5 with key "2936-R SN12345", found by static
// discovery; returns its bench slot.
int PlugMeter(std::vector<std::pair<std::string, std::string>> replies)
{
    int slot = Plug({.pid = 0x2936,
                     .serial = "SN12345",
                     .idn = Idn("2936-R", "SN12345"),
                     .address = "5\r\n",
                     .replies = std::move(replies)});
    EXPECT_EQ(vorn_usb_init_system(), 0);
    EXPECT_EQ(vorn_usb_GetDeviceCount(), 1);
    return slot;
}

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

const char *Way(bool byKey)
{
    return byKey ? "by key" : "by ID";
}

TEST_F(TransferTest, AsciiReadsCutTheReplyAtItsLastLineEnd)
{
    const struct {
        std::string command, reply, text;
    } cases[] = {
        {"V1?", "1.234\r\n", "1.234"}, {"V2?", "1.234\r", "1.234"}, {"V3?", "1.234\n", "1.234"},
        {"V4?", "A\nB", "A"},          {"V5?", "x\r\r", "x"},       {"V6?", "OK\r\n", "OK"},
        {"V7?", "\r\n", ""},           {"V8?", "val\r\nrest", "val"}, {"V9?", "a\r\nb\r\nc", "a\r\nb"},
    };
    std::vector<std::pair<std::string, std::string>> replies;
    for (const auto &c : cases)
        replies.emplace_back(c.command, c.reply);
    PlugMeter(replies);

    for (const auto &c : cases)
        for (bool byKey : {false, true}) {
            std::string command = c.command;
            ASSERT_EQ(WriteAscii(byKey, command.data(), 0), 0);
            char buffer[64];
            std::memset(buffer, '#', sizeof buffer);
            unsigned bytesRead = 1234;
            ASSERT_EQ(ReadAscii(byKey, buffer, sizeof buffer, &bytesRead), 0) << c.command << " " << Way(byKey);
            EXPECT_EQ(bytesRead, c.text.size()) << c.command << " " << Way(byKey);
            EXPECT_EQ(std::string(buffer, c.text.size() + 1), c.text + '\0') << c.command << " " << Way(byKey);
        }
}

TEST_F(TransferTest, AsciiReplyWithoutLineEndIsWholeWhenItFitsAndFailsWhenItFillsTheBuffer)
{
    PlugMeter({{"NOEND?", "12345"}, {"PING?", "PONG\r\n"}});
    for (bool byKey : {false, true}) {
        std::string command = "NOEND?";
        char buffer[16];

        // Room for the text and its NUL: the whole reply is the text.
        ASSERT_EQ(WriteAscii(byKey, command.data(), 0), 0);
        std::memset(buffer, '#', sizeof buffer);
        unsigned bytesRead = 1234;
        EXPECT_EQ(ReadAscii(byKey, buffer, 6, &bytesRead), 0) << Way(byKey);
        EXPECT_EQ(bytesRead, 5u);
        EXPECT_EQ(std::string(buffer, 7), std::string("12345\0#", 7));

        // The reply fills the buffer: no NUL could follow it, so the read fails,
        // says why, and writes nothing past the caller's length.
        ASSERT_EQ(WriteAscii(byKey, command.data(), 0), 0);
        std::memset(buffer, '#', sizeof buffer);
        bytesRead = 1234;
        MarkLog();
        EXPECT_EQ(ReadAscii(byKey, buffer, 5, &bytesRead), -1) << Way(byKey);
        EXPECT_EQ(bytesRead, 0u);
        EXPECT_EQ(std::string(buffer + 5, sizeof buffer - 5), std::string(sizeof buffer - 5, '#'));
        EXPECT_FALSE(NewLog().empty()) << "the failed read logs why";
    }
    // Nothing of the failed reply is left to spoil the next one.
    EXPECT_EQ(Ask(kMeterID, "PING?"), "PONG");
}

TEST_F(TransferTest, BinaryReadsHandBackTheBytesUnchanged)
{
    const std::string raw("\x02\x00\xff\x10\x80\r\n", 7);
    PlugMeter({{"RAW?", raw}, {"OK?", "OK\r\n"}});
    for (bool byKey : {false, true})
        for (const std::string &expected : {raw, std::string("OK\r\n")}) {
            std::string command = expected == raw ? "RAW?" : "OK?";
            ASSERT_EQ(WriteAscii(byKey, command.data(), 0), 0);
            char buffer[64];
            std::memset(buffer, '#', sizeof buffer);
            unsigned bytesRead = 1234;
            ASSERT_EQ(ReadBinary(byKey, buffer, sizeof buffer, &bytesRead), 0) << command << " " << Way(byKey);
            // The line end is counted and kept, and no NUL is added.
            EXPECT_EQ(bytesRead, expected.size()) << command << " " << Way(byKey);
            EXPECT_EQ(std::string(buffer, expected.size() + 1), expected + '#') << command << " " << Way(byKey);
        }
}

TEST_F(TransferTest, AsciiWritesEndInExactlyOneCarriageReturnWhateverTheLength)
{
    int slot = PlugMeter({});
    const struct {
        std::string text;
        unsigned length;
        std::string sent;
    } cases[] = {
        {"*IDN?", 5, "*IDN?\r"}, {"*IDN?\r", 6, "*IDN?\r"}, {"*IDN?", 0, "*IDN?\r"}, {"*IDN?", 1000, "*IDN?\r"},
        {"", 0, "\r"},           {"", 64, "\r"},            {"LINE\n", 5, "LINE\n\r"},
    };
    for (const auto &c : cases)
        for (bool byKey : {false, true}) {
            // Exactly the text and its NUL: a write that used `length` would read past it.
            std::vector<char> text(c.text.begin(), c.text.end());
            text.push_back('\0');
            const size_t before = Received(slot).size();
            ASSERT_EQ(WriteAscii(byKey, text.data(), c.length), 0) << JsonBytes(c.text) << " " << Way(byKey);
            EXPECT_EQ(Received(slot).substr(before), c.sent) << JsonBytes(c.text) << " " << Way(byKey);
        }
}

TEST_F(TransferTest, BinaryWritesSendExactlyLengthBytesNulsIncluded)
{
    int slot = PlugMeter({});
    for (bool byKey : {false, true}) {
        const std::string block("\x00\x01\x00\r\xff\x00", 6);
        std::string data = block + "ABC";
        for (unsigned length : {6u, 2u}) {
            const size_t before = Received(slot).size();
            ASSERT_EQ(byKey ? vorn_usb_write_binary_by_key(kMeterKey, data.data(), length)
                            : vorn_usb_send_binary(kMeterID, data.data(), length),
                      0);
            EXPECT_EQ(JsonBytes(Received(slot).substr(before)), JsonBytes(block.substr(0, length))) << Way(byKey);
        }
    }
}

TEST_F(TransferTest, UnknownKeyOrDeviceIdTouchesNoInstrumentAndNamesItInTheLog)
{
    int slot = PlugMeter({{"PING?", "PONG\r\n"}});
    std::string ping = "PING?";
    ASSERT_EQ(vorn_usb_send_ascii(kMeterID, ping.data(), 0), 0); // a reply now waits to be read
    const std::string received = Received(slot);

    char data[64] = "DATA";
    unsigned bytesRead = 0;
    const char *unknownKeys[] = {"2936-R SN99999", "2936-R SN12345 ", "2936-r sn12345"};
    std::vector<std::pair<std::string, std::function<int()>>> calls = {
        {"77", [&] { return vorn_usb_send_ascii(77, data, 4); }},
        {"77", [&] { return vorn_usb_send_binary(77, data, 4); }},
        {"77", [&] { return vorn_usb_get_ascii(77, data, sizeof data, &bytesRead); }},
        {"77", [&] { return vorn_usb_get_ascii_by_DeviceID(77, data, sizeof data, &bytesRead); }},
    };
    for (const char *key : unknownKeys) {
        const std::string named = std::string("'") + key + "'";
        calls.emplace_back(named, [&data, key] { return vorn_usb_write_by_key(key, data, 4); });
        calls.emplace_back(named, [&data, key] { return vorn_usb_write_binary_by_key(key, data, 4); });
        calls.emplace_back(named, [&, key] { return vorn_usb_read_by_key(key, data, sizeof data, &bytesRead); });
        calls.emplace_back(named,
                           [&, key] { return vorn_usb_read_ascii_by_key(key, data, sizeof data, &bytesRead); });
    }
    for (size_t i = 0; i < calls.size(); ++i) {
        MarkLog();
        EXPECT_EQ(calls[i].second(), -1) << "call " << i;
        std::vector<std::string> lines = NewLog();
        ASSERT_EQ(lines.size(), 1u) << "call " << i;
        EXPECT_NE(lines[0].find(calls[i].first), std::string::npos) << lines[0];
    }

    // Nothing was written to the instrument, and its waiting reply was not taken.
    EXPECT_EQ(Received(slot), received);
    char reply[64];
    ASSERT_EQ(vorn_usb_read_ascii_by_key(kMeterKey, reply, sizeof reply, &bytesRead), 0);
    EXPECT_STREQ(reply, "PONG");
    EXPECT_EQ(ostrel_sim_open_handles(), 2);
}

TEST_F(TransferTest, ReadOfNothingTimesOutAndTheInstrumentStaysUsable)
{
    PlugMeter({{"PING?", "PONG\r\n"}});
    std::string unknown = "NOSUCH?";
    // An unknown command is written fine; it just gets no reply.
    ASSERT_EQ(vorn_usb_send_ascii(kMeterID, unknown.data(), 0), 0);
    for (bool byKey : {false, true}) {
        char buffer[64];
        unsigned bytesRead = 1234;
        MarkLog();
        EXPECT_EQ(byKey ? ReadBinary(true, buffer, sizeof buffer, &bytesRead)
                        : ReadAscii(false, buffer, sizeof buffer, &bytesRead),
                  -1);
        EXPECT_EQ(bytesRead, 0u);
        EXPECT_EQ(NewLogCount("ReadPipe: Could not perform a read pipe operation."), 1);
        EXPECT_EQ(NewLogCount("GetLastError = The semaphore timeout period has expired."), 1);
    }
    EXPECT_EQ(Ask(kMeterID, "PING?"), "PONG");
    EXPECT_EQ(vorn_usb_GetDeviceCount(), 1);
}

TEST_F(TransferTest, DataLinesAndHexDumpsAreWrittenOnlyWithLoggingOn)
{
    PlugMeter({{"MEAS?", "1.234\r\n"}, {"RAW?", std::string("\x02\x00\xff\r\n", 5)}});
    auto traffic = [] {
        EXPECT_EQ(Ask(kMeterID, "MEAS?"), "1.234");
        std::string block("\x0a\xff\x00", 3);
        EXPECT_EQ(vorn_usb_write_binary_by_key(kMeterKey, block.data(), 3), 0);
        std::string raw = "RAW?";
        EXPECT_EQ(vorn_usb_send_ascii(kMeterID, raw.data(), 4), 0);
        char buffer[64];
        unsigned bytesRead = 0;
        EXPECT_EQ(vorn_usb_read_by_key(kMeterKey, buffer, sizeof buffer, &bytesRead), 0);
        EXPECT_EQ(bytesRead, 5u);
    };
    auto transferLines = [this] {
        std::vector<std::string> lines;
        for (const std::string &text : NewLog())
            if (text.compare(0, 5, "USB::") == 0)
                lines.push_back(text);
        return lines;
    };

    traffic();
    EXPECT_EQ(transferLines(), std::vector<std::string>{});

    vorn_usb_SetLogging(true);
    MarkLog();
    traffic();
    EXPECT_EQ(transferLines(), (std::vector<std::string>{
                                   "USB::Write ASCII Len = 5, data = 'MEAS?'",
                                   "USB::Read ASCII Len = 5, Data = '1.234'",
                                   "USB::Write Binary ByteLen = 3, Data = 0A FF 00",
                                   "USB::Write ASCII Len = 4, data = 'RAW?'",
                                   "USB::Read Binary BytesRead = 5, Data = 02 00 FF 0D 0A",
                               }));
}

TEST_F(TransferTest, TransfersByASharedIdGoToTheInstrumentWithTheSmallerKey)
{
    int b = Plug({.serial = "SB", .idn = Idn("B", "2"), .address = "4\r\n", .replies = {{"WHO?", "B\r\n"}}});
    int a = Plug({.serial = "SA", .idn = Idn("A", "1"), .address = "4\r\n", .replies = {{"WHO?", "A\r\n"}}});
    ASSERT_EQ(vorn_usb_init_system(), 1);
    const std::string before = Received(b);
    EXPECT_EQ(Ask(4, "WHO?"), "A");
    EXPECT_EQ(Received(b), before);
    EXPECT_NE(Received(a).find("WHO?\r"), std::string::npos);
}

TEST_F(TransferTest, UnpluggedInstrumentFailsAtOnceUntilARescanDropsIt)
{
    int meter = PlugMeter({{"PING?", "PONG\r\n"}});
    Plug({.serial = "SN30502", .idn = Idn("2955-L", "SN30502"), .address = "12\r\n", .replies = {{"PING?", "PONG\r\n"}}});
    ASSERT_EQ(vorn_usb_init_system(), 0);
    ASSERT_EQ(vorn_usb_GetDeviceCount(), 2);

    ASSERT_EQ(ostrel_sim_unplug(meter), 0);
    std::string ping = "PING?";
    EXPECT_EQ(vorn_usb_send_ascii(kMeterID, ping.data(), 0), -1);
    char buffer[64];
    unsigned bytesRead = 1234;
    EXPECT_EQ(vorn_usb_get_ascii_by_DeviceID(kMeterID, buffer, sizeof buffer, &bytesRead), -1);
    EXPECT_EQ(bytesRead, 0u);
    EXPECT_EQ(Ask(12, "PING?"), "PONG") << "the other instrument is not held up";

    // The next static discovery drops the instrument and closes its handles.
    ASSERT_EQ(vorn_usb_init_system(), 0);
    EXPECT_EQ(vorn_usb_GetDeviceCount(), 1);
    EXPECT_EQ(ostrel_sim_open_handles(), 2);
    MarkLog();
    EXPECT_EQ(vorn_usb_send_ascii(kMeterID, ping.data(), 0), -1);
    ASSERT_EQ(NewLog().size(), 1u);
    EXPECT_NE(NewLog()[0].find("5"), std::string::npos);
}

} // namespace
} // namespace ostrel::test
