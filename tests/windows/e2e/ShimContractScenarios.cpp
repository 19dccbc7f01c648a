// Windows' contracts that the test-only setupapi.dll, winusb.dll and device
// notifications must keep, checked from outside, so that the end-to-end suite
// cannot pass on a stand-in that is kinder than Windows.
#include "Scenario.h"

#include <windows.h>
#include <dbt.h>
#include <setupapi.h>
#include <winusb.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

using namespace ostrel::scenario;

const GUID kInstruments = {0x56AC4E2C, 0x9D3B, 0x4A6C, {0xBF, 0x25, 0xB3, 0xBD, 0x6E, 0x44, 0xFC, 0x00}};

const char kMeter[] = R"({"vid": 6699, "pid": 10550, "serial": "SN12345",
    "replies": {"*IDN?": "VORN 2936-R 1.0.3 01/02/24 SN12345\r\n"}})";

HANDLE OpenAsTheLibraryDoes(const std::string &path, DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED)
{
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, flags, nullptr);
}

// The present interface paths, through the two-call detail protocol.
std::vector<std::string> PresentPaths()
{
    std::vector<std::string> paths;
    HDEVINFO set = SetupDiGetClassDevsA(&kInstruments, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return paths;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &kInstruments, i, &data); ++i) {
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr);
        std::vector<char> block(required);
        auto *detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(block.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr))
            paths.push_back(detail->DevicePath);
    }
    SetupDiDestroyDeviceInfoList(set);
    return paths;
}

// A call's result and last error, as one value to compare.
std::string Outcome(BOOL result)
{
    DWORD error = GetLastError();
    return result ? "TRUE" : "FALSE, error " + std::to_string(error);
}

SCENARIO("shim-setupapi", SetupApiContract)
{
    HDEVINFO none = SetupDiGetClassDevsA(&kInstruments, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    CHECK(none != INVALID_HANDLE_VALUE, "with nothing plugged the set is valid and empty, as on Windows");
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    CHECK_EQ(Outcome(SetupDiEnumDeviceInterfaces(none, nullptr, &kInstruments, 0, &data)),
             std::string("FALSE, error 259"), "its enumeration ends at once with ERROR_NO_MORE_ITEMS");
    SetupDiDestroyDeviceInfoList(none);

    REQUIRE(PlugBench());
    HDEVINFO set = SetupDiGetClassDevsA(&kInstruments, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    REQUIRE(CHECK(set != INVALID_HANDLE_VALUE, "SetupDiGetClassDevsA gives a set of the instruments"));
    data.cbSize = sizeof data - 1;
    CHECK_EQ(Outcome(SetupDiEnumDeviceInterfaces(set, nullptr, &kInstruments, 0, &data)),
             std::string("FALSE, error 1784"), "an interface record whose cbSize is not 32 is refused");
    data.cbSize = sizeof data;
    CHECK_EQ(Outcome(SetupDiEnumDeviceInterfaces(set, nullptr, &kInstruments, 2, &data)), std::string("TRUE"),
             "index 2 is the third instrument");
    SP_DEVICE_INTERFACE_DATA beyond{};
    beyond.cbSize = sizeof beyond;
    CHECK_EQ(Outcome(SetupDiEnumDeviceInterfaces(set, nullptr, &kInstruments, 3, &beyond)),
             std::string("FALSE, error 259"), "index 3 ends the list with ERROR_NO_MORE_ITEMS");

    DWORD required = 0;
    CHECK_EQ(Outcome(SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr)),
             std::string("FALSE, error 122"), "the first detail call gives ERROR_INSUFFICIENT_BUFFER");
    REQUIRE(CHECK(required > offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + 1,
                  "and the size the detail record needs"));
    std::vector<char> block(required);
    auto *detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(block.data());
    detail->cbSize = required;
    CHECK_EQ(Outcome(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr)),
             std::string("FALSE, error 1784"), "cbSize set to the whole buffer is refused: it must be 8 on x64");
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    CHECK_EQ(Outcome(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required - 1, nullptr, nullptr)),
             std::string("FALSE, error 122"), "a buffer one byte short gives ERROR_INSUFFICIENT_BUFFER");
    CHECK_EQ(Outcome(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr)),
             std::string("TRUE"), "the buffer of the size given is filled");
    CHECK_EQ(std::string(detail->DevicePath).size() + 1 + offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath),
             size_t{required}, "with the path and its NUL, exactly");

    CHECK_EQ(Outcome(SetupDiDestroyDeviceInfoList(set)), std::string("TRUE"), "the set is destroyed");
    CHECK_EQ(Outcome(SetupDiDestroyDeviceInfoList(set)), std::string("FALSE, error 6"),
             "a destroyed set is an invalid handle");
    CHECK_EQ(Outcome(SetupDiEnumDeviceInterfaces(set, nullptr, &kInstruments, 0, &data)), std::string("FALSE, error 6"),
             "also to the enumeration");
    CHECK_EQ(PresentPaths().size(), size_t{3}, "each plugged instrument has one path");
}

SCENARIO("shim-winusb-and-device-paths", WinUsbContract)
{
    const int slot = ostrel_sim_plug(kMeter);
    REQUIRE(CHECK(slot >= 0, "an instrument is plugged"));
    const std::vector<std::string> paths = PresentPaths();
    REQUIRE(CHECK_EQ(paths.size(), size_t{1}, "it has a device path"));
    HANDLE device = OpenAsTheLibraryDoes(paths[0]);
    REQUIRE(CHECK(device != INVALID_HANDLE_VALUE, "CreateFileA opens the path with the library's flags"));
    CHECK_EQ(ostrel_sim_open_handles(), 1, "the open device handle is counted");

    WINUSB_INTERFACE_HANDLE usb = nullptr;
    REQUIRE(CHECK_EQ(Outcome(WinUsb_Initialize(device, &usb)), std::string("TRUE"), "WinUsb_Initialize takes it"));
    CHECK_EQ(ostrel_sim_open_handles(), 2, "the WinUSB handle is counted too");
    ULONG timeout = 1000;
    CHECK_EQ(Outcome(WinUsb_SetPipePolicy(usb, 0x81, PIPE_TRANSFER_TIMEOUT, sizeof timeout, &timeout)),
             std::string("TRUE"), "the IN pipe takes a transfer time-out");
    UCHAR command[] = "*IDN?\r";
    ULONG transferred = 0;
    CHECK_EQ(Outcome(WinUsb_WritePipe(usb, 0x02, command, 6, &transferred, nullptr)), std::string("TRUE"),
             "a write on the OUT pipe");
    UCHAR reply[64];
    CHECK_EQ(Outcome(WinUsb_ReadPipe(usb, 0x81, reply, sizeof reply, &transferred, nullptr)), std::string("TRUE"),
             "a read on the IN pipe");
    CHECK_EQ(std::string(reinterpret_cast<char *>(reply), transferred),
             std::string("VORN 2936-R 1.0.3 01/02/24 SN12345\r\n"), "brings the instrument's reply");
    CHECK_EQ(Outcome(WinUsb_ReadPipe(usb, 0x02, reply, sizeof reply, &transferred, nullptr)),
             std::string("FALSE, error 87"), "a read on the OUT pipe is refused");
    CHECK_EQ(Outcome(WinUsb_ReadPipe(usb, 0x81, reply, sizeof reply, &transferred, nullptr)),
             std::string("FALSE, error 121"), "a read of nothing ends with ERROR_SEM_TIMEOUT");

    // The library stores its paths lower-cased and opens them so.
    std::string lower = paths[0];
    CharLowerBuffA(&lower[0], static_cast<DWORD>(lower.size()));
    HANDLE synchronous = OpenAsTheLibraryDoes(lower, FILE_ATTRIBUTE_NORMAL);
    REQUIRE(CHECK(synchronous != INVALID_HANDLE_VALUE, "the lower-cased path opens too"));
    WINUSB_INTERFACE_HANDLE refused = nullptr;
    CHECK_EQ(Outcome(WinUsb_Initialize(synchronous, &refused)), std::string("FALSE, error 87"),
             "WinUsb_Initialize refuses a handle opened without FILE_FLAG_OVERLAPPED");
    CloseHandle(synchronous);
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    const std::string tempFile = std::string(temp) + "ostrel-not-a-device.txt";
    HANDLE file = CreateFileA(tempFile.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_FLAG_OVERLAPPED | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    CHECK_EQ(Outcome(WinUsb_Initialize(file, &refused)), std::string("FALSE, error 6"),
             "WinUsb_Initialize refuses a handle that is no instrument's");
    CloseHandle(file);
    CHECK_EQ(ostrel_sim_open_handles(), 2, "handles closed are no longer counted");

    REQUIRE(CHECK_EQ(ostrel_sim_unplug(slot), 0, "the instrument is unplugged"));
    CHECK_EQ(Outcome(WinUsb_WritePipe(usb, 0x02, command, 6, &transferred, nullptr)), std::string("FALSE, error 22"),
             "a transfer on its handle fails with ERROR_BAD_COMMAND");
    CHECK_EQ(PresentPaths().size(), size_t{0}, "its path is no longer listed");
    CHECK_EQ(ostrel_sim_open_handles(), 2, "its handles still open are still counted");
    CHECK_EQ(Outcome(WinUsb_Free(usb)), std::string("TRUE"), "WinUsb_Free releases the WinUSB handle");
    CHECK_EQ(Outcome(WinUsb_Free(usb)), std::string("FALSE, error 6"), "a freed handle is an invalid handle");
    CHECK_EQ(Outcome(CloseHandle(device)), std::string("TRUE"), "the device handle closes");
    CHECK_EQ(ostrel_sim_open_handles(), 0, "nothing is open any more");
    HANDLE gone = OpenAsTheLibraryDoes(lower);
    CHECK_EQ(Outcome(gone != INVALID_HANDLE_VALUE), std::string("FALSE, error 2"),
             "opening the removed instrument's path fails with ERROR_FILE_NOT_FOUND");
    if (gone != INVALID_HANDLE_VALUE)
        CloseHandle(gone);
}

// A stand-in for the library's watcher: a message-only window of its class on
// a thread of its own that waits and peeks as the watcher does.
struct Watcher {
    struct Message {
        WPARAM event;
        DWORD deviceType;
        bool ourClass;
        std::string name;
        bool onWatcherThread;
        bool openable; // the announced path could be opened while the message was handled
        int depth;     // messages being handled at once, this one included
    };

    std::mutex mutex;
    std::vector<Message> messages;
    std::atomic<int> depth{0};
    std::atomic<bool> stop{false};
    std::atomic<HWND> window{nullptr};
    DWORD threadId = 0;
    std::string plugOnArrival; // plugged from inside the first arrival, if set

    static Watcher *current;

    static LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message != WM_DEVICECHANGE)
            return DefWindowProcA(window, message, wParam, lParam);
        Watcher &self = *current;
        const int nested = ++self.depth;
        const auto *broadcast = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A *>(lParam);
        Message seen{wParam, broadcast->dbcc_devicetype,
                     std::memcmp(&broadcast->dbcc_classguid, &kInstruments, sizeof(GUID)) == 0, broadcast->dbcc_name,
                     GetCurrentThreadId() == self.threadId, false, nested};
        if (wParam == DBT_DEVICEARRIVAL) {
            HANDLE device = OpenAsTheLibraryDoes(seen.name);
            seen.openable = device != INVALID_HANDLE_VALUE;
            if (seen.openable)
                CloseHandle(device);
        }
        bool plug = false;
        {
            std::lock_guard<std::mutex> lock(self.mutex);
            self.messages.push_back(seen);
            plug = self.messages.size() == 1 && !self.plugOnArrival.empty();
        }
        if (plug)
            ostrel_sim_plug(self.plugOnArrival.c_str());
        --self.depth;
        return 1;
    }

    void Run()
    {
        threadId = GetCurrentThreadId();
        WNDCLASSEXA windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = WndProc;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.lpszClassName = "VornDiscover";
        RegisterClassExA(&windowClass);
        HWND created = CreateWindowExA(0, "VornDiscover", "Wnd Title", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                       nullptr);
        window = created;
        HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        while (!stop) {
            if (MsgWaitForMultipleObjects(1, &never, FALSE, 50, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) {
                MSG message;
                PeekMessageA(&message, created, 0, 0, PM_NOREMOVE);
            }
        }
        CloseHandle(never);
        DestroyWindow(created);
        UnregisterClassA("VornDiscover", GetModuleHandleA(nullptr));
    }

    std::vector<Message> Messages()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return messages;
    }
};

Watcher *Watcher::current = nullptr;

SCENARIO("shim-device-notifications", DeviceNotifications)
{
    Watcher watcher;
    Watcher::current = &watcher;
    watcher.plugOnArrival = R"({"vid": 6699, "pid": 10551, "serial": "SN2"})";
    std::thread thread([&watcher] { watcher.Run(); });
    if (CHECK(WaitFor([&watcher] { return watcher.window.load() != nullptr; }), "a watcher window is listening")) {
        const int slot = ostrel_sim_plug(kMeter);
        std::vector<Watcher::Message> seen = watcher.Messages();
        const std::vector<std::string> paths = PresentPaths();
        if (CHECK(slot >= 0 && !seen.empty() && !paths.empty(), "ostrel_sim_plug returns once the window had its message")) {
            const Watcher::Message &arrival = seen[0];
            CHECK(arrival.event == DBT_DEVICEARRIVAL, "WM_DEVICECHANGE with DBT_DEVICEARRIVAL");
            CHECK(arrival.deviceType == DBT_DEVTYP_DEVICEINTERFACE && arrival.ourClass,
                  "a DEV_BROADCAST_DEVICEINTERFACE_A of the instruments' interface class");
            CHECK_EQ(arrival.name, paths[0], "naming the path SetupAPI lists");
            CHECK(arrival.onWatcherThread, "handled on the window's own thread");
            CHECK(arrival.openable, "the path can be opened while the arrival is handled");
        }
        CHECK(WaitFor([&watcher] { return watcher.Messages().size() >= 2; }),
              "an instrument plugged from inside the window procedure is announced too");
        seen = watcher.Messages();
        bool nested = false;
        for (const Watcher::Message &message : seen)
            nested = nested || message.depth > 1;
        CHECK(!nested, "but only after the running message was handled, never inside it");

        const size_t before = watcher.Messages().size();
        CHECK_EQ(ostrel_sim_unplug(slot), 0, "the instrument is unplugged");
        seen = watcher.Messages();
        if (CHECK_EQ(seen.size(), before + 1, "ostrel_sim_unplug returns once the window had its message"))
            CHECK(seen.back().event == DBT_DEVICEREMOVECOMPLETE && seen.back().onWatcherThread &&
                      seen.back().name == seen[0].name,
                  "WM_DEVICECHANGE with DBT_DEVICEREMOVECOMPLETE for the same path, on the window's thread");
    }
    watcher.stop = true;
    thread.join();
    ostrel_sim_reset();
    CHECK_EQ(ostrel_sim_open_handles(), 0, "the notifications left no handle open");
}

} // namespace
