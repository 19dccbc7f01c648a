// Bench instruments seen through WinUSB: replies, timing, echo, removal and notifications.
// (Transfers beside instruments that come and go are loaded in tests/api/stress_test.cpp.)
#include "unit/sim_session.h"

#include "platform/bus/Bus.h"

#include <cstring>
#include <thread>

namespace ostrel::test {
namespace {

using InstrumentTest = BenchTest;

TEST_F(InstrumentTest, RepliesMatchWholeWritesLessOneLineEndAndSplitReadsKeepTheRest)
{
    const std::string idn = "VORN 2936-R 1.0.3 01/02/24 SN12345\r\n";
    const int slot = Plug(R"({"vid": 6699, "pid": 1, "replies": {
        "*IDN?": "VORN 2936-R 1.0.3 01/02/24 SN12345\r\n", "RAW?": "\u0000\u0080\u00ff\r\n", "TWO\r": "cr kept\n"}})");
    Session session(PresentPaths().at(0));
    ASSERT_TRUE(session.SetTimeout(0x81, 50));
    for (const char *command : {"*IDN?\r", "*IDN?\n", "*IDN?\r\n", "*IDN?"}) {
        ASSERT_EQ(session.Write(command), ERROR_SUCCESS);
        EXPECT_EQ(session.Read(), idn) << command;
    }
    // Only one line end is dropped, and a command is never matched in part.
    for (const char *command : {"TWO\r\r\n", "*IDN?\r\r", "*IDN? ", "*IDN?\r\nX"})
        ASSERT_EQ(session.Write(command), ERROR_SUCCESS);
    EXPECT_EQ(session.Read(), "cr kept\n");
    EXPECT_EQ(session.Read(), Error(ERROR_SEM_TIMEOUT));

    // Two replies pending: a short read takes from the first, and never joins them.
    ASSERT_EQ(session.Write("*IDN?\r"), ERROR_SUCCESS);
    ASSERT_EQ(session.Write("RAW?\r"), ERROR_SUCCESS);
    EXPECT_EQ(session.Read(5), "VORN ");
    EXPECT_EQ(session.Read(), idn.substr(5));
    EXPECT_EQ(session.Read(2), std::string("\0\x80", 2));
    EXPECT_EQ(session.Read(), "\xff\r\n");

    char received[8];
    EXPECT_EQ(ostrel_sim_received(slot, received, 7), 7); // the first bytes written, as many as fit
    EXPECT_EQ(std::string(received, 7), "*IDN?\r*");
    EXPECT_EQ(ostrel_sim_received(slot, nullptr, 4), -1);
    ASSERT_EQ(ostrel_sim_unplug(slot), 0);
    EXPECT_EQ(ostrel_sim_received(slot, received, 7), -1); // gone with its instrument
}

TEST_F(InstrumentTest, UnknownWritesTimeOutOrComeBackWithEchoAndAReplyWaitsUntilDue)
{
    Plug(R"({"vid": 6699, "pid": 1, "serial": "SLOW", "reply_delay_ms": 500, "replies": {"A?": "a\n"}})");
    Plug(R"({"vid": 6699, "pid": 2, "echo": true, "replies": {"*IDN?": "VORN X 1 2 3\r\n"}})");
    Session slow(PresentPaths().at(0)), echo(PresentPaths().at(1));
    ASSERT_TRUE(slow.SetTimeout(0x81, 20));
    ASSERT_TRUE(echo.SetTimeout(0x81, 50));
    const std::string binary("\x01\0\xfe\xff\r\n", 6);
    for (Session *session : {&slow, &echo})
        ASSERT_EQ(session->Write(binary), ERROR_SUCCESS);
    EXPECT_EQ(slow.Read(), Error(ERROR_SEM_TIMEOUT));
    EXPECT_EQ(echo.Read(), binary);
    ASSERT_EQ(echo.Write("*IDN?\r"), ERROR_SUCCESS);
    EXPECT_EQ(echo.Read(), "VORN X 1 2 3\r\n");

    // A reply not yet due times out like none, and is still there afterwards.
    ASSERT_EQ(slow.Write("A?\r"), ERROR_SUCCESS);
    EXPECT_EQ(slow.Read(), Error(ERROR_SEM_TIMEOUT));
    ASSERT_TRUE(slow.SetTimeout(0x81, 0)); // no limit
    EXPECT_EQ(slow.Read(), "a\n");
}

TEST_F(InstrumentTest, AListOfRepliesIsGivenInTurnWithItsOwnDelaysThenItsLastRepeatsAndAnEmptyOneSaysNothing)
{
    Plug(R"({"vid": 6699, "pid": 1, "replies": {"M?": ["1\n", {"reply": "2\n", "delay_ms": 300}, "3\n"],
             "SET 1": "", "ONE?": ["only\n"]}})");
    Session session(PresentPaths().at(0));
    ASSERT_TRUE(session.SetTimeout(0x81, 50));
    std::string heard;
    for (const char *command : {"M?", "SET 1", "ONE?", "ONE?", "SYST:ERR?", "M?"}) {
        ASSERT_EQ(session.Write(command), ERROR_SUCCESS);
        if (std::strcmp(command, "SET 1") != 0)
            heard += session.Read() + "|";
    }
    EXPECT_EQ(heard, "1\n|only\n|only\n|0,\"No error\"\r\n|" + Error(ERROR_SEM_TIMEOUT) + "|");
    // The second turn's delay holds up the third; then the last repeats.
    ASSERT_TRUE(session.SetTimeout(0x81, 1000));
    for (const char *command : {"M?", "M?"})
        ASSERT_EQ(session.Write(command), ERROR_SUCCESS);
    for (const char *reply : {"2\n", "3\n", "3\n"})
        EXPECT_EQ(session.Read(), reply);
}

TEST_F(InstrumentTest, UnplugWakesABlockedReadAtOnceAndFailsEveryLaterCall)
{
    const int slot = Plug(R"({"vid": 6699, "pid": 1})");
    Session session(PresentPaths().at(0));
    std::string result;
    std::thread reader([&] { result = session.Read(); }); // no time-out: only the removal can end it
    ASSERT_EQ(ostrel_sim_unplug(slot), 0);
    reader.join();
    EXPECT_EQ(result, Error(ERROR_BAD_COMMAND));
    EXPECT_EQ(session.Write("A?"), ERROR_BAD_COMMAND);
    uint8_t descriptor[18];
    ULONG length = 99;
    EXPECT_FALSE(WinUsb_GetDescriptor(session.usb, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, descriptor, 18, &length));
    EXPECT_EQ(GetLastError(), ERROR_BAD_COMMAND);
    EXPECT_EQ(ostrel_sim_open_handles(), 2);
}

std::vector<std::string> notifications; // "+A1": A arrived, one instrument present when told

TEST_F(InstrumentTest, PlugAndUnplugNotifyAfterTheChangeIsVisible)
{
    bus::SetHotplugListener([](const GUID &interfaceClass, const std::string &path, bool arrived) {
        EXPECT_EQ(std::memcmp(&interfaceClass, &kInstrumentClass, sizeof(GUID)), 0);
        // Called on the thread that plugged, so the bench can be called back without a deadlock.
        notifications.push_back((arrived ? "+" : "-") + path.substr(26, 1) + std::to_string(PresentPaths().size()));
    });
    const int a = Plug(R"({"vid": 6699, "pid": 1, "serial": "A"})");
    Plug(R"({"vid": 6699, "pid": 1, "serial": "B"})");
    ASSERT_EQ(ostrel_sim_unplug(a), 0);
    Plug(R"({"vid": 6699, "pid": 1, "serial": "C"})");
    ostrel_sim_reset();
    bus::SetHotplugListener(nullptr);
    Plug(R"({"vid": 6699, "pid": 1, "serial": "D"})");
    EXPECT_EQ(notifications, (std::vector<std::string>{"+A1", "+B2", "-A1", "+C2", "-B0", "-C0"}));
}

} // namespace
} // namespace ostrel::test
