// Bench instruments seen through WinUSB: replies, timing, echo, removal, notifications, threads.
#include "unit/sim_session.h"

#include "platform/bus/Bus.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

namespace ostrel::test {
namespace {

using Clock = std::chrono::steady_clock;
using InstrumentTest = BenchTest;

TEST_F(InstrumentTest, RepliesMatchWholeWritesLessOneLineEndAndSplitReadsKeepTheRest)
{
    int slot = Plug(R"({"vid": 6699, "pid": 1, "replies": {
        "*IDN?": "VORN 2936-R 1.0.3 01/02/24 SN12345\r\n",
        "RAW?": "\u0000\u0080\u00ff\r\n",
        "TWO\r": "cr kept\n"}})");
    Session session(PresentPaths().at(0));
    ASSERT_TRUE(session.SetTimeout(0x81, 50));
    std::string reply;
    for (const char *command : {"*IDN?\r", "*IDN?\n", "*IDN?\r\n", "*IDN?"}) {
        ASSERT_EQ(session.Write(command), ERROR_SUCCESS);
        EXPECT_EQ(session.Read(reply), ERROR_SUCCESS) << command;
        EXPECT_EQ(reply, "VORN 2936-R 1.0.3 01/02/24 SN12345\r\n") << command;
    }
    ASSERT_EQ(session.Write("RAW?\r"), ERROR_SUCCESS);
    EXPECT_EQ(session.Read(reply), ERROR_SUCCESS);
    EXPECT_EQ(reply, std::string("\0\x80\xff\r\n", 5));
    // Only one line end is dropped, and a command is never matched in part.
    for (const char *command : {"TWO\r\r\n", "*IDN?\r\r", "*IDN? ", "*IDN?\r\nX"})
        ASSERT_EQ(session.Write(command), ERROR_SUCCESS);
    EXPECT_EQ(session.Read(reply), ERROR_SUCCESS);
    EXPECT_EQ(reply, "cr kept\n");
    EXPECT_EQ(session.Read(reply), ERROR_SEM_TIMEOUT);

    // Two replies pending: a short read takes from the first, and never joins them.
    ASSERT_EQ(session.Write("*IDN?\r"), ERROR_SUCCESS);
    ASSERT_EQ(session.Write("RAW?\r"), ERROR_SUCCESS);
    EXPECT_EQ(session.Read(reply, 5), ERROR_SUCCESS);
    EXPECT_EQ(reply, "VORN ");
    EXPECT_EQ(session.Read(reply, 64), ERROR_SUCCESS);
    EXPECT_EQ(reply, "2936-R 1.0.3 01/02/24 SN12345\r\n");
    EXPECT_EQ(session.Read(reply, 2), ERROR_SUCCESS);
    EXPECT_EQ(reply, std::string("\0\x80", 2));
    EXPECT_EQ(session.Read(reply, 64), ERROR_SUCCESS);
    EXPECT_EQ(reply, "\xff\r\n");

    char received[256];
    int count = ostrel_sim_received(slot, received, sizeof received);
    ASSERT_GT(count, 6);
    EXPECT_EQ(std::string(received, 6), "*IDN?\r");
    EXPECT_EQ(ostrel_sim_received(slot, received, 3), 3);
    EXPECT_EQ(ostrel_sim_received(slot, nullptr, 0), 0);
    EXPECT_EQ(ostrel_sim_received(slot + 1, received, sizeof received), -1);
}

TEST_F(InstrumentTest, UnknownCommandTimesOutAfterThePipePolicyAndDelayedRepliesWait)
{
    Plug(R"({"vid": 6699, "pid": 1, "serial": "FAST", "replies": {"A?": "a\n"}})");
    Plug(R"({"vid": 6699, "pid": 2, "serial": "SLOW", "reply_delay_ms": 150, "replies": {"A?": "a\n"}})");
    std::vector<std::string> paths = PresentPaths();
    Session fast(paths.at(0));
    ASSERT_TRUE(fast.SetTimeout(0x81, 50));
    ASSERT_EQ(fast.Write("B?\r"), ERROR_SUCCESS);
    std::string reply;
    Clock::time_point start = Clock::now();
    EXPECT_EQ(fast.Read(reply), ERROR_SEM_TIMEOUT);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(50));
    EXPECT_EQ(reply, "");

    // A reply not yet due times out like no reply, and is still there afterwards.
    Session slow(paths.at(1));
    ASSERT_TRUE(slow.SetTimeout(0x81, 20));
    ASSERT_EQ(slow.Write("A?\r"), ERROR_SUCCESS);
    start = Clock::now();
    EXPECT_EQ(slow.Read(reply), ERROR_SEM_TIMEOUT);
    ASSERT_TRUE(slow.SetTimeout(0x81, 0));
    EXPECT_EQ(slow.Read(reply), ERROR_SUCCESS);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(150));
    EXPECT_EQ(reply, "a\n");
}

TEST_F(InstrumentTest, EchoReturnsUnknownWritesVerbatim)
{
    Plug(R"({"vid": 6699, "pid": 1, "echo": true, "replies": {"*IDN?": "VORN X 1 2 3\r\n"}})");
    Session echo(PresentPaths().at(0));
    ASSERT_TRUE(echo.SetTimeout(0x81, 50));
    const std::string binary("\x01\0\xfe\xff\r\n", 6);
    ASSERT_EQ(echo.Write(binary), ERROR_SUCCESS);
    std::string reply;
    EXPECT_EQ(echo.Read(reply), ERROR_SUCCESS);
    EXPECT_EQ(reply, binary);
    ASSERT_EQ(echo.Write("*IDN?\r"), ERROR_SUCCESS);
    EXPECT_EQ(echo.Read(reply), ERROR_SUCCESS);
    EXPECT_EQ(reply, "VORN X 1 2 3\r\n");
}

TEST_F(InstrumentTest, UnplugWakesABlockedReadAtOnce)
{
    int slot = Plug(R"({"vid": 6699, "pid": 1})");
    Session session(PresentPaths().at(0));
    // No time-out: only the removal can end this read.
    DWORD result = ERROR_SUCCESS;
    std::thread reader([&] {
        std::string reply;
        result = session.Read(reply);
    });
    ASSERT_EQ(ostrel_sim_unplug(slot), 0);
    reader.join();
    EXPECT_EQ(result, ERROR_BAD_COMMAND);
    EXPECT_EQ(session.Write("A?"), ERROR_BAD_COMMAND);
    uint8_t descriptor[18];
    ULONG length = 99;
    EXPECT_FALSE(WinUsb_GetDescriptor(session.usb, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, descriptor, 18, &length));
    EXPECT_EQ(GetLastError(), ERROR_BAD_COMMAND);
    EXPECT_EQ(ostrel_sim_unplug(slot), -1);
    EXPECT_EQ(ostrel_sim_open_handles(), 2);
}

struct Notification {
    std::string path;
    bool arrived;
    size_t presentAtCall;
};
std::mutex notificationsMutex;
std::vector<Notification> notifications;

void RecordNotification(const GUID &interfaceClass, const std::string &path, bool arrived)
{
    EXPECT_EQ(std::memcmp(&interfaceClass, &kInstrumentClass, sizeof(GUID)), 0);
    // Calling back into the bench from the listener must not deadlock, and
    // the change is already visible.
    size_t present = PresentPaths().size();
    std::lock_guard<std::mutex> lock(notificationsMutex);
    notifications.push_back({path, arrived, present});
}

TEST_F(InstrumentTest, PlugAndUnplugNotifyAfterTheChangeIsVisible)
{
    {
        std::lock_guard<std::mutex> lock(notificationsMutex);
        notifications.clear();
    }
    bus::SetHotplugListener(RecordNotification);
    int a = Plug(R"({"vid": 6699, "pid": 1, "serial": "A"})");
    Plug(R"({"vid": 6699, "pid": 1, "serial": "B"})");
    ASSERT_EQ(ostrel_sim_unplug(a), 0);
    Plug(R"({"vid": 6699, "pid": 1, "serial": "C"})");
    ostrel_sim_reset();
    bus::SetHotplugListener(nullptr);
    Plug(R"({"vid": 6699, "pid": 1, "serial": "D"})");

    std::lock_guard<std::mutex> lock(notificationsMutex);
    std::vector<std::string> seen;
    for (const Notification &n : notifications)
        seen.push_back(std::string(n.arrived ? "+" : "-") + n.path.substr(26, 1) + std::to_string(n.presentAtCall));
    EXPECT_EQ(seen, (std::vector<std::string>{"+A1", "+B2", "-A1", "+C2", "-B0", "-C0"}));
}

TEST_F(InstrumentTest, TransfersRunWhileOtherInstrumentsComeAndGo)
{
    Plug(R"({"vid": 6699, "pid": 1, "serial": "STEADY", "replies": {"MEAS:VOLT?": "1.234\r\n"}})");
    const std::string steadyPath = PresentPaths().at(0);
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < 3; ++t)
        workers.emplace_back([&] {
            Session session(steadyPath);
            session.SetTimeout(0x81, 1000);
            std::string reply;
            for (int i = 0; i < 200 && !stop; ++i)
                if (session.Write("MEAS:VOLT?\r") != ERROR_SUCCESS || session.Read(reply) != ERROR_SUCCESS ||
                    reply != "1.234\r\n")
                    ++failures;
        });
    // Readers on the instrument that keeps leaving: each read ends one way or the other.
    workers.emplace_back([&] {
        while (!stop) {
            std::vector<std::string> paths = PresentPaths();
            for (const std::string &path : paths) {
                if (path == steadyPath)
                    continue;
                HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0,
                                          nullptr);
                if (file == INVALID_HANDLE_VALUE)
                    continue; // unplugged since the listing
                WINUSB_INTERFACE_HANDLE usb = nullptr;
                if (WinUsb_Initialize(file, &usb)) {
                    uint8_t byte;
                    ULONG count = 0;
                    BOOL ok = WinUsb_ReadPipe(usb, 0x81, &byte, 1, &count, nullptr);
                    if (ok || GetLastError() != ERROR_BAD_COMMAND)
                        ++failures;
                    WinUsb_Free(usb);
                }
                CloseHandle(file);
            }
        }
    });
    for (int i = 0; i < 100; ++i) {
        int slot = Plug(R"({"vid": 6699, "pid": 2, "serial": "COMING"})");
        std::this_thread::yield();
        EXPECT_EQ(ostrel_sim_unplug(slot), 0);
    }
    for (size_t t = 0; t < 3; ++t)
        workers[t].join();
    stop = true;
    workers.back().join();
    EXPECT_EQ(failures.load(), 0);
}

} // namespace
} // namespace ostrel::test
