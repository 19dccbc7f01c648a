// Windows' contracts that the test-only setupapi.dll, winusb.dll and device notifications must keep, checked from
// outside, so that the end-to-end suite cannot pass on a stand-in that is kinder than Windows.
#include "Scenario.h"

#include <windows.h>
#include <dbt.h>
#include <setupapi.h>
#include <winusb.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

using namespace ostrel::scenario;

const GUID kInstruments = {0x56AC4E2C, 0x9D3B, 0x4A6C, {0xBF, 0x25, 0xB3, 0xBD, 0x6E, 0x44, 0xFC, 0x00}};
const DWORD kPresent = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;
const char kMeter[] = R"({"vid": 6699, "pid": 10550, "serial": "SN12345"})";

HANDLE OpenAsTheLibraryDoes(const std::string &path, DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED)
{
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, flags, nullptr);
}

std::string Outcome(BOOL ok) // a call's result and last error, as one value to compare
{ const DWORD error = GetLastError(); return ok ? "TRUE" : "FALSE, error " + std::to_string(error); }
#define CHECK_CALL(call, outcome, what) CHECK_EQ(Outcome(call), std::string(outcome), what)

std::string PresentPath(DWORD index) // "" when there is none
{
    HDEVINFO set = SetupDiGetClassDevsA(&kInstruments, nullptr, nullptr, kPresent);
    SP_DEVICE_INTERFACE_DATA data{sizeof data, {}, 0, 0};
    struct { SP_DEVICE_INTERFACE_DETAIL_DATA_A head; char path[MAX_PATH]; } detail{{sizeof detail.head, {}}, {}};
    const bool found = SetupDiEnumDeviceInterfaces(set, nullptr, &kInstruments, index, &data) &&
                       SetupDiGetDeviceInterfaceDetailA(set, &data, &detail.head, sizeof detail, nullptr, nullptr);
    SetupDiDestroyDeviceInfoList(set);
    return found ? detail.head.DevicePath : "";
}

SCENARIO("shim-setupapi", SetupApiContract)
{
    SP_DEVICE_INTERFACE_DATA data{sizeof data, {}, 0, 0};
    HDEVINFO set = SetupDiGetClassDevsA(&kInstruments, nullptr, nullptr, kPresent);
    auto enumerate = [&](DWORD i) { return SetupDiEnumDeviceInterfaces(set, nullptr, &kInstruments, i, &data); };
    CHECK(set != INVALID_HANDLE_VALUE && !enumerate(0) && GetLastError() == ERROR_NO_MORE_ITEMS, "none: a set, empty");
    SetupDiDestroyDeviceInfoList(set);

    REQUIRE(PlugBench());
    set = SetupDiGetClassDevsA(&kInstruments, nullptr, nullptr, kPresent);
    data.cbSize = sizeof data - 1;
    CHECK_CALL(enumerate(0), "FALSE, error 1784", "an interface record whose cbSize is not 32 is refused");
    data.cbSize = sizeof data;
    CHECK_CALL(enumerate(3), "FALSE, error 259", "index 3 ends the list with ERROR_NO_MORE_ITEMS");
    REQUIRE(CHECK_CALL(enumerate(0), "TRUE", "index 0 is the first instrument"));

    DWORD required = 0;
    CHECK_CALL(SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr), "FALSE, error 122",
               "the first detail call gives ERROR_INSUFFICIENT_BUFFER");
    std::vector<char> block(required + sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)); // room also when it is wrong
    auto *detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(block.data());
    auto fetch = [&](DWORD cbSize, DWORD size) { // the detail record's cbSize, then the buffer's size
        return detail->cbSize = cbSize, SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, nullptr);
    };
    CHECK_CALL(fetch(required, required), "FALSE, error 1784", "cbSize set to the whole buffer is refused: 8 on x64");
    CHECK_CALL(fetch(sizeof *detail, required - 1), "FALSE, error 122", "a buffer one byte short is too small");
    CHECK_CALL(fetch(sizeof *detail, required), "TRUE", "the buffer of the size given is filled");
    CHECK_EQ(size_t{required}, detail->DevicePath - block.data() + std::strlen(detail->DevicePath) + 1,
             "the size asked for: the record with the path and its NUL, exactly");

    CHECK_CALL(SetupDiDestroyDeviceInfoList(set), "TRUE", "the set is destroyed");
    CHECK_CALL(SetupDiDestroyDeviceInfoList(set), "FALSE, error 6", "a destroyed set is an invalid handle");
    CHECK_CALL(enumerate(0), "FALSE, error 6", "also to the enumeration");
}

// What the library's own use cannot show: the calls it must not make, and the handles after a removal.
SCENARIO("shim-winusb-and-device-paths", WinUsbContract)
{
    const int slot = ostrel_sim_plug(kMeter);
    const std::string path = PresentPath(0);
    HANDLE device = OpenAsTheLibraryDoes(path);
    REQUIRE(CHECK(slot >= 0 && device != INVALID_HANDLE_VALUE, "CreateFileA opens the path with the library's flags"));
    WINUSB_INTERFACE_HANDLE usb = nullptr, refused = nullptr;
    REQUIRE(CHECK_CALL(WinUsb_Initialize(device, &usb), "TRUE", "WinUsb_Initialize takes it"));
    ULONG moved = 0;
    UCHAR command[] = "*IDN?\r", reply[64];
    CHECK_CALL(WinUsb_ReadPipe(usb, 0x02, reply, sizeof reply, &moved, nullptr), "FALSE, error 87",
               "a read on the OUT pipe is refused");
    HANDLE synchronous = OpenAsTheLibraryDoes(path, FILE_ATTRIBUTE_NORMAL);
    CHECK_CALL(WinUsb_Initialize(synchronous, &refused), "FALSE, error 87",
               "WinUsb_Initialize refuses a handle opened without FILE_FLAG_OVERLAPPED");
    CloseHandle(synchronous);

    REQUIRE(CHECK_EQ(ostrel_sim_unplug(slot), 0, "the instrument is unplugged"));
    CHECK_CALL(WinUsb_WritePipe(usb, 0x02, command, 6, &moved, nullptr), "FALSE, error 22",
               "a transfer on its handle fails with ERROR_BAD_COMMAND");
    CHECK_EQ(ostrel_sim_open_handles(), 2, "its handles still open still count");
    CHECK_CALL(WinUsb_Free(usb), "TRUE", "WinUsb_Free releases the WinUSB handle");
    CHECK_CALL(WinUsb_Free(usb), "FALSE, error 6", "a freed handle is an invalid handle");
    CHECK(CloseHandle(device) && ostrel_sim_open_handles() == 0, "the device handle closes: nothing is open any more");
    const std::string lower = [&] { std::string text = path; return CharLowerA(&text[0]), text; }(); // as stored
    CHECK_CALL(OpenAsTheLibraryDoes(lower) != INVALID_HANDLE_VALUE, "FALSE, error 2",
               "the removed instrument's path, as the library keeps it, is not found");
}

// A stand-in for the library's watcher thread and window, noting each WM_DEVICECHANGE with what is wrong about it.
std::mutex mutex;
std::vector<std::string> messages;
std::atomic<int> depth{0};
std::atomic<DWORD> watcherThread{0};

std::vector<std::string> Messages() { std::lock_guard<std::mutex> lock(mutex); return messages; }

LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != WM_DEVICECHANGE)
        return DefWindowProcA(window, message, wParam, lParam);
    const auto &broadcast = *reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A *>(lParam);
    std::string seen = (wParam == DBT_DEVICEARRIVAL ? "arrival of " : wParam == DBT_DEVICEREMOVECOMPLETE ? "removal of " : "") +
                       std::string(broadcast.dbcc_name);
    if (broadcast.dbcc_devicetype != DBT_DEVTYP_DEVICEINTERFACE ||
        std::memcmp(&broadcast.dbcc_classguid, &kInstruments, sizeof(GUID)) != 0)
        seen += ", not of the instruments' interface";
    seen += std::string(GetCurrentThreadId() == watcherThread ? "" : ", off the window's thread") +
            (++depth == 1 ? "" : ", inside another message's handling");
    HANDLE device = wParam == DBT_DEVICEARRIVAL ? OpenAsTheLibraryDoes(broadcast.dbcc_name) : nullptr;
    seen += device == INVALID_HANDLE_VALUE ? ", whose path does not open yet" : (CloseHandle(device), "");
    { std::lock_guard<std::mutex> lock(mutex); messages.push_back(seen); }
    if (Messages().size() == 1) // as a scan might: an instrument comes while the window handles a message
        ostrel_sim_plug(R"({"vid": 6699, "pid": 10551, "serial": "SN2"})");
    return --depth, 1;
}

SCENARIO("shim-device-notifications", DeviceNotifications)
{
    std::atomic<bool> stop{false};
    std::atomic<HWND> window{nullptr};
    std::thread thread([&] {
        watcherThread = GetCurrentThreadId();
        WNDCLASSEXA windowClass{sizeof windowClass, 0, WndProc, 0, 0, GetModuleHandleA(nullptr), nullptr, nullptr,
                                nullptr, nullptr, "VornDiscover", nullptr};
        RegisterClassExA(&windowClass);
        window = CreateWindowExA(0, "VornDiscover", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        for (MSG message; !stop;) // only input wakes this wait
            if (MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT) == WAIT_OBJECT_0)
                PeekMessageA(&message, window, 0, 0, PM_NOREMOVE);
        DestroyWindow(window);
        UnregisterClassA("VornDiscover", GetModuleHandleA(nullptr));
    });
    if (CHECK(WaitFor([&] { return window.load() != nullptr; }), "a watcher window is listening")) {
        // Sent as Windows sends them: by the system, not by the thread that plugged, which may go on at once.
        const int slot = ostrel_sim_plug(kMeter);
        const std::string meter = PresentPath(0);
        CHECK(WaitFor([] { return Messages().size() >= 2; }), "the arrival comes, and so does an instrument plugged "
                                                               "while it was handled");
        CHECK_EQ(Messages(), (std::vector<std::string>{"arrival of " + meter, "arrival of " + PresentPath(1)}),
                 "each a DEV_BROADCAST_DEVICEINTERFACE_A, the second only after the message in hand");
        CHECK_EQ(ostrel_sim_unplug(slot), 0, "the instrument is unplugged");
        CHECK(WaitFor([] { return Messages().size() >= 3; }), "its removal comes");
        CHECK_EQ(Messages().back(), "removal of " + meter, "after the arrivals, in order");
    }
    stop = true;
    thread.join();
}

} // namespace
