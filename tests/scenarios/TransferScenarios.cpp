// Transfers as a user makes them: ASCII and binary, by key and by device ID, a
// read that times out, an instrument unplugged under its handles.
#include "Scenario.h"
#include "ScenarioHost.h"

#include <chrono>

namespace {

using namespace ostrel::scenario;

const char kMeter[] = "2936-R SN12345";  // slot 0, ID 0: MEAS:VOLT? -> 1.234
const char kLogger[] = "2955-L SN30502"; // slot 2, ID 2: echoes, READ:RAW? -> binary
// Slot 1, ID 1, the 2940-T thermometer: MEAS:TEMP? -> 23.47, 20 ms late.

// Plugs the bench and discovers it with IDs 0, 1, 2; false if that failed.
bool DiscoverBench()
{
    if (!PlugBench())
        return false;
    int count = -1;
    return CHECK(vorn_usb_open_devices(0, false, &count) == 0 && count == 3, "the bench is discovered");
}

SCENARIO("transfers-ascii-and-binary", AsciiAndBinary)
{
    REQUIRE(DiscoverBench());
    vorn_usb_SetLogging(true);
    LogMark log;

    std::string command = "MEAS:VOLT?";
    CHECK_EQ(vorn_usb_write_by_key(kMeter, &command[0], 0), 0, "ASCII write by key");
    char reply[64];
    unsigned bytesRead = 0;
    CHECK_EQ(vorn_usb_read_ascii_by_key(kMeter, reply, sizeof reply, &bytesRead), 0, "ASCII read by key");
    CHECK_EQ(std::string(reply), std::string("1.234"), "the reply is cut at its line end");
    CHECK_EQ(bytesRead, 5u, "*bytesRead is the text's length");
    CHECK_EQ(Received(0), std::string("*IDN?\r*IDN?\rMEAS:VOLT?\r"), "the meter got the command with a carriage return added");

    command = "MEAS:TEMP?\r";
    CHECK_EQ(vorn_usb_send_ascii(1, &command[0], 0), 0, "ASCII write by ID");
    CHECK_EQ(vorn_usb_get_ascii_by_DeviceID(1, reply, sizeof reply, &bytesRead), 0, "ASCII read by ID");
    CHECK_EQ(std::string(reply), std::string("23.47"), "the thermometer's late reply arrives");
    CHECK_EQ(Received(1), std::string("*IDN?\r*IDN?\rMEAS:TEMP?\r"), "a command ending in CR gets no second one");

    std::string raw = "READ:RAW?\r";
    CHECK_EQ(vorn_usb_write_binary_by_key(kLogger, &raw[0], static_cast<unsigned>(raw.size())), 0,
             "binary write by key");
    char block[64];
    CHECK_EQ(vorn_usb_read_by_key(kLogger, block, sizeof block, &bytesRead), 0, "binary read by key");
    CHECK_EQ(std::string(block, bytesRead), std::string("\x02\x00\xff\x10\x80\r\n", 7),
             "the reply's bytes come back unchanged, NUL included");

    const std::string bytes("\x01\x00\xfe\r\x7f", 5);
    std::string sent = bytes;
    CHECK_EQ(vorn_usb_send_binary(2, &sent[0], static_cast<unsigned>(sent.size())), 0, "binary write by ID");
    CHECK_EQ(vorn_usb_get_ascii(2, block, sizeof block, &bytesRead), 0, "binary read by ID");
    CHECK_EQ(std::string(block, bytesRead), bytes, "the echoing instrument sends the block back as written");

    const std::vector<std::string> expected = {
        "USB::Write ASCII Len = 10, data = 'MEAS:VOLT?'",
        "USB::Read ASCII Len = 5, Data = '1.234'",
        "USB::Write ASCII Len = 11, data = 'MEAS:TEMP?\r'",
        "USB::Read ASCII Len = 5, Data = '23.47'",
        "USB::Write Binary ByteLen = 10, Data = 52 45 41 44 3A 52 41 57 3F 0D",
        "USB::Read Binary BytesRead = 7, Data = 02 00 FF 10 80 0D 0A",
        "USB::Write Binary ByteLen = 5, Data = 01 00 FE 0D 7F",
        "USB::Read Binary BytesRead = 5, Data = 01 00 FE 0D 7F",
    };
    std::vector<std::string> transfers;
    for (const std::string &text : log.NewTexts())
        if (text.compare(0, 5, "USB::") == 0)
            transfers.push_back(text);
    CHECK_EQ(transfers, expected, "each transfer leaves its data line in the log");
    UninitLeavesNothingOpen();
}

SCENARIO("transfers-timeout-and-removal", TimeoutAndRemoval)
{
    REQUIRE(DiscoverBench());
    std::string query = "NOSUCH?";
    CHECK_EQ(vorn_usb_write_by_key(kMeter, &query[0], 0), 0, "a command the meter does not know is written");
    LogMark log;
    char reply[64];
    unsigned bytesRead = 1234;
    const auto start = std::chrono::steady_clock::now();
    CHECK_EQ(vorn_usb_read_ascii_by_key(kMeter, reply, sizeof reply, &bytesRead), -1,
             "the read of its missing reply fails");
    const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    CHECK(waited >= 0.9 && waited < 2.5, "it fails after the pipe's one-second time-out, not a longer one");
    CHECK_EQ(bytesRead, 0u, "and reports 0 bytes");
    CHECK_EQ(log.NewTexts(), (std::vector<std::string>{"ReadPipe: Could not perform a read pipe operation.",
                                                       "GetLastError = " + host::ErrorText(121)}),
             "the log says the pipe's transfer timed out (ERROR_SEM_TIMEOUT)");
    query = "MEAS:VOLT?";
    CHECK(vorn_usb_write_by_key(kMeter, &query[0], 0) == 0 &&
              vorn_usb_read_ascii_by_key(kMeter, reply, sizeof reply, &bytesRead) == 0 && std::string(reply) == "1.234",
          "the meter answers the next command, not with a stale reply");

    REQUIRE(CHECK_EQ(ostrel_sim_unplug(1), 0, "the thermometer is unplugged under its handles"));
    query = "MEAS:TEMP?";
    CHECK_EQ(vorn_usb_send_ascii(1, &query[0], 0), -1, "a write to it fails");
    bytesRead = 1234;
    CHECK_EQ(vorn_usb_get_ascii_by_DeviceID(1, reply, sizeof reply, &bytesRead), -1, "and so does a read");
    CHECK_EQ(bytesRead, 0u, "with 0 bytes");
    int count = -1;
    CHECK(vorn_usb_open_devices(0, false, &count) == 0 && count == 2, "a new scan drops it");
    CHECK_EQ(ostrel_sim_open_handles(), 4, "and closes its handles");
    UninitLeavesNothingOpen();
}

} // namespace
