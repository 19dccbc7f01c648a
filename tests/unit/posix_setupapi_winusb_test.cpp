// SetupAPI, CreateFileA and WinUSB over the bench: the results and error codes the core relies on.
#include "unit/sim_session.h"

#include <cctype>
#include <cstddef>
#include <cstring>

namespace ostrel::test {
namespace {

const char kDefaultPathA[] = "\\\\?\\USB#VID_1A2B&PID_0001#A#{56AC4E2C-9D3B-4A6C-BF25-B3BD6E44FC00}";

using SetupApiTest = BenchTest;
using WinUsbTest = BenchTest;

TEST_F(SetupApiTest, ListsPresentInterfacesInPlugOrderAndTellsNoneFromUnknownClass)
{
    const DWORD present = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;
    EXPECT_EQ(SetupDiGetClassDevsA(&kInstrumentClass, nullptr, nullptr, present), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    // Nothing present, but the class is known: "device not connected", not "driver not installed".
    HDEVINFO known = SetupDiGetClassDevsA(&kInstrumentClass, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
    ASSERT_NE(known, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(known));
    const GUID other = {0x12345678, 0x1, 0x2, {1, 2, 3, 4, 5, 6, 7, 8}};
    EXPECT_EQ(SetupDiGetClassDevsA(&other, nullptr, nullptr, DIGCF_DEVICEINTERFACE), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);

    Plug(R"({"vid": 6699, "pid": 2, "serial": "B"})");
    int middle = Plug(R"({"vid": 6699, "pid": 1, "serial": "A"})");
    int last = Plug(R"({"vid": 6699, "pid": 3, "path": "\\\\?\\usb#custom"})");
    std::vector<std::string> paths = PresentPaths();
    ASSERT_EQ(paths.size(), 3u);
    EXPECT_EQ(paths[0], "\\\\?\\USB#VID_1A2B&PID_0002#B#{56AC4E2C-9D3B-4A6C-BF25-B3BD6E44FC00}");
    EXPECT_EQ(paths[1], kDefaultPathA);
    EXPECT_EQ(paths[2], "\\\\?\\usb#custom");

    // A set is a snapshot: an unplug after it was made does not shorten it.
    HDEVINFO set = SetupDiGetClassDevsA(&kInstrumentClass, nullptr, nullptr, present);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    ASSERT_EQ(ostrel_sim_unplug(middle), 0);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    EXPECT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kInstrumentClass, 2, &data));
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kInstrumentClass, 3, &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &other, 0, &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    paths = PresentPaths();
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_EQ(paths[1], "\\\\?\\usb#custom");
    ASSERT_EQ(ostrel_sim_unplug(last), 0);
    // A default serial names the slot.
    int slot = Plug(R"({"vid": 6699, "pid": 4})");
    EXPECT_EQ(PresentPaths().back(), "\\\\?\\USB#VID_1A2B&PID_0004#SIM" + std::to_string(slot) +
                                         "#{56AC4E2C-9D3B-4A6C-BF25-B3BD6E44FC00}");
}

TEST_F(SetupApiTest, DetailFollowsTheTwoCallProtocolAndChecksEveryCbSize)
{
    Plug(R"({"vid": 6699, "pid": 1, "serial": "A"})");
    HDEVINFO set = SetupDiGetClassDevsA(&kInstrumentClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data - 4;
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kInstrumentClass, 0, &data));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);
    data.cbSize = 32;
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kInstrumentClass, 0, &data));

    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(required, offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + std::strlen(kDefaultPathA) + 1);

    std::vector<uint64_t> block(required / 8 + 1);
    auto *detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(block.data());
    // The classic mistake: cbSize set to the whole buffer instead of the fixed part.
    detail->cbSize = required;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);
    detail->cbSize = 8;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required - 1, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr));
    EXPECT_STREQ(detail->DevicePath, kDefaultPathA);

    data.cbSize = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);
    // A record never filled by SetupDiEnumDeviceInterfaces names no interface.
    SP_DEVICE_INTERFACE_DATA blank{};
    blank.cbSize = 32;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &blank, detail, required, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(WinUsbTest, HandlesAreCountedUntilClosedAlsoAfterUnplug)
{
    int slot = Plug(R"({"vid": 6699, "pid": 1, "serial": "A"})");
    std::string lower = kDefaultPathA;
    for (char &c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    {
        Session session(lower); // Windows compares interface paths without case
        EXPECT_EQ(ostrel_sim_open_handles(), 2);
    }
    EXPECT_EQ(ostrel_sim_open_handles(), 0);

    EXPECT_EQ(CreateFileA("\\\\?\\usb#nothing", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    HDEVINFO set = SetupDiGetClassDevsA(&kInstrumentClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    WINUSB_INTERFACE_HANDLE usb = nullptr;
    EXPECT_FALSE(WinUsb_Initialize(set, &usb)); // a handle of the wrong kind
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(WinUsb_Free(set));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));

    Session session(kDefaultPathA);
    HANDLE second = CreateFileA(kDefaultPathA, GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ostrel_sim_open_handles(), 3);
    ASSERT_EQ(ostrel_sim_unplug(slot), 0);
    EXPECT_EQ(ostrel_sim_open_handles(), 3);
    EXPECT_FALSE(WinUsb_Initialize(second, &usb));
    EXPECT_EQ(GetLastError(), ERROR_BAD_COMMAND);
    EXPECT_EQ(CreateFileA(kDefaultPathA, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(session.Write("*IDN?\r"), ERROR_BAD_COMMAND);
    EXPECT_TRUE(CloseHandle(second));
    session.Close();
    EXPECT_EQ(ostrel_sim_open_handles(), 0);
}

TEST_F(WinUsbTest, ReportsEndpointsDescriptorAndRefusesWrongPipes)
{
    Plug(R"({"vid": 6699, "pid": 258, "serial": "A", "descriptor_length": 12,
             "replies": {"X?": "1\r\n"},
             "endpoints": [{"address": 129, "type": "bulk"}, {"address": 2, "type": "bulk"},
                           {"address": 131, "type": "interrupt"}, {"address": 130, "type": "bulk"}]})");
    Session session(PresentPaths().at(0));
    USB_INTERFACE_DESCRIPTOR interface{};
    ASSERT_TRUE(WinUsb_QueryInterfaceSettings(session.usb, 0, &interface));
    EXPECT_EQ(interface.bNumEndpoints, 4);
    EXPECT_FALSE(WinUsb_QueryInterfaceSettings(session.usb, 1, &interface));
    const std::pair<USBD_PIPE_TYPE, UCHAR> expected[] = {
        {UsbdPipeTypeBulk, 0x81}, {UsbdPipeTypeBulk, 0x02}, {UsbdPipeTypeInterrupt, 0x83}, {UsbdPipeTypeBulk, 0x82}};
    WINUSB_PIPE_INFORMATION pipe{};
    for (UCHAR i = 0; i < 4; ++i) {
        ASSERT_TRUE(WinUsb_QueryPipe(session.usb, 0, i, &pipe));
        EXPECT_EQ(pipe.PipeType, expected[i].first);
        EXPECT_EQ(pipe.PipeId, expected[i].second);
    }
    EXPECT_FALSE(WinUsb_QueryPipe(session.usb, 0, 4, &pipe));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);

    uint8_t descriptor[18] = {};
    ULONG length = 0;
    ASSERT_TRUE(WinUsb_GetDescriptor(session.usb, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, descriptor, 18, &length));
    EXPECT_EQ(length, 12u);
    EXPECT_EQ(descriptor[0], 18);
    EXPECT_EQ(descriptor[1], 1);
    const uint8_t ids[] = {0x2B, 0x1A, 0x02, 0x01};
    EXPECT_EQ(std::memcmp(descriptor + 8, ids, 4), 0);

    // Replies come on whichever IN pipe is read: the core takes the last bulk IN.
    ASSERT_TRUE(session.SetTimeout(0x82, 50));
    ASSERT_EQ(session.Write("X?\r"), ERROR_SUCCESS);
    std::string reply;
    EXPECT_EQ(session.Read(reply, 64, 0x82), ERROR_SUCCESS);
    EXPECT_EQ(reply, "1\r\n");
    EXPECT_EQ(session.Write("X?", 0x81), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(session.Read(reply, 64, 0x02), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(session.Read(reply, 64, 0x85), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(session.SetTimeout(0x85, 50));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    uint16_t shortValue = 50;
    EXPECT_FALSE(WinUsb_SetPipePolicy(session.usb, 0x81, PIPE_TRANSFER_TIMEOUT, sizeof shortValue, &shortValue));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(WinUsbTest, InjectedFaultsHonourAfterAndTimesAndReleasesStillRelease)
{
    int slot = Plug(R"({"vid": 6699, "pid": 1, "replies": {"A?": "a"}})");
    Session session(PresentPaths().at(0));
    ASSERT_EQ(ostrel_sim_inject_fault(R"({"call": "WinUsb_WritePipe", "error": 31, "after": 1, "times": 2})"), 0);
    std::vector<DWORD> results;
    for (int i = 0; i < 4; ++i)
        results.push_back(session.Write("A?"));
    EXPECT_EQ(results, (std::vector<DWORD>{ERROR_SUCCESS, 31, 31, ERROR_SUCCESS}));
    char received[16] = {};
    EXPECT_EQ(ostrel_sim_received(slot, received, sizeof received), 4); // failed writes never reached it

    ASSERT_EQ(ostrel_sim_inject_fault(R"({"call": "WinUsb_ReadPipe", "error": 121})"), 0);
    std::string reply;
    EXPECT_EQ(session.Read(reply), ERROR_SEM_TIMEOUT);
    EXPECT_EQ(session.Read(reply), ERROR_SEM_TIMEOUT); // times 0: from then on

    ASSERT_EQ(ostrel_sim_inject_fault(R"({"call": "WinUsb_Free", "error": 31})"), 0);
    ASSERT_EQ(ostrel_sim_inject_fault(R"({"call": "SetupDiDestroyDeviceInfoList", "error": 5})"), 0);
    EXPECT_FALSE(WinUsb_Free(session.usb));
    EXPECT_EQ(GetLastError(), 31u);
    session.usb = nullptr;
    EXPECT_EQ(ostrel_sim_open_handles(), 1);
    HDEVINFO set = SetupDiGetClassDevsA(&kInstrumentClass, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), 5u);
    EXPECT_EQ(SetupDiGetDeviceInterfaceDetailA(set, nullptr, nullptr, 0, nullptr, nullptr), FALSE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE); // destroyed all the same

    EXPECT_EQ(ostrel_sim_inject_fault(R"({"call": "WinUsb_Frobnicate", "error": 31})"), -1);
    EXPECT_NE(std::string(ostrel_sim_last_error()).find("WinUsb_Frobnicate"), std::string::npos);
    for (const char *bad : {"", "[]", R"({"call": "WinUsb_Free"})", R"({"call": 3, "error": 1})",
                            R"({"call": "WinUsb_Free", "error": -1})", R"({"call": "WinUsb_Free", "error": 1, "times": "2"})"}) {
        EXPECT_EQ(ostrel_sim_inject_fault(bad), -1) << bad;
        EXPECT_STRNE(ostrel_sim_last_error(), "") << bad;
    }
    EXPECT_EQ(ostrel_sim_inject_fault(nullptr), -1);

    ostrel_sim_reset(); // clears the faults
    set = SetupDiGetClassDevsA(&kInstrumentClass, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

} // namespace
} // namespace ostrel::test
