// The libusb bus's own pieces: the error map, class membership, paths, rules files.
#include "platform/libusb/Errors.h"
#include "platform/libusb/Instruments.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <libusb.h>
#include <string>
#include <utility>

namespace ostrel::usb {
namespace {

// What WinUSB reports for the same event, which the core logs and acts on.
TEST(UsbErrors, LibusbErrorsAndTransferStatusesBecomeTheCodesWinUsbGives)
{
    const std::pair<int, DWORD> errors[] = {
        {LIBUSB_SUCCESS, ERROR_SUCCESS}, {12, ERROR_SUCCESS}, // a byte count
        {LIBUSB_ERROR_TIMEOUT, ERROR_SEM_TIMEOUT}, {LIBUSB_ERROR_NO_DEVICE, ERROR_BAD_COMMAND},
        {LIBUSB_ERROR_ACCESS, ERROR_ACCESS_DENIED}, {LIBUSB_ERROR_BUSY, ERROR_ACCESS_DENIED},
        {LIBUSB_ERROR_PIPE, ERROR_GEN_FAILURE}, {LIBUSB_ERROR_IO, ERROR_GEN_FAILURE},
        {LIBUSB_ERROR_OVERFLOW, ERROR_GEN_FAILURE}, {LIBUSB_ERROR_OTHER, ERROR_GEN_FAILURE},
        {LIBUSB_ERROR_INVALID_PARAM, ERROR_INVALID_PARAMETER}, {LIBUSB_ERROR_NOT_FOUND, ERROR_NOT_FOUND},
        {LIBUSB_ERROR_INTERRUPTED, ERROR_OPERATION_ABORTED}, {LIBUSB_ERROR_NO_MEM, ERROR_NOT_ENOUGH_MEMORY},
        {LIBUSB_ERROR_NOT_SUPPORTED, ERROR_NOT_SUPPORTED}, {-1234, ERROR_GEN_FAILURE}, // newer than the map
    };
    for (const auto &[libusb, windows] : errors)
        EXPECT_EQ(WindowsError(libusb), windows) << libusb;
    const std::pair<int, DWORD> statuses[] = {
        {LIBUSB_TRANSFER_COMPLETED, ERROR_SUCCESS}, {LIBUSB_TRANSFER_TIMED_OUT, ERROR_SEM_TIMEOUT},
        {LIBUSB_TRANSFER_NO_DEVICE, ERROR_BAD_COMMAND}, {LIBUSB_TRANSFER_STALL, ERROR_GEN_FAILURE},
        {LIBUSB_TRANSFER_OVERFLOW, ERROR_GEN_FAILURE}, {LIBUSB_TRANSFER_ERROR, ERROR_GEN_FAILURE},
        {LIBUSB_TRANSFER_CANCELLED, ERROR_OPERATION_ABORTED}, {99, ERROR_GEN_FAILURE},
    };
    for (const auto &[status, windows] : statuses)
        EXPECT_EQ(WindowsTransferError(status), windows) << status;
}

TEST(UsbInstruments, ClassMembershipAndPaths)
{
    for (const char *guids : {"{56AC4E2C-9D3B-4A6C-BF25-B3BD6E44FC00}",
                              "{00000000-0000-0000-0000-000000000000};{56ac4e2c-9d3b-4a6c-bf25-b3bd6e44fc00}"})
        EXPECT_TRUE(NamesInstrumentClass(guids)) << guids;
    for (const char *guids : {"{56AC4E2C-9D3B-4A6C-BF25-B3BD6E44FC01}", "", static_cast<const char *>(nullptr)})
        EXPECT_FALSE(NamesInstrumentClass(guids)) << (guids ? guids : "null");

    Instrument instrument{.syspath = {}, .devnode = {}, .busnum = 3, .devnum = 17, .vid = 0x1A2B, .pid = 0x2936,
                          .serial = "SN 12#3/4", .path = {}};
    const std::string guid = "#{56ac4e2c-9d3b-4a6c-bf25-b3bd6e44fc00}";
    EXPECT_EQ(InterfacePath(instrument), "/dev/bus/usb/003/017#vid_1a2b&pid_2936#SN_12_3_4" + guid);
    instrument.devnum = 18; // plugged back: a new address, so a new path
    instrument.serial.clear();
    EXPECT_EQ(InterfacePath(instrument), "/dev/bus/usb/003/018#vid_1a2b&pid_2936#-" + guid);

    EXPECT_TRUE(SamePath("/dev/bus/usb/003/017#VID_1A2B", "/dev/bus/usb/003/017#vid_1a2b"));
    EXPECT_FALSE(SamePath("/dev/bus/usb/003/017", "/dev/bus/usb/003/01"));
}

TEST(UsbInstruments, OnlyAnActiveRuleSettingTheClassCounts)
{
    char folder[] = "/tmp/ostrel-rules-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string root = folder, etc = root + "/etc", lib = root + "/lib";
    ASSERT_EQ(std::system(("mkdir -p " + etc + " " + lib).c_str()), 0);
    const auto known = [&] { return RulesSetClass({etc, root + "/missing", lib}); };
    const std::string rule = "SUBSYSTEM==\"usb\", ATTR{idVendor}==\"1a2b\", "
                             "ENV{OSTREL_INTERFACE_GUIDS}=\"{56ac4e2c-9d3b-4a6c-bf25-b3bd6e44fc00}\"\n";
    // In order: a comment, not a rules file, the rule, hidden by an empty file of
    // the same name in a directory of higher precedence (udev's way of disabling
    // a packaged rule), then set there under another name.
    const std::pair<std::string, std::string> steps[] = {
        {lib + "/70-ostrel.rules", "# " + rule}, {lib + "/70-ostrel.rules.bak", rule},
        {lib + "/70-ostrel.rules", "   " + rule}, {etc + "/70-ostrel.rules", ""}, {etc + "/99-local.rules", rule}};
    std::string classes = known() ? "+" : "-";
    for (const auto &[file, text] : steps) {
        std::ofstream(file) << text;
        classes += known() ? "+" : "-";
    }
    EXPECT_EQ(classes, "---+-+");
    std::system(("rm -rf " + etc + " " + lib).c_str());

    // The shipped rules name no instrument: only a commented example.
    EXPECT_FALSE(RulesSetClass({OSTREL_SOURCE_DIR "/packaging/linux"}));
    // The rule the tool writes for a model is one the library counts.
    const std::string write = "mkdir -p " + etc + " && " OSTREL_TOOL " udev-rule 1A2B:2936 >" + etc + "/70-x.rules";
    ASSERT_EQ(std::system(write.c_str()), 0);
    EXPECT_TRUE(RulesSetClass({etc}));
    std::system(("rm -rf " + root).c_str());
}

} // namespace
} // namespace ostrel::usb
