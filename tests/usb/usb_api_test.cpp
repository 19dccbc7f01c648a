// libostrel.so as a user sees it, on instruments emulated with umockdev.
#include "ostrel.h"
#include "support/EmulatedInstrument.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <mutex>
#include <pwd.h>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <unistd.h>

namespace ostrel::test {
namespace {

const char kKey[] = "2936-R SN12345";

InstrumentScript Instrument2936(unsigned devnum = 2, unsigned port = 1)
{
    InstrumentScript script;
    script.devnum = devnum;
    script.port = port;
    script.replies = {{"*IDN?", IdnReply("2936-R", "SN12345")}, {"ADDR?", "5\r\n"}, {"MEAS:VOLT?", "1.234\r\n"},
                      {"BIN?", std::string("\x00\xff\r\n\x7f", 5)}, {"LONG?", "0123456789ABCDEFGHIJ\r\n"}};
    return script;
}

// A fresh working folder each, where the log goes when the user has no Documents folder.
class UsbTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char folder[] = "/tmp/ostrel-usb-XXXXXX";
        ASSERT_EQ(chdir(mkdtemp(folder)), 0);
        testbed = std::make_unique<Testbed>();
        if (!testbed->Ready())
            GTEST_SKIP() << "run under umockdev-wrapper";
    }
    void TearDown() override { vorn_usb_uninit_system(); }

    std::unique_ptr<Testbed> testbed;
};

// This process's lines of the log, in the working folder or in Documents/Log, which others share.
std::string LogText()
{
    char name[32];
    const std::time_t now = std::time(nullptr);
    std::strftime(name, sizeof name, "/Log%Y-%m-%d_Native.txt", std::localtime(&now));
    const passwd *user = getpwuid(getuid());
    std::string text, self = ", " + std::to_string(getpid()) + ", ";
    for (const std::string &folder : {std::string("."), std::string(user ? user->pw_dir : "") + "/Documents/Log"}) {
        std::ifstream in(folder + name);
        for (std::string line; std::getline(in, line);)
            text += line.find(self) != std::string::npos ? line + "\n" : "";
    }
    return text;
}

// Whether this machine has a rules file that gives devices the instruments' class.
bool RulesInstalled()
{
    return std::system("grep -qisr 56AC4E2C-9D3B-4A6C-BF25-B3BD6E44FC00 /etc/udev/rules.d /run/udev/rules.d"
                       " /usr/local/lib/udev/rules.d /usr/lib/udev/rules.d /lib/udev/rules.d") == 0;
}

// Polls for what another thread does; the limit only bounds a hang.
template <class Condition> bool Eventually(Condition condition)
{
    for (int i = 0; i < 1000 && !condition(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return condition();
}

TEST_F(UsbTest, StaticDiscoveryTakesOnlyDevicesOfTheClass)
{
    // Answering like an instrument does not make one: the udev property does.
    InstrumentScript stranger = Instrument2936(3, 2);
    stranger.inClass = false;
    ASSERT_NE(testbed->Plug(stranger), nullptr);
    // A bench file meant for the bench's library changes nothing here, but is not passed over in silence.
    setenv("OSTREL_BENCH", "desk.json", 1);
    testing::internal::CaptureStderr();
    int found = -1;
    EXPECT_EQ(vorn_usb_open_devices(0, false, &found), 0);
    EXPECT_EQ(found, 0);
    unsetenv("OSTREL_BENCH");
    EXPECT_NE(testing::internal::GetCapturedStderr().find("OSTREL_BENCH names the bench file desk.json, but this "
                                                          "library talks to real instruments"),
              std::string::npos);
    // With a rules file that gives devices the class installed, the driver counts as there.
    EXPECT_NE(LogText().find(RulesInstalled() ? "GetDevInfoSet: Device not connected."
                                              : "GetDevInfoSet: Driver not installed."),
              std::string::npos) << LogText();

    auto instrument = testbed->Plug(Instrument2936());
    ASSERT_NE(instrument, nullptr);
    EXPECT_EQ(vorn_usb_init_system(), 0);
    char key[64] = "", *keys[] = {key};
    ASSERT_EQ(vorn_usb_GetDeviceCount(), 1);
    EXPECT_EQ(vorn_usb_GetDeviceKeys(keys), 1);
    EXPECT_STREQ(key, kKey);
    int ids[2] = {-1, -1}, models[2] = {-1, -1}, serials[2] = {-1, -1}, count = 0;
    ASSERT_EQ(GetInstrumentList(ids, models, serials, &count), 0);
    EXPECT_EQ((std::vector<int>{count, ids[0], models[0], serials[0], ids[1]}),
              (std::vector<int>{1, 5, 2936, 12345, -1}));

    vorn_usb_uninit_system();
    EXPECT_TRUE(Eventually([&] { return instrument->OpenFiles() == 0; })) << "closed on shutdown";
}

TEST_F(UsbTest, AsciiAndBinaryTransfersAndAReadTimeOut)
{
    auto instrument = testbed->Plug(Instrument2936());
    ASSERT_NE(instrument, nullptr);
    ASSERT_EQ(vorn_usb_init_system(), 0);
    char command[] = "MEAS:VOLT?", withCr[] = "MEAS:VOLT?\r", unknown[] = "BOGUS?", longer[] = "LONG?", reply[64] = {};
    unsigned bytesRead = 0;
    ASSERT_EQ(vorn_usb_send_ascii(5, command, 0), 0);
    ASSERT_EQ(vorn_usb_get_ascii_by_DeviceID(5, reply, sizeof reply, &bytesRead), 0);
    EXPECT_STREQ(reply, "1.234");
    ASSERT_EQ(vorn_usb_write_by_key(kKey, withCr, 0), 0);
    ASSERT_EQ(vorn_usb_read_ascii_by_key(kKey, reply, sizeof reply, &bytesRead), 0);
    EXPECT_STREQ(reply, "1.234");

    const std::string block("\0\rBIN?\r", 7), answer("\x00\xff\r\n\x7f", 5);
    std::string sent = block;
    ASSERT_EQ(vorn_usb_send_binary(5, &sent[0], 7), 0);
    EXPECT_EQ(instrument->Received(), "ADDR?\r*IDN?\r*IDN?\rMEAS:VOLT?\rMEAS:VOLT?\r" + block)
        << "ASCII commands end in one CR; binary ones go as they are, NUL included";
    ASSERT_EQ(vorn_usb_get_ascii(5, reply, sizeof reply, &bytesRead), 0);
    EXPECT_EQ(std::string(reply, bytesRead), answer) << "binary reads hand back every byte";
    ASSERT_EQ(vorn_usb_write_binary_by_key(kKey, &sent[2], 5), 0);
    ASSERT_EQ(vorn_usb_read_by_key(kKey, reply, sizeof reply, &bytesRead), 0);
    EXPECT_EQ(std::string(reply, bytesRead), answer);

    bytesRead = 99;
    ASSERT_EQ(vorn_usb_send_ascii(5, unknown, 0), 0);
    EXPECT_EQ(vorn_usb_get_ascii_by_DeviceID(5, reply, sizeof reply, &bytesRead), -1);
    EXPECT_EQ(bytesRead, 0u);
    EXPECT_NE(LogText().find("GetLastError = The semaphore timeout period has expired."), std::string::npos)
        << LogText();
    // Still answering; reads ask for whole packets, and what does not fit the caller's buffer comes next.
    ASSERT_EQ(vorn_usb_send_ascii(5, longer, 0), 0);
    ASSERT_EQ(vorn_usb_get_ascii(5, reply, 8, &bytesRead), 0);
    ASSERT_EQ(vorn_usb_get_ascii(5, reply + 8, sizeof reply - 8, &bytesRead), 0);
    EXPECT_EQ(std::string(reply, 8 + bytesRead), "0123456789ABCDEFGHIJ\r\n");
}

std::mutex eventsMutex;
std::string events; // "<ID>+" for each arrival, "<ID>-" for each removal

void OSTREL_CALL Record(int deviceID, int attached)
{
    std::lock_guard<std::mutex> lock(eventsMutex);
    events += std::to_string(deviceID) + (attached ? "+" : "-");
}

std::string Events()
{
    std::lock_guard<std::mutex> lock(eventsMutex);
    return events;
}

TEST_F(UsbTest, UnplugAndReplugInEventMode)
{
    auto first = testbed->Plug(Instrument2936());
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(vorn_usb_event_init(0, Record), 0);
    EXPECT_EQ(Events(), "0+") << "reported before vorn_usb_event_init returns, numbered in discovery order";

    testbed->Unplug(first);
    EXPECT_TRUE(Eventually([] { return Events() == "0+0-" && vorn_usb_GetDeviceCount() == 0; })) << Events();
    EXPECT_TRUE(Eventually([&] { return first->OpenFiles() == 0; })) << "the gone device is let go of";
    char query[] = "MEAS:VOLT?", reply[64] = {};
    unsigned bytesRead = 0;
    EXPECT_EQ(vorn_usb_send_ascii(0, query, 0), -1);

    // Plugged back into the same port, at a new address.
    ASSERT_NE(testbed->Plug(Instrument2936(7)), nullptr);
    EXPECT_TRUE(Eventually([] { return Events() == "0+0-1+"; })) << Events();
    ASSERT_EQ(vorn_usb_write_by_key(kKey, query, 0), 0);
    ASSERT_EQ(vorn_usb_read_ascii_by_key(kKey, reply, sizeof reply, &bytesRead), 0);
    EXPECT_STREQ(reply, "1.234");
}

TEST_F(UsbTest, UninitAbortsAWaitingReadAndIdentificationSkipsAHeldReply)
{
    InstrumentScript script = Instrument2936();
    script.replies["RUN?"] = "0 1 2 3 4 5\r\n"; // a reply with fields enough to pass for an identity
    auto instrument = testbed->Plug(script);
    ASSERT_NE(instrument, nullptr);
    ASSERT_EQ(vorn_usb_init_system(), 0);
    vorn_usb_SetLogging(1);

    // A read the instrument never answers ends when another thread shuts down, aborted, not timed out.
    char unknown[] = "BOGUS?", run[] = "RUN?", reply[64] = {};
    unsigned bytesRead = 0;
    ASSERT_EQ(vorn_usb_send_ascii(5, unknown, 0), 0);
    std::thread reader([&] { EXPECT_EQ(vorn_usb_get_ascii_by_DeviceID(5, reply, sizeof reply, &bytesRead), -1); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    vorn_usb_uninit_system();
    reader.join();
    EXPECT_NE(LogText().find("The I/O operation has been aborted"), std::string::npos) << LogText();
    EXPECT_EQ(LogText().find("The semaphore timeout period has expired."), std::string::npos) << LogText();

    // A reply written for and never read is still in the instrument when the next scan identifies it.
    ASSERT_EQ(vorn_usb_init_system(), 0);
    ASSERT_EQ(vorn_usb_send_ascii(5, run, 0), 0);
    vorn_usb_uninit_system();
    ASSERT_EQ(vorn_usb_init_system(), 0);
    char key[64] = "", *keys[] = {key};
    EXPECT_EQ(vorn_usb_GetDeviceKeys(keys), 1);
    EXPECT_STREQ(key, kKey) << "the held reply is not taken for the identity";
    EXPECT_NE(LogText().find("DeviceDiscovery: Discarded 13 bytes the instrument held from before."), std::string::npos)
        << LogText();
    vorn_usb_SetLogging(0);
}

#ifdef OSTREL_TOOL
// The ostrel tool in another process, which sees the same testbed: its exit status and what it wrote.
std::pair<int, std::string> Tool(const std::string &arguments)
{
    std::string output;
    FILE *pipe = popen((OSTREL_TOOL " " + arguments + " 2>&1").c_str(), "r");
    for (char chunk[256]; pipe != nullptr && std::fgets(chunk, sizeof chunk, pipe) != nullptr;)
        output += chunk;
    const int status = pipe != nullptr ? pclose(pipe) : -1;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

TEST_F(UsbTest, ToolExplainsWhatItDoesNotFindAndListsWhatItDoes)
{
    InstrumentScript stranger = Instrument2936(3, 2);
    stranger.inClass = false;
    ASSERT_NE(testbed->Plug(stranger), nullptr);
    const std::string unmarked = "1a2b:2936 at /dev/bus/usb/001/003 looks like an instrument but has no "
                                 "OSTREL_INTERFACE_GUIDS";
    auto [status, output] = Tool("list");
    EXPECT_EQ(status, 1);
    EXPECT_EQ(output.find("ostrel: no instruments found\n"), 0u) << output;
    EXPECT_NE(output.find("  likely cause: " + unmarked), std::string::npos) << output;
    std::tie(status, output) = Tool("doctor");
    EXPECT_EQ(status, 1);
    EXPECT_NE(output.find("(real instruments)\n"), std::string::npos) << output;
    EXPECT_NE(output.find("PROBLEM  " + unmarked), std::string::npos) << output;
    EXPECT_NE(output.find("PROBLEM  discovery found no instrument"), std::string::npos) << output;
    EXPECT_TRUE(RulesInstalled() || output.find("PROBLEM  no udev rule names an instrument model") != std::string::npos);

    ASSERT_NE(testbed->Plug(Instrument2936()), nullptr);
    std::tie(status, output) = Tool("list");
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("   5  2936-R SN12345"), std::string::npos) << output;
    std::tie(status, output) = Tool("doctor");
    EXPECT_NE(output.find("ok       instrument 1a2b:2936 at /dev/bus/usb/001/002\n"), std::string::npos) << output;
    EXPECT_NE(output.find("ok       discovery found 1 instruments\n"), std::string::npos) << output;
}
#endif

} // namespace
} // namespace ostrel::test
