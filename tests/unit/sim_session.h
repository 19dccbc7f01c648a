// Helpers for the bench tests: plugging, listing and opening instruments through the Windows-named calls.
#pragma once

#include "ostrel_sim.h"
#include "platform/winapi.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ostrel::test {

inline const GUID kInstrumentClass = {0x56AC4E2C, 0x9D3B, 0x4A6C, {0xBF, 0x25, 0xB3, 0xBD, 0x6E, 0x44, 0xFC, 0x00}};

// The bench starts and ends every test empty, with no handle left open.
class BenchTest : public ::testing::Test {
protected:
    void SetUp() override { ostrel_sim_reset(); }
    void TearDown() override
    {
        ostrel_sim_reset();
        EXPECT_EQ(ostrel_sim_open_handles(), 0);
    }
};

inline int Plug(const std::string &json)
{
    int slot = ostrel_sim_plug(json.c_str());
    EXPECT_GE(slot, 0) << json << ": " << ostrel_sim_last_error();
    return slot;
}

// The present interface paths, the way the core reads them.
inline std::vector<std::string> PresentPaths()
{
    std::vector<std::string> paths;
    HDEVINFO set = SetupDiGetClassDevsA(&kInstrumentClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return paths;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD index = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &kInstrumentClass, index, &data); ++index) {
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr);
        std::vector<uint64_t> block((required + 7) / 8); // aligned as LocalAlloc's would be
        auto *detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(block.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr));
        paths.push_back(detail->DevicePath);
    }
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    return paths;
}

// A device handle and a WinUSB handle on one instrument, as the core holds them.
struct Session {
    HANDLE file = INVALID_HANDLE_VALUE;
    WINUSB_INTERFACE_HANDLE usb = nullptr;

    explicit Session(const std::string &path)
    {
        file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
        EXPECT_NE(file, INVALID_HANDLE_VALUE) << path << ": error " << GetLastError();
        if (file != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(WinUsb_Initialize(file, &usb)) << "error " << GetLastError();
        }
    }
    ~Session() { Close(); }
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    void Close()
    {
        if (usb != nullptr) {
            EXPECT_TRUE(WinUsb_Free(usb));
        }
        if (file != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(file));
        }
        usb = nullptr;
        file = INVALID_HANDLE_VALUE;
    }

    bool SetTimeout(UCHAR pipe, uint32_t milliseconds)
    {
        return WinUsb_SetPipePolicy(usb, pipe, PIPE_TRANSFER_TIMEOUT, sizeof milliseconds, &milliseconds);
    }

    // ERROR_SUCCESS, or the call's last error.
    DWORD Write(const std::string &bytes, UCHAR pipe = 0x02)
    {
        ULONG written = 0;
        std::string copy = bytes;
        if (!WinUsb_WritePipe(usb, pipe, reinterpret_cast<PUCHAR>(copy.data()), static_cast<ULONG>(copy.size()),
                              &written, nullptr))
            return GetLastError();
        EXPECT_EQ(written, bytes.size());
        return ERROR_SUCCESS;
    }

    DWORD Read(std::string &bytes, ULONG length = 64, UCHAR pipe = 0x81)
    {
        bytes.assign(length, '\0');
        ULONG count = 0xDEAD;
        BOOL ok = WinUsb_ReadPipe(usb, pipe, reinterpret_cast<PUCHAR>(bytes.data()), length, &count, nullptr);
        DWORD error = ok ? ERROR_SUCCESS : GetLastError();
        EXPECT_TRUE(ok || count == 0) << "a failed read reports " << count << " bytes";
        bytes.resize(ok ? count : 0);
        return error;
    }
};

} // namespace ostrel::test
