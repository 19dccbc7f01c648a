// libostrel.so as a user sees it, on instruments emulated with umockdev.
#include "ostrel.h"
#include "usb/EmulatedInstrument.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <mutex>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace ostrel::test {
namespace {

using namespace std::chrono_literals;

InstrumentScript Instrument2936()
{
    InstrumentScript script;
    script.replies = {{"*IDN?", IdnReply("2936-R", "SN12345")},
                      {"ADDR?", "5\r\n"},
                      {"MEAS:VOLT?", "1.234\r\n"},
                      {"BIN?", std::string("\x00\xff\r\n\x7f", 5)},
                      {"LONG?", "0123456789ABCDEFGHIJ\r\n"}};
    return script;
}

// Every test runs in a fresh temporary folder: the library writes its log
// there when the user has no Documents folder.
class UsbTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char folder[] = "/tmp/ostrel-usb-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        work = folder;
        ASSERT_EQ(chdir(folder), 0);
        testbed = std::make_unique<Testbed>();
        if (!testbed->Ready())
            GTEST_SKIP() << "run under umockdev-wrapper";
    }
    void TearDown() override
    {
        vorn_usb_uninit_system();
        testbed.reset();
    }

    // The log file, when it is in the test's folder (the user has no Documents).
    std::string LogText() const
    {
        const passwd *user = getpwuid(getuid());
        struct stat info {};
        if (user != nullptr && stat((std::string(user->pw_dir) + "/Documents").c_str(), &info) == 0)
            return "";
        std::string text;
        if (DIR *dir = opendir(work.c_str())) {
            while (dirent *entry = readdir(dir))
                if (std::strncmp(entry->d_name, "Log", 3) == 0) {
                    std::ifstream in(work + "/" + entry->d_name);
                    std::stringstream all;
                    all << in.rdbuf();
                    text += all.str();
                }
            closedir(dir);
        }
        return text;
    }

    std::string work;
    std::unique_ptr<Testbed> testbed;
};

std::vector<std::string> Keys()
{
    const int count = vorn_usb_GetDeviceCount();
    std::vector<std::array<char, 64>> buffers(static_cast<size_t>(count));
    std::vector<char *> pointers;
    for (auto &buffer : buffers)
        pointers.push_back(buffer.data());
    std::vector<std::string> keys;
    if (count > 0 && vorn_usb_GetDeviceKeys(pointers.data()) == count)
        for (auto &buffer : buffers)
            keys.emplace_back(buffer.data());
    return keys;
}

// Whether a rules file installed on this machine gives devices the class; the
// library then reports a missing instrument as not connected rather than as
// a missing driver.
bool RulesInstalled()
{
    for (const char *directory : {"/etc/udev/rules.d", "/run/udev/rules.d", "/usr/local/lib/udev/rules.d",
                                  "/usr/lib/udev/rules.d", "/lib/udev/rules.d"}) {
        std::string command = std::string("grep -qisr -- '56AC4E2C-9D3B-4A6C-BF25-B3BD6E44FC00' ") + directory +
                              " 2>/dev/null";
        if (std::system(command.c_str()) == 0)
            return true;
    }
    return false;
}

TEST_F(UsbTest, StaticDiscoveryTakesOnlyDevicesOfTheClass)
{
    InstrumentScript stranger = Instrument2936();
    stranger.inClass = false;
    stranger.serial = "SN99999";
    stranger.devnum = 3;
    stranger.port = 2;
    stranger.replies["*IDN?"] = IdnReply("2940-T", "SN99999");
    ASSERT_NE(testbed->Plug(stranger), nullptr);
    auto instrument = testbed->Plug(Instrument2936());
    ASSERT_NE(instrument, nullptr);

    EXPECT_EQ(vorn_usb_init_system(), 0);
    EXPECT_EQ(Keys(), std::vector<std::string>{"2936-R SN12345"});
    int ids[1] = {}, models[1] = {}, serials[1] = {}, count = 0;
    ASSERT_EQ(GetInstrumentList(ids, models, serials, &count), 0);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(ids[0], 5);
    EXPECT_EQ(models[0], 2936);
    EXPECT_EQ(serials[0], 12345);
    char info[129] = {};
    EXPECT_EQ(vorn_usb_get_device_info(info), 0);
    EXPECT_STREQ(info, "5,VORN 2936-R 1.0.3 01/02/24 SN12345;");

    // Another product ID finds nothing new; what is known stays.
    int found = -1;
    EXPECT_EQ(vorn_usb_open_devices(0x2940, true, &found), 0);
    EXPECT_EQ(found, 1);
    vorn_usb_uninit_system();
    EXPECT_EQ(vorn_usb_open_devices(0x2940, true, &found), 0);
    EXPECT_EQ(found, 0);
    // Closed on shutdown: the device node has no open file left.
    EXPECT_TRUE(instrument->WaitForOpenFiles(0, 5s));
}

TEST_F(UsbTest, NoInstrumentIsReportedPlainly)
{
    InstrumentScript stranger = Instrument2936();
    stranger.inClass = false;
    ASSERT_NE(testbed->Plug(stranger), nullptr);
    int found = -1;
    EXPECT_EQ(vorn_usb_open_devices(0, false, &found), 0);
    EXPECT_EQ(found, 0);
    const std::string log = LogText();
    if (!log.empty()) {
        const char *wanted =
            RulesInstalled() ? "GetDevInfoSet: Device not connected." : "GetDevInfoSet: Driver not installed.";
        EXPECT_NE(log.find(wanted), std::string::npos) << log;
    }
}

TEST_F(UsbTest, AsciiAndBinaryTransfers)
{
    auto instrument = testbed->Plug(Instrument2936());
    ASSERT_NE(instrument, nullptr);
    ASSERT_EQ(vorn_usb_init_system(), 0);
    ASSERT_EQ(vorn_usb_GetDeviceCount(), 1);

    char command[] = "MEAS:VOLT?";
    char reply[64] = {};
    unsigned bytesRead = 0;
    ASSERT_EQ(vorn_usb_send_ascii(5, command, 0), 0);
    ASSERT_EQ(vorn_usb_get_ascii_by_DeviceID(5, reply, sizeof reply, &bytesRead), 0);
    EXPECT_STREQ(reply, "1.234");
    EXPECT_EQ(bytesRead, 5u);

    // By key, the same way; the carriage return is appended once.
    char withCr[] = "MEAS:VOLT?\r";
    ASSERT_EQ(vorn_usb_write_by_key("2936-R SN12345", withCr, 0), 0);
    ASSERT_EQ(vorn_usb_read_ascii_by_key("2936-R SN12345", reply, sizeof reply, &bytesRead), 0);
    EXPECT_STREQ(reply, "1.234");

    // Binary writes carry NULs and add nothing; binary reads hand back every byte.
    char binary[] = {'B', 'I', 'N', '?', '\0', '\r'};
    const size_t before = instrument->Received().size();
    ASSERT_EQ(vorn_usb_send_binary(5, binary, sizeof binary), 0);
    std::vector<uint8_t> received = instrument->Received();
    EXPECT_EQ(std::vector<uint8_t>(received.begin() + static_cast<long>(before), received.end()),
              std::vector<uint8_t>(binary, binary + sizeof binary));
    char withoutNul[] = "BIN?\r";
    ASSERT_EQ(vorn_usb_write_binary_by_key("2936-R SN12345", withoutNul, 5), 0);
    ASSERT_EQ(vorn_usb_read_by_key("2936-R SN12345", reply, sizeof reply, &bytesRead), 0);
    EXPECT_EQ(std::string(reply, bytesRead), std::string("\x00\xff\r\n\x7f", 5));

    // A reply longer than the caller's buffer: the rest comes with the next read.
    char longer[] = "LONG?";
    ASSERT_EQ(vorn_usb_send_ascii(5, longer, 0), 0);
    ASSERT_EQ(vorn_usb_get_ascii(5, reply, 8, &bytesRead), 0);
    EXPECT_EQ(std::string(reply, bytesRead), "01234567");
    ASSERT_EQ(vorn_usb_get_ascii(5, reply, sizeof reply, &bytesRead), 0);
    EXPECT_EQ(std::string(reply, bytesRead), "89ABCDEFGHIJ\r\n");
}

TEST_F(UsbTest, ReadWithoutReplyTimesOut)
{
    ASSERT_NE(testbed->Plug(Instrument2936()), nullptr);
    ASSERT_EQ(vorn_usb_init_system(), 0);
    char unknown[] = "BOGUS?";
    char reply[64] = {};
    unsigned bytesRead = 99;
    ASSERT_EQ(vorn_usb_send_ascii(5, unknown, 0), 0);
    EXPECT_EQ(vorn_usb_get_ascii_by_DeviceID(5, reply, sizeof reply, &bytesRead), -1);
    EXPECT_EQ(bytesRead, 0u);
    const std::string log = LogText();
    if (!log.empty()) {
        EXPECT_NE(log.find("GetLastError = The semaphore timeout period has expired."), std::string::npos) << log;
    }
    // The instrument still answers afterwards.
    char query[] = "MEAS:VOLT?";
    ASSERT_EQ(vorn_usb_send_ascii(5, query, 0), 0);
    ASSERT_EQ(vorn_usb_get_ascii_by_DeviceID(5, reply, sizeof reply, &bytesRead), 0);
    EXPECT_STREQ(reply, "1.234");
}

// For what the watcher does after the callback returns.
template <class Condition>
bool Eventually(Condition condition)
{
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

struct Events {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<int, int>> calls;

    bool WaitFor(size_t count)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, 10s, [&] { return calls.size() >= count; });
    }
};
Events events;

void OSTREL_CALL Record(int deviceID, int attached)
{
    std::lock_guard<std::mutex> lock(events.mutex);
    events.calls.emplace_back(deviceID, attached);
    events.changed.notify_all();
}

TEST_F(UsbTest, UnplugAndReplugInEventMode)
{
    auto first = testbed->Plug(Instrument2936());
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(vorn_usb_event_init(0, Record), 0);
    ASSERT_TRUE(events.WaitFor(1));
    // Event mode numbers the instruments in discovery order.
    EXPECT_EQ(events.calls[0], std::make_pair(0, 1));

    testbed->Unplug(first);
    ASSERT_TRUE(events.WaitFor(2));
    EXPECT_EQ(events.calls[1], std::make_pair(0, 0));
    // The library lets go of the gone device right after the callback.
    EXPECT_TRUE(first->WaitForOpenFiles(0, 5s));
    EXPECT_TRUE(Eventually([] { return vorn_usb_GetDeviceCount() == 0; }));
    char query[] = "MEAS:VOLT?";
    EXPECT_EQ(vorn_usb_send_ascii(0, query, 0), -1);

    // Plugged back: a new address, so a new path, and the instrument is back.
    InstrumentScript again = Instrument2936();
    again.devnum = 7;
    auto second = testbed->Plug(again);
    ASSERT_NE(second, nullptr);
    ASSERT_TRUE(events.WaitFor(3));
    EXPECT_EQ(events.calls[2], std::make_pair(1, 1));
    char reply[64] = {};
    unsigned bytesRead = 0;
    ASSERT_EQ(vorn_usb_write_by_key("2936-R SN12345", query, 0), 0);
    ASSERT_EQ(vorn_usb_read_ascii_by_key("2936-R SN12345", reply, sizeof reply, &bytesRead), 0);
    EXPECT_STREQ(reply, "1.234");
    EXPECT_NE(first->InterfacePath(), second->InterfacePath());
}

#ifdef OSTREL_TOOL
// The ostrel tool in another process sees the same testbed and instruments.
std::string RunTool(const std::string &arguments, int &status)
{
    std::string output;
    FILE *pipe = popen((std::string(OSTREL_TOOL) + " " + arguments + " 2>&1").c_str(), "r");
    if (pipe == nullptr)
        return output;
    char chunk[256];
    while (std::fgets(chunk, sizeof chunk, pipe) != nullptr)
        output += chunk;
    status = pclose(pipe);
    return output;
}

TEST_F(UsbTest, ToolListsTheInstrumentOrSaysThereIsNone)
{
    int status = -1;
    std::string output = RunTool("list", status);
    EXPECT_NE(status, 0);
    EXPECT_NE(output.find("no instruments found"), std::string::npos) << output;

    ASSERT_NE(testbed->Plug(Instrument2936()), nullptr);
    output = RunTool("list", status);
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("   5  2936-R SN12345"), std::string::npos) << output;
    EXPECT_NE(output.find("VORN 2936-R 1.0.3 01/02/24 SN12345"), std::string::npos) << output;
}
#endif

} // namespace
} // namespace ostrel::test
