// Helpers for the bench tests: plugging, listing and opening instruments through the Windows-named calls.
#pragma once

#include "ostrel_sim.h"
#include "platform/winapi.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ostrel::test {

inline const GUID kInstrumentClass = {0x56AC4E2C, 0x9D3B, 0x4A6C, {0xBF, 0x25, 0xB3, 0xBD, 0x6E, 0x44, 0xFC, 0x00}};

// The bench starts and ends every test empty, with no handle left open.
struct BenchTest : ::testing::Test {
    void SetUp() override { ostrel_sim_reset(); }
    void TearDown() override { ostrel_sim_reset(); EXPECT_EQ(ostrel_sim_open_handles(), 0); }
};

inline int Plug(const std::string &json)
{
    const int slot = ostrel_sim_plug(json.c_str());
    EXPECT_GE(slot, 0) << json << ": " << ostrel_sim_last_error();
    return slot;
}

inline std::string Error(DWORD code) { return "error " + std::to_string(code); }

inline std::vector<std::string> PresentPaths()
{
    std::vector<std::string> paths;
    HDEVINFO set = SetupDiGetClassDevsA(&kInstrumentClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA data{sizeof data, {}, 0, 0};
    struct { SP_DEVICE_INTERFACE_DETAIL_DATA_A head; char path[300]; } detail; // aligned as LocalAlloc's would be
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &kInstrumentClass, i, &data); ++i) {
        detail.head.cbSize = sizeof detail.head;
        EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &data, &detail.head, sizeof detail, nullptr, nullptr));
        paths.push_back(detail.head.DevicePath);
    }
    SetupDiDestroyDeviceInfoList(set);
    return paths;
}

struct Session { // a device handle and a WinUSB handle on one instrument, as the core holds them
    HANDLE file;
    WINUSB_INTERFACE_HANDLE usb = nullptr;

    explicit Session(const std::string &path)
        : file(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr))
    { EXPECT_TRUE(file != INVALID_HANDLE_VALUE && WinUsb_Initialize(file, &usb)) << path << ": " << GetLastError(); }
    ~Session() { WinUsb_Free(usb), CloseHandle(file); } // BenchTest checks that they closed

    bool SetTimeout(UCHAR pipe, ULONG ms) { return WinUsb_SetPipePolicy(usb, pipe, PIPE_TRANSFER_TIMEOUT, 4, &ms); }

    DWORD Write(std::string data, UCHAR pipe = 0x02) // ERROR_SUCCESS once all is written, or the last error
    {
        ULONG n = 0;
        const bool ok = WinUsb_WritePipe(usb, pipe, PUCHAR(&data[0]), ULONG(data.size()), &n, nullptr);
        return !ok ? GetLastError() : n == data.size() ? ERROR_SUCCESS : ERROR_GEN_FAILURE;
    }

    std::string Read(ULONG length = 64, UCHAR pipe = 0x81) // the bytes read, or Error() of the last error
    {
        std::string bytes(length, '\0');
        ULONG count = 0xDEAD; // a failed read must report none
        const bool ok = WinUsb_ReadPipe(usb, pipe, reinterpret_cast<PUCHAR>(&bytes[0]), length, &count, nullptr);
        return ok ? bytes.substr(0, count) : Error(GetLastError()) + (count == 0 ? "" : " with bytes");
    }
};

} // namespace ostrel::test
