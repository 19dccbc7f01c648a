// The library frame as a program sees it: the first call creates the library
// and its log, the header is written once, the switches decide which lines
// appear, and an empty table answers every listing.
#include "ostrel.h"
#include "ostrel_sim.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sys/utsname.h>

using namespace ostrel::test;

TEST(Frame, FirstCallCreatesTheLibraryAndItsLogWithoutAnyInstrument)
{
    const std::string docs = UseTempDocuments();
    EXPECT_EQ(vorn_usb_GetDeviceCount(), 0);
    EXPECT_TRUE(std::ifstream(LogPath(docs)).good()) << "the log file is opened by the first call";
    EXPECT_EQ(ostrel_sim_set_documents_folder("/tmp"), -1) << "too late once the log is open";
    vorn_usb_uninit_system();
    EXPECT_EQ(vorn_usb_GetDeviceCount(), 0);
}

TEST(Frame, UninitAsTheVeryFirstCallIsHarmless)
{
    UseTempDocuments();
    vorn_usb_uninit_system();
    vorn_usb_uninit_system();
    EXPECT_EQ(vorn_usb_GetDeviceCount(), 0);
}

TEST(Frame, HeaderIsWrittenOnceAtTheFirstSwitchOn)
{
    const std::string docs = UseTempDocuments();
    vorn_usb_SetLogging(0);
    EXPECT_TRUE(LogTexts(docs).empty()) << "switching off writes nothing";

    vorn_usb_SetTraceLog(1);
    vorn_usb_SetLogging(1);
    vorn_usb_SetLogging(0);
    vorn_usb_SetLogging(1);

    EXPECT_EQ(CountLog(docs, "64-bit OS, 64-bit mode."), 1);
    EXPECT_TRUE(LogHasPrefix(docs, "********** Executable Path = "));
    struct utsname system;
    ASSERT_EQ(uname(&system), 0);
    EXPECT_EQ(CountLog(docs, std::string("OS: ") + system.sysname), 1);
    EXPECT_TRUE(LogHasPrefix(docs, "System Folder: /"));
    // The library's copy is looked for in the system folder; the sim library is
    // never installed there.
    bool missingCopy = false;
    for (const std::string &text : LogTexts(docs))
        missingCopy |= text.rfind("The USB driver is not installed.  /", 0) == 0 &&
                       text.find("/libostrel.so does not exist.") != std::string::npos;
    EXPECT_TRUE(missingCopy);
}

TEST(Frame, SwitchesDecideWhichLinesAppear)
{
    const std::string docs = UseTempDocuments();
    ASSERT_GE(ostrel_sim_load_bench(OSTREL_SOURCE_DIR "/examples/bench.json"), 1);

    // Off: a scan writes no data or trace lines, but a failure still shows.
    int count = 0;
    ASSERT_EQ(vorn_usb_open_devices(0, false, &count), 0);
    EXPECT_FALSE(LogHasPrefix(docs, "Device Path = "));
    EXPECT_FALSE(LogHasPrefix(docs, "DeviceDiscovery: Enter."));
    ASSERT_EQ(ostrel_sim_inject_fault(R"({"call": "WinUsb_ReadPipe", "error": 121, "times": 1})"), 0);
    char reply[64];
    unsigned got = 99;
    EXPECT_EQ(vorn_usb_get_ascii_by_DeviceID(0, reply, sizeof reply, &got), -1);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(CountLog(docs, "ReadPipe: Could not perform a read pipe operation."), 1);
    EXPECT_TRUE(LogHasPrefix(docs, "GetLastError = The semaphore timeout period has expired."));
    vorn_usb_uninit_system();

    // Logging on: data lines, no trace lines.
    vorn_usb_SetLogging(1);
    ASSERT_EQ(vorn_usb_open_devices(0, false, &count), 0);
    EXPECT_TRUE(LogHasPrefix(docs, "Device Path = "));
    EXPECT_TRUE(LogHasPrefix(docs, "USB::DiscoverDevicesStatic: Product ID = 0000, Use USB Address = False"));
    EXPECT_FALSE(LogHasPrefix(docs, "DeviceDiscovery: Enter."));

    // Trace on as well: the operations' Enter and Exit lines.
    vorn_usb_SetTraceLog(1);
    vorn_usb_uninit_system();
    ASSERT_EQ(vorn_usb_open_devices(0, false, &count), 0);
    EXPECT_TRUE(LogHasPrefix(docs, "DeviceDiscovery: Enter."));
    EXPECT_TRUE(LogHasPrefix(docs, "Discover::Query  Cmd = '*IDN?"));
    vorn_usb_uninit_system();
    EXPECT_EQ(ostrel_sim_open_handles(), 0);
}

TEST(Frame, EmptyTableAnswersEveryListing)
{
    const std::string docs = UseTempDocuments();
    char key[64] = "untouched";
    char *keys[1] = {key};
    EXPECT_EQ(vorn_usb_GetDeviceKeys(keys), 0);
    EXPECT_STREQ(key, "untouched");

    vorn_usb_GetDeviceKeyFromDeviceID(3, key);
    EXPECT_STREQ(key, "");

    char info[16] = "previous";
    EXPECT_EQ(vorn_usb_get_device_info(info), 0);
    EXPECT_STREQ(info, "previous") << "an empty table writes not even a NUL";

    int ids[1] = {7}, models[1] = {7}, serials[1] = {7}, count = 9;
    EXPECT_EQ(GetInstrumentList(ids, models, serials, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(ids[0], 7);

    char os[14];
    vorn_usb_GetOSName(os);
    struct utsname system;
    ASSERT_EQ(uname(&system), 0);
    EXPECT_EQ(std::string(os), std::string(system.sysname).substr(0, 13));
}
