// The libusb bus's own pieces: the error map, class membership, paths, rules files.
#include "platform/libusb/Errors.h"
#include "platform/libusb/Instruments.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <libusb.h>
#include <string>
#include <unistd.h>

namespace ostrel::usb {
namespace {

std::string SystemText(DWORD code)
{
    char text[256] = {};
    return FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0, text, sizeof text, nullptr) > 0 ? text : "";
}

TEST(UsbErrors, LibusbErrorsBecomeTheCodesTheCoreKnows)
{
    struct Row {
        int libusb;
        DWORD windows;
        const char *text; // what the log's GetLastError line says
    };
    const Row rows[] = {
        {.libusb = LIBUSB_SUCCESS, .windows = ERROR_SUCCESS, .text = "The operation completed successfully.\r\n"},
        {.libusb = 12, .windows = ERROR_SUCCESS, .text = nullptr}, // a byte count
        {.libusb = LIBUSB_ERROR_TIMEOUT, .windows = ERROR_SEM_TIMEOUT,
         .text = "The semaphore timeout period has expired.\r\n"},
        {.libusb = LIBUSB_ERROR_NO_DEVICE, .windows = ERROR_BAD_COMMAND,
         .text = "The device does not recognize the command.\r\n"},
        {.libusb = LIBUSB_ERROR_ACCESS, .windows = ERROR_ACCESS_DENIED, .text = "Access is denied.\r\n"},
        {.libusb = LIBUSB_ERROR_BUSY, .windows = ERROR_ACCESS_DENIED, .text = nullptr},
        {.libusb = LIBUSB_ERROR_PIPE, .windows = ERROR_GEN_FAILURE,
         .text = "A device attached to the system is not functioning.\r\n"},
        {.libusb = LIBUSB_ERROR_IO, .windows = ERROR_GEN_FAILURE, .text = nullptr},
        {.libusb = LIBUSB_ERROR_OVERFLOW, .windows = ERROR_GEN_FAILURE, .text = nullptr},
        {.libusb = LIBUSB_ERROR_OTHER, .windows = ERROR_GEN_FAILURE, .text = nullptr},
        {.libusb = LIBUSB_ERROR_INVALID_PARAM, .windows = ERROR_INVALID_PARAMETER, .text = "The parameter is incorrect.\r\n"},
        {.libusb = LIBUSB_ERROR_NOT_FOUND, .windows = ERROR_NOT_FOUND, .text = "Element not found.\r\n"},
        {.libusb = LIBUSB_ERROR_INTERRUPTED, .windows = ERROR_OPERATION_ABORTED, .text = nullptr},
        {.libusb = LIBUSB_ERROR_NO_MEM, .windows = ERROR_NOT_ENOUGH_MEMORY, .text = nullptr},
        {.libusb = LIBUSB_ERROR_NOT_SUPPORTED, .windows = ERROR_NOT_SUPPORTED, .text = "The request is not supported.\r\n"},
        {.libusb = -1234, .windows = ERROR_GEN_FAILURE, .text = nullptr}, // a code newer than the table
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.libusb);
        EXPECT_EQ(WindowsError(row.libusb), row.windows);
        if (row.text != nullptr) {
            EXPECT_EQ(SystemText(row.windows), row.text);
        }
    }

    const Row statuses[] = {
        {.libusb = LIBUSB_TRANSFER_COMPLETED, .windows = ERROR_SUCCESS, .text = nullptr},
        {.libusb = LIBUSB_TRANSFER_TIMED_OUT, .windows = ERROR_SEM_TIMEOUT, .text = nullptr},
        {.libusb = LIBUSB_TRANSFER_NO_DEVICE, .windows = ERROR_BAD_COMMAND, .text = nullptr},
        {.libusb = LIBUSB_TRANSFER_STALL, .windows = ERROR_GEN_FAILURE, .text = nullptr},
        {.libusb = LIBUSB_TRANSFER_OVERFLOW, .windows = ERROR_GEN_FAILURE, .text = nullptr},
        {.libusb = LIBUSB_TRANSFER_ERROR, .windows = ERROR_GEN_FAILURE, .text = nullptr},
        {.libusb = LIBUSB_TRANSFER_CANCELLED, .windows = ERROR_OPERATION_ABORTED,
         .text = "The I/O operation has been aborted because of either a thread exit or an application request.\r\n"},
    };
    for (const Row &row : statuses) {
        SCOPED_TRACE(row.libusb);
        EXPECT_EQ(WindowsTransferError(row.libusb), row.windows);
        if (row.text != nullptr) {
            EXPECT_EQ(SystemText(row.windows), row.text);
        }
    }
}

TEST(UsbInstruments, ClassMembershipAndPaths)
{
    EXPECT_TRUE(NamesInstrumentClass("{56AC4E2C-9D3B-4A6C-BF25-B3BD6E44FC00}"));
    EXPECT_TRUE(NamesInstrumentClass("{00000000-0000-0000-0000-000000000000};{56ac4e2c-9d3b-4a6c-bf25-b3bd6e44fc00}"));
    EXPECT_FALSE(NamesInstrumentClass("{56AC4E2C-9D3B-4A6C-BF25-B3BD6E44FC01}"));
    EXPECT_FALSE(NamesInstrumentClass(""));
    EXPECT_FALSE(NamesInstrumentClass(nullptr));

    Instrument instrument;
    instrument.busnum = 3;
    instrument.devnum = 17;
    instrument.vid = 0x1A2B;
    instrument.pid = 0x2936;
    instrument.serial = "SN 12#3/4";
    const std::string path = InterfacePath(instrument);
    EXPECT_EQ(path, "/dev/bus/usb/003/017#vid_1a2b&pid_2936#SN_12_3_4#{56ac4e2c-9d3b-4a6c-bf25-b3bd6e44fc00}");
    instrument.devnum = 18; // the same instrument plugged back
    EXPECT_NE(InterfacePath(instrument), path);
    instrument.serial.clear();
    EXPECT_EQ(InterfacePath(instrument), "/dev/bus/usb/003/018#vid_1a2b&pid_2936#-#{56ac4e2c-9d3b-4a6c-bf25-b3bd6e44fc00}");

    EXPECT_TRUE(SamePath("/dev/bus/usb/003/017#VID_1A2B", "/dev/bus/usb/003/017#vid_1a2b"));
    EXPECT_FALSE(SamePath("/dev/bus/usb/003/017", "/dev/bus/usb/003/018"));
    EXPECT_FALSE(SamePath("/dev/bus/usb/003/017", "/dev/bus/usb/003/01"));
}

class RulesFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        char folder[] = "/tmp/ostrel-rules-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        root = folder;
        etc = root + "/etc";
        lib = root + "/lib";
        ASSERT_EQ(std::system(("mkdir -p " + etc + " " + lib).c_str()), 0);
    }
    void TearDown() override { std::system(("rm -rf " + root).c_str()); }
    void Write(const std::string &file, const std::string &text) { std::ofstream(file) << text; }
    bool Known() { return RulesSetClass({etc, root + "/missing", lib}); }

    std::string root, etc, lib;
};

TEST_F(RulesFiles, OnlyAnActiveRuleSettingTheClassCounts)
{
    const std::string rule = "SUBSYSTEM==\"usb\", ATTR{idVendor}==\"1a2b\", "
                             "ENV{OSTREL_INTERFACE_GUIDS}=\"{56ac4e2c-9d3b-4a6c-bf25-b3bd6e44fc00}\"\n";
    EXPECT_FALSE(Known());
    Write(lib + "/70-ostrel.rules", "# " + rule);
    EXPECT_FALSE(Known()) << "a comment";
    Write(lib + "/70-ostrel.rules.bak", rule);
    EXPECT_FALSE(Known()) << "not a rules file";
    Write(lib + "/70-ostrel.rules", "   " + rule);
    EXPECT_TRUE(Known());
    // The same name in a directory of higher precedence hides it (udev's way
    // of disabling a packaged rule), also when empty.
    Write(etc + "/70-ostrel.rules", "");
    EXPECT_FALSE(Known());
    Write(etc + "/99-local.rules", rule);
    EXPECT_TRUE(Known());

    // The example the documentation tells users to install.
    EXPECT_TRUE(RulesSetClass({OSTREL_SOURCE_DIR "/packaging/linux"}));
}

} // namespace
} // namespace ostrel::usb
