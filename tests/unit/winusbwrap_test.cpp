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

} // namespace

TEST(WinUSBWrap, SeesTheBenchWithLowerCasePathsPipesAndDescriptors)
{
    UseTempDocuments();
    ASSERT_EQ(ostrel_sim_load_bench(OSTREL_SOURCE_DIR "/examples/bench.json"), 3);
    ASSERT_GE(ostrel_sim_plug(R"({"vid": 1, "pid": 2, "path": "\\\\?\\USB#Mixed&Case#{56AC4E2C-9D3B-4A6C-BF25-B3BD6E44FC00}"})"), 0);
    WinUSBWrap wrap;
    std::vector<std::string> paths = Scan(wrap);
    ASSERT_EQ(paths.size(), 4u);
    EXPECT_EQ(paths[0], DefaultPath(0x1A2B, 10550, "SN12345"));
    EXPECT_EQ(paths[3], "\\\\?\\usb#mixed&case#{56ac4e2c-9d3b-4a6c-bf25-b3bd6e44fc00}");

    for (const std::string &path : paths) {
        HANDLE device = nullptr;
        WINUSB_INTERFACE_HANDLE usb = nullptr;
        ASSERT_TRUE(wrap.CreateDeviceHandles(path, device, usb)) << path;
        UCHAR in = 0, out = 0;
        EXPECT_TRUE(wrap.GetPipeIDs(usb, in, out));
        EXPECT_EQ(in, 0x81);
        EXPECT_EQ(out, 0x02);
        USB_DEVICE_DESCRIPTOR descriptor{};
        EXPECT_TRUE(wrap.GetDeviceDescriptor(usb, descriptor));
        EXPECT_EQ(descriptor.bLength, 18);
        EXPECT_EQ(ostrel_sim_open_handles(), 2);
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
    std::vector<std::string> paths = Scan(wrap);
    EXPECT_EQ(paths, (std::vector<std::string>{DefaultPath(6699, 1, "a"), DefaultPath(6699, 1, "b"),
                                               DefaultPath(6699, 1, "d")}));
    EXPECT_EQ(CountLog(docs, "GetDevicePaths: SetupDiEnumDeviceInterfaces returned an error at index 2"), 1);
    EXPECT_EQ(CountLog(docs, "GetLastError = A device attached to the system is not functioning.\r"), 1);

    // Failures of the two-call detail protocol cost their index too: the size
    // query, then the fetch of the record.
    Fault("SetupDiGetDeviceInterfaceDetailA", ERROR_GEN_FAILURE, 0);
    EXPECT_EQ(Scan(wrap).size(), 3u);
    EXPECT_EQ(CountLog(docs, "GetDevicePaths: Could not get the required size of the DeviceInterfaceDetailData buffer."),
              1);
    Fault("SetupDiGetDeviceInterfaceDetailA", ERROR_GEN_FAILURE, 1);
    EXPECT_EQ(Scan(wrap).size(), 3u);
    EXPECT_EQ(CountLog(docs, "GetDevicePaths: Could not get the device interface detail information."), 1);
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

TEST(WinUSBWrap, OpenFailuresNameTheirReason)
{
    const std::string docs = UseTempDocuments();
    ASSERT_GE(ostrel_sim_plug(Instrument("A").c_str()), 0);
    WinUSBWrap wrap;
    const std::string path = Scan(wrap).at(0);
    HANDLE device = nullptr;
    WINUSB_INTERFACE_HANDLE usb = nullptr;

    Fault("CreateFileA", ERROR_DEV_NOT_EXIST);
    EXPECT_FALSE(wrap.CreateDeviceHandles(path, device, usb));
    EXPECT_EQ(CountLog(docs, "CreateDeviceHandles: Could not create a handle to the device (" + path +
                                 ") because the driver is not installed."),
              1);

    EXPECT_FALSE(wrap.CreateDeviceHandles(path + "-gone", device, usb));
    EXPECT_EQ(CountLog(docs, "CreateDeviceHandles: Could not create a handle to the device (" + path +
                                 "-gone) because the device is not connected."),
              1);
    EXPECT_EQ(CountLog(docs, "GetLastError = The system cannot find the file specified.\r"), 1);

    Fault("WinUsb_Initialize", ERROR_GEN_FAILURE);
    EXPECT_FALSE(wrap.CreateDeviceHandles(path, device, usb));
    EXPECT_EQ(CountLog(docs, "CreateDeviceHandles: Could not initialize WinUSB for device (" + path + ")."), 1);
    EXPECT_EQ(ostrel_sim_open_handles(), 0) << "the device handle is closed again";
}

TEST(WinUSBWrap, FailedFreeStillClosesTheDeviceHandle)
{
    const std::string docs = UseTempDocuments();
    ASSERT_GE(ostrel_sim_plug(Instrument("A").c_str()), 0);
    WinUSBWrap wrap;
    HANDLE device = nullptr;
    WINUSB_INTERFACE_HANDLE usb = nullptr;
    ASSERT_TRUE(wrap.CreateDeviceHandles(Scan(wrap).at(0), device, usb));
    Fault("WinUsb_Free", ERROR_INVALID_HANDLE);
    EXPECT_FALSE(wrap.CloseDeviceHandles(device, usb));
    EXPECT_EQ(CountLog(docs, "CloseDeviceHandles: Could not close the device handles."), 1);
    EXPECT_EQ(CountLog(docs, "GetLastError = The handle is invalid.\r"), 1);
    EXPECT_EQ(ostrel_sim_open_handles(), 0);
}

TEST(WinUSBWrap, PipeSelectionTakesBulkPipesAndTheLastOfADirection)
{
    UseTempDocuments();
    ASSERT_GE(ostrel_sim_plug(Instrument("A", R"(, "endpoints": [{"address": 129, "type": "bulk"},
        {"address": 2, "type": "bulk"}, {"address": 131, "type": "interrupt"}])")
                                  .c_str()),
              0);
    ASSERT_GE(ostrel_sim_plug(Instrument("B", R"(, "endpoints": [{"address": 129, "type": "bulk"},
        {"address": 130, "type": "bulk"}, {"address": 1, "type": "bulk"}])")
                                  .c_str()),
              0);
    ASSERT_GE(ostrel_sim_plug(Instrument("C", R"(, "endpoints": [{"address": 131, "type": "interrupt"}])").c_str()),
              0);
    WinUSBWrap wrap;
    std::vector<std::string> paths = Scan(wrap);
    ASSERT_EQ(paths.size(), 3u);
    const UCHAR expected[3][2] = {{0x81, 0x02}, {0x82, 0x01}, {0x11, 0x22}};
    for (size_t i = 0; i < paths.size(); ++i) {
        HANDLE device = nullptr;
        WINUSB_INTERFACE_HANDLE usb = nullptr;
        ASSERT_TRUE(wrap.CreateDeviceHandles(paths[i], device, usb));
        UCHAR in = 0x11, out = 0x22; // kept where no bulk pipe of that direction exists
        EXPECT_TRUE(wrap.GetPipeIDs(usb, in, out));
        EXPECT_EQ(in, expected[i][0]) << i;
        EXPECT_EQ(out, expected[i][1]) << i;
        wrap.CloseDeviceHandles(device, usb);
    }
    EXPECT_EQ(ostrel_sim_open_handles(), 0);
}

TEST(WinUSBWrap, ShortDescriptorAndReadTimeOutFailWithTheirLines)
{
    const std::string docs = UseTempDocuments();
    ASSERT_GE(ostrel_sim_plug(Instrument("A", R"(, "descriptor_length": 12, "replies": {"PING": "PONG\n"})").c_str()),
              0);
    WinUSBWrap wrap;
    HANDLE device = nullptr;
    WINUSB_INTERFACE_HANDLE usb = nullptr;
    ASSERT_TRUE(wrap.CreateDeviceHandles(Scan(wrap).at(0), device, usb));

    USB_DEVICE_DESCRIPTOR descriptor{};
    EXPECT_FALSE(wrap.GetDeviceDescriptor(usb, descriptor));
    EXPECT_EQ(CountLog(docs, "GetDeviceDescriptor: Could not get WinUSB device descriptor."), 1);
    EXPECT_EQ(CountLog(docs, "GetDeviceDescriptor: Transfer length (12) was not equal to size of device descriptor (18)."),
              1);

    ULONG timeoutMs = 50;
    EXPECT_TRUE(wrap.SetPipePolicy(usb, 0x81, PIPE_TRANSFER_TIMEOUT, sizeof timeoutMs, &timeoutMs));
    char ping[] = "PING\r";
    ULONG moved = 0;
    ASSERT_TRUE(wrap.WritePipe(usb, 0x02, reinterpret_cast<PUCHAR>(ping), 5, moved));
    EXPECT_EQ(moved, 5u);
    unsigned char reply[8];
    ASSERT_TRUE(wrap.ReadPipe(usb, 0x81, reply, 2, moved));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(reply), moved), "PO");
    ASSERT_TRUE(wrap.ReadPipe(usb, 0x81, reply, sizeof reply, moved));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(reply), moved), "NG\n") << "the rest stays for the next read";

    moved = 7;
    EXPECT_FALSE(wrap.ReadPipe(usb, 0x81, reply, sizeof reply, moved));
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(CountLog(docs, "ReadPipe: Could not perform a read pipe operation."), 1);
    EXPECT_EQ(CountLog(docs, "GetLastError = The semaphore timeout period has expired.\r"), 1);

    EXPECT_FALSE(wrap.SetPipePolicy(usb, 0x05, PIPE_TRANSFER_TIMEOUT, sizeof timeoutMs, &timeoutMs));
    EXPECT_EQ(CountLog(docs, "SetPipePolicy: Could not set the pipe policy."), 1);
    wrap.CloseDeviceHandles(device, usb);
    EXPECT_EQ(ostrel_sim_open_handles(), 0);
}
