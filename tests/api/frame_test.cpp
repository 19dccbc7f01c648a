// The library frame as a program sees it: the first call creates the library
// and its log, the header is written once, and the switches decide which lines
// appear.
#include "ostrel.h"
#include "ostrel_sim.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/utsname.h>

using namespace ostrel::test;

namespace {

bool Logged(const std::string &docs, const std::string &prefix)
{
    return CountLog(docs, prefix, true) > 0;
}

std::string SystemName()
{
    struct utsname system;
    return uname(&system) == 0 ? system.sysname : "<uname failed>";
}

} // namespace

TEST(Frame, FirstCallCreatesTheLibraryAndItsLogWithoutAnyInstrument)
{
    const std::string docs = UseTempDocuments();
    EXPECT_EQ(vorn_usb_GetDeviceCount(), 0);
    EXPECT_TRUE(std::ifstream(LogPath(docs)).good()) << "the log file is opened by the first call";
    EXPECT_EQ(ostrel_sim_set_documents_folder("/tmp"), -1) << "too late once the log is open";
    char os[14];
    vorn_usb_GetOSName(os);
    EXPECT_EQ(std::string(os), SystemName().substr(0, 13));
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

    // One byte each; any non-zero value is on, as LabVIEW and ctypes pass them.
    vorn_usb_SetTraceLog(0xFF);
    vorn_usb_SetLogging(2);
    vorn_usb_SetLogging(0);
    vorn_usb_SetLogging(1);
    EXPECT_EQ(CountLog(docs, "64-bit OS, 64-bit mode."), 1);
    EXPECT_EQ(CountLog(docs, "********** Executable Path = ", true), 1);
    EXPECT_EQ(CountLog(docs, "OS: " + SystemName()), 1);
    EXPECT_EQ(CountLog(docs, "System Folder: /", true), 1);
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

    // Off: a scan writes no data or trace lines. That a failure shows all the
    // same is a scenario's (transfers-timeout-and-removal).
    int count = 0;
    ASSERT_EQ(vorn_usb_open_devices(0, false, &count), 0);
    EXPECT_FALSE(Logged(docs, "Device Path = "));
    EXPECT_FALSE(Logged(docs, "DeviceDiscovery: Enter."));
    vorn_usb_uninit_system();

    // Logging on: data lines, no trace lines.
    vorn_usb_SetLogging(1);
    ASSERT_EQ(vorn_usb_open_devices(0, false, &count), 0);
    EXPECT_TRUE(Logged(docs, "USB::DiscoverDevicesStatic: Product ID = 0000, Use USB Address = False"));
    EXPECT_FALSE(Logged(docs, "DeviceDiscovery: Enter."));

    // Trace on as well: the queries appear too.
    vorn_usb_SetTraceLog(1);
    vorn_usb_uninit_system();
    ASSERT_EQ(vorn_usb_open_devices(0, false, &count), 0);
    EXPECT_TRUE(Logged(docs, "Discover::Query  Cmd = '*IDN?"));
}
