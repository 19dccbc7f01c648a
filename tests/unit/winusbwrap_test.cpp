// The transport over the bench: enumeration that survives a failing index,
// open failures with their reasons, pipe selection, descriptors, time-outs,
// and handle pairs that are always released.
#include "diagnostics/Logger.h"
#include "ostrel_sim.h"
#include "support/TestSupport.h"
#include "transport/WinUSBWrap.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace ostrel::test;

namespace {

std::vector<std::string> Scan(WinUSBWrap &wrap)
{
    std::vector<std::string> paths;
    wrap.GetDevicePaths(wrap.GetDevInfoSet(), paths);
    return paths;
}

std::string Instrument(const std::string &serial, const std::string &extra = "")
{
    return R"({"vid": 6699, "pid": 1, "serial": ")" + serial + "\"" + extra + "}";
}

void Fault(const std::string &call, unsigned error, unsigned after = 0, unsigned times = 1)
{
    const std::string json = R"({"call": ")" + call + R"(", "error": )" + std::to_string(error) +
                             R"(, "after": )" + std::to_string(after) + R"(, "times": )" + std::to_string(times) + "}";
    ASSERT_EQ(ostrel_sim_inject_fault(json.c_str()), 0) << ostrel_sim_last_error();
}

// The transport with the handle pair it opened on the first instrument listed.
struct Opened {
    WinUSBWrap wrap;
    HANDLE device = nullptr;
    WINUSB_INTERFACE_HANDLE usb = nullptr;
    bool ok = wrap.CreateDeviceHandles(Scan(wrap).at(0), device, usb);
};

} // namespace

TEST(WinUSBWrap, SeesTheBenchWithLowerCasePathsAndTakesBulkPipesTheLastOfADirection)
{
    UseTempDocuments();
    ASSERT_EQ(ostrel_sim_load_bench(OSTREL_SOURCE_DIR "/examples/bench.json"), 3);
    // The pipes taken; 0x11 and 0x22 are kept where no bulk pipe of that direction exists.
    const struct { std::string endpoints; UCHAR in, out; } cases[] = {
        {R"(, "path": "\\\\?\\USB#Mixed&Case#{56AC4E2C-9D3B-4A6C-BF25-B3BD6E44FC00}")", 0x81, 0x02},
        {R"(, "endpoints": [{"address": 129, "type": "bulk"}, {"address": 2, "type": "bulk"},
                            {"address": 131, "type": "interrupt"}])", 0x81, 0x02},
        {R"(, "endpoints": [{"address": 129, "type": "bulk"}, {"address": 130, "type": "bulk"},
                            {"address": 1, "type": "bulk"}])", 0x82, 0x01},
        {R"(, "endpoints": [{"address": 131, "type": "interrupt"}])", 0x11, 0x22},
    };
    for (size_t i = 0; i < std::size(cases); ++i)
        ASSERT_GE(ostrel_sim_plug(Instrument("P" + std::to_string(i), cases[i].endpoints).c_str()), 0);
    WinUSBWrap wrap;
    std::vector<std::string> paths = Scan(wrap);
    ASSERT_EQ(paths.size(), 7u);
    EXPECT_EQ(paths[0], DefaultPath(0x1A2B, 10550, "SN12345"));
    EXPECT_EQ(paths[3], "\\\\?\\usb#mixed&case#{56ac4e2c-9d3b-4a6c-bf25-b3bd6e44fc00}");
    for (size_t i = 0; i < paths.size(); ++i) {
        HANDLE device = nullptr;
        WINUSB_INTERFACE_HANDLE usb = nullptr;
        ASSERT_TRUE(wrap.CreateDeviceHandles(paths[i], device, usb)) << paths[i];
        EXPECT_EQ(ostrel_sim_open_handles(), 2);
        UCHAR in = 0x11, out = 0x22;
        EXPECT_TRUE(wrap.GetPipeIDs(usb, in, out));
        EXPECT_EQ(in, i < 3 ? 0x81 : cases[i - 3].in) << paths[i];
        EXPECT_EQ(out, i < 3 ? 0x02 : cases[i - 3].out) << paths[i];
        USB_DEVICE_DESCRIPTOR descriptor{};
        EXPECT_TRUE(wrap.GetDeviceDescriptor(usb, descriptor));
        EXPECT_EQ(descriptor.bLength, 18);
        EXPECT_TRUE(wrap.CloseDeviceHandles(device, usb));
    }
    EXPECT_EQ(ostrel_sim_open_handles(), 0);
}

TEST(WinUSBWrap, EnumerationErrorAtOneIndexCostsThatIndexOnly)
{
    const std::string docs = UseTempDocuments();
    for (const char *serial : {"A", "B", "C", "D"})
        ASSERT_GE(ostrel_sim_plug(Instrument(serial).c_str()), 0);
    WinUSBWrap wrap;
    Fault("SetupDiEnumDeviceInterfaces", ERROR_GEN_FAILURE, 2);
    EXPECT_EQ(Scan(wrap), (std::vector<std::string>{DefaultPath(6699, 1, "a"), DefaultPath(6699, 1, "b"),
                                                    DefaultPath(6699, 1, "d")}));
    EXPECT_EQ(CountLog(docs, "GetDevicePaths: SetupDiEnumDeviceInterfaces returned an error at index 2"), 1);
    EXPECT_EQ(CountLog(docs, "GetLastError = A device attached to the system is not functioning.\r"), 1);

    // Failures of the two-call detail protocol cost their index too: the size
    // query, then the fetch of the record.
    const char *lines[] = {"GetDevicePaths: Could not get the required size of the DeviceInterfaceDetailData buffer.",
                           "GetDevicePaths: Could not get the device interface detail information."};
    for (unsigned after = 0; after < 2; ++after) {
        Fault("SetupDiGetDeviceInterfaceDetailA", ERROR_GEN_FAILURE, after);
        EXPECT_EQ(Scan(wrap).size(), 3u);
        EXPECT_EQ(CountLog(docs, lines[after]), 1);
    }
}

TEST(WinUSBWrap, EmptyBenchSaysDeviceNotConnectedAndUnknownClassDriverNotInstalled)
{
    const std::string docs = UseTempDocuments();
    WinUSBWrap wrap;
    EXPECT_TRUE(Scan(wrap).empty());
    EXPECT_EQ(CountLog(docs, "GetDevInfoSet: Device not connected."), 1);

    Fault("SetupDiGetClassDevsA", ERROR_NOT_FOUND, 0, 2);
    EXPECT_TRUE(Scan(wrap).empty());
    EXPECT_EQ(CountLog(docs, "GetDevInfoSet: Driver not installed."), 1);
    EXPECT_EQ(CountLog(docs, "GetLastError = Element not found.\r"), 1);
}

TEST(WinUSBWrap, EveryFailureLogsItsReasonAndLeavesNothingOpen)
{
    const std::string docs = UseTempDocuments();
    ASSERT_GE(ostrel_sim_plug(Instrument("A", R"(, "descriptor_length": 12)").c_str()), 0);
    Opened opened;
    ASSERT_TRUE(opened.ok);
    WinUSBWrap &wrap = opened.wrap;
    const std::string path = Scan(wrap).at(0);
    auto fails = [&](const std::string &target, const std::string &line) {
        HANDLE device = nullptr;
        WINUSB_INTERFACE_HANDLE usb = nullptr;
        EXPECT_FALSE(wrap.CreateDeviceHandles(target, device, usb));
        EXPECT_EQ(CountLog(docs, "CreateDeviceHandles: Could not " + line), 1);
        EXPECT_EQ(ostrel_sim_open_handles(), 2) << "nothing left open when it could not " << line;
    };
    Fault("CreateFileA", ERROR_DEV_NOT_EXIST);
    fails(path, "create a handle to the device (" + path + ") because the driver is not installed.");
    fails(path + "-gone", "create a handle to the device (" + path + "-gone) because the device is not connected.");
    Fault("WinUsb_Initialize", ERROR_GEN_FAILURE);
    fails(path, "initialize WinUSB for device (" + path + ").");
    EXPECT_EQ(CountLog(docs, "GetLastError = The system cannot find the file specified.\r"), 1);

    USB_DEVICE_DESCRIPTOR descriptor{};
    EXPECT_FALSE(wrap.GetDeviceDescriptor(opened.usb, descriptor));
    EXPECT_EQ(CountLog(docs, "GetDeviceDescriptor: Could not get WinUSB device descriptor."), 1);
    EXPECT_EQ(CountLog(docs, "GetDeviceDescriptor: Transfer length (12) was not equal to size of device descriptor "
                             "(18)."), 1);
    ULONG timeoutMs = 50;
    EXPECT_TRUE(wrap.SetPipePolicy(opened.usb, 0x81, PIPE_TRANSFER_TIMEOUT, sizeof timeoutMs, &timeoutMs));
    unsigned char reply[8];
    ULONG moved = 7;
    EXPECT_FALSE(wrap.ReadPipe(opened.usb, 0x81, reply, sizeof reply, moved));
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(CountLog(docs, "ReadPipe: Could not perform a read pipe operation."), 1);
    EXPECT_EQ(CountLog(docs, "GetLastError = The semaphore timeout period has expired.\r"), 1);
    EXPECT_FALSE(wrap.SetPipePolicy(opened.usb, 0x05, PIPE_TRANSFER_TIMEOUT, sizeof timeoutMs, &timeoutMs));
    EXPECT_EQ(CountLog(docs, "SetPipePolicy: Could not set the pipe policy."), 1);

    Fault("WinUsb_Free", ERROR_INVALID_HANDLE);
    EXPECT_FALSE(wrap.CloseDeviceHandles(opened.device, opened.usb)); // the device handle closes all the same
    EXPECT_EQ(CountLog(docs, "CloseDeviceHandles: Could not close the device handles."), 1);
    EXPECT_EQ(CountLog(docs, "GetLastError = The handle is invalid.\r"), 1);
    EXPECT_EQ(ostrel_sim_open_handles(), 0);
}
