// SetupAPI and WinUSB over the bench: what the core relies on that the transport's tests (winusbwrap_test)
// cannot see: record sizes, the detail's exact size, handles after their release, and time-outs per pipe.
#include "unit/sim_session.h"

#include <cstddef>
#include <cstdint>

namespace ostrel::test {
namespace {

const char kPathA[] = "\\\\?\\USB#VID_1A2B&PID_0001#A#{56AC4E2C-9D3B-4A6C-BF25-B3BD6E44FC00}";
const GUID kOther = {0x12345678, 0x1, 0x2, {1, 2, 3, 4, 5, 6, 7, 8}};

template <typename T> DWORD ErrorOf(T result) { return result ? 0 : GetLastError(); } // 0: the call succeeded

void Fault(const char *json) { ASSERT_EQ(ostrel_sim_inject_fault(json), 0) << json << ostrel_sim_last_error(); }

using SetupApiTest = BenchTest;
using WinUsbTest = BenchTest;

TEST_F(SetupApiTest, RecordsAreCheckedByCbSizeAndTheDetailNeedsExactlyTheSizeItGives)
{
    EXPECT_EQ(ErrorOf(SetupDiGetClassDevsA(&kOther, nullptr, nullptr, DIGCF_DEVICEINTERFACE) != INVALID_HANDLE_VALUE),
              ERROR_NOT_FOUND); // a class unknown to the system, unlike one with nothing present
    Plug(R"({"vid": 6699, "pid": 1, "serial": "A"})");
    const int second = Plug(R"({"vid": 6699, "pid": 2})");
    HDEVINFO set = SetupDiGetClassDevsA(&kInstrumentClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_EQ(ostrel_sim_unplug(second), 0); // a set is a snapshot, which this does not shorten
    SP_DEVICE_INTERFACE_DATA data{sizeof data - 4, {}, 0, 0};
    auto enumerate = [&](DWORD index, const GUID &interfaceClass = kInstrumentClass) {
        return ErrorOf(SetupDiEnumDeviceInterfaces(set, nullptr, &interfaceClass, index, &data));
    };
    EXPECT_EQ(enumerate(0), ERROR_INVALID_USER_BUFFER);
    data.cbSize = 32;
    EXPECT_EQ(enumerate(1), 0u);
    EXPECT_EQ(enumerate(2), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(enumerate(0, kOther), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(enumerate(0), 0u);

    uint64_t block[40]; // aligned as LocalAlloc's would be
    auto *detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(block);
    auto fetch = [&](DWORD size, DWORD *required = nullptr, SP_DEVICE_INTERFACE_DATA *record = nullptr) {
        return ErrorOf(SetupDiGetDeviceInterfaceDetailA(set, record ? record : &data, size ? detail : nullptr, size,
                                                        required, nullptr));
    };
    DWORD required = 0;
    EXPECT_EQ(fetch(0, &required), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(required, offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + sizeof kPathA);
    detail->cbSize = required; // the classic mistake: the whole buffer's size instead of the fixed part's
    EXPECT_EQ(fetch(required), ERROR_INVALID_USER_BUFFER);
    detail->cbSize = 8;
    EXPECT_EQ(fetch(required - 1), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(fetch(required), 0u);
    EXPECT_STREQ(detail->DevicePath, kPathA);
    SP_DEVICE_INTERFACE_DATA blank{32, {}, 0, 0}; // never filled by an enumeration, so it names no interface
    EXPECT_EQ(fetch(required, nullptr, &blank), ERROR_INVALID_PARAMETER);
    data.cbSize = 0;
    EXPECT_EQ(fetch(required), ERROR_INVALID_USER_BUFFER);

    Fault(R"({"call": "SetupDiDestroyDeviceInfoList", "error": 5, "times": 1})");
    EXPECT_EQ(ErrorOf(SetupDiDestroyDeviceInfoList(set)), 5u); // failing, it destroys all the same
    EXPECT_EQ(ErrorOf(SetupDiDestroyDeviceInfoList(set)), ERROR_INVALID_HANDLE);
    EXPECT_EQ(enumerate(0), ERROR_INVALID_HANDLE);

    Fault(R"({"call": "SetupDiGetClassDevsA", "error": 5})"); // with no end, until a reset
    EXPECT_TRUE(PresentPaths().empty());
    ostrel_sim_reset();
    Plug(R"({"vid": 6699, "pid": 1})");
    EXPECT_EQ(PresentPaths().size(), 1u);
}

TEST_F(WinUsbTest, ReleasedAndWrongHandlesAreInvalidAndEachPipeKeepsItsOwnTimeOut)
{
    const int slot = Plug(R"({"vid": 6699, "pid": 1, "serial": "A", "reply_delay_ms": 1000, "replies": {"X?": "1\r\n"},
        "endpoints": [{"address": 129, "type": "bulk"}, {"address": 2, "type": "bulk"},
                      {"address": 130, "type": "bulk"}]})");
    HDEVINFO set = SetupDiGetClassDevsA(&kInstrumentClass, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
    WINUSB_INTERFACE_HANDLE usb = nullptr;
    EXPECT_EQ(ErrorOf(WinUsb_Initialize(set, &usb)), ERROR_INVALID_HANDLE); // a handle of the wrong kind
    EXPECT_EQ(ErrorOf(WinUsb_Free(set)), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));

    Session session(kPathA);
    // A reply comes on whichever IN pipe is read, each waiting as long as its own policy says.
    ASSERT_TRUE(session.SetTimeout(0x81, 20));
    ASSERT_TRUE(session.SetTimeout(0x82, 60000));
    ASSERT_EQ(session.Write("X?\r"), ERROR_SUCCESS);
    EXPECT_EQ(session.Read(64, 0x81), Error(ERROR_SEM_TIMEOUT));
    EXPECT_EQ(session.Read(64, 0x82), "1\r\n");
    EXPECT_EQ(session.Write("X?", 0x81), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(session.Read(64, 0x02), Error(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(session.Read(64, 0x85), Error(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ErrorOf(session.SetTimeout(0x85, 50)), ERROR_INVALID_PARAMETER);
    uint16_t shortValue = 50;
    EXPECT_EQ(ErrorOf(WinUsb_SetPipePolicy(session.usb, 0x81, PIPE_TRANSFER_TIMEOUT, sizeof shortValue, &shortValue)),
              ERROR_INVALID_PARAMETER);

    Fault(R"({"call": "WinUsb_WritePipe", "error": 31, "times": 1})");
    EXPECT_EQ(session.Write("X?\r"), 31u);
    char received[16];
    EXPECT_EQ(ostrel_sim_received(slot, received, sizeof received), 3); // the failed write never reached it
    Fault(R"({"call": "WinUsb_Free", "error": 31, "times": 1})");
    EXPECT_EQ(ErrorOf(WinUsb_Free(session.usb)), 31u); // failing, it releases all the same
    EXPECT_EQ(ostrel_sim_open_handles(), 1);
    EXPECT_EQ(session.Write("X?\r"), ERROR_INVALID_HANDLE);
    EXPECT_EQ(ErrorOf(WinUsb_Free(session.usb)), ERROR_INVALID_HANDLE);

    // A handle opened before an unplug stays counted until closed, and refuses the instrument's calls.
    ASSERT_EQ(ostrel_sim_unplug(slot), 0);
    EXPECT_EQ(ErrorOf(WinUsb_Initialize(session.file, &usb)), ERROR_BAD_COMMAND);
    EXPECT_EQ(ostrel_sim_open_handles(), 1);
}

} // namespace
} // namespace ostrel::test
