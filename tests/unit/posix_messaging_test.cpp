// Window classes, message-only windows and device notifications of the POSIX layer.
#include "ostrel_sim.h"
#include "platform/posix/messaging.h"
#include "platform/winapi.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Seen = std::vector<std::pair<HWND, std::string>>;
const GUID kWatched = {0x56AC4E2C, 0x9D3B, 0x4A6C, {0xBF, 0x25, 0xB3, 0xBD, 0x6E, 0x44, 0xFC, 0x00}};
const char kClassName[] = "PosixTestWindow";
const std::string kPath = "\\\\?\\USB#VID_1A2B&PID_0001#W#{56AC4E2C-9D3B-4A6C-BF25-B3BD6E44FC00}";

// The call's last error when it failed, 0 when it succeeded.
template <typename T> DWORD ErrorOf(T result) { return result ? 0 : GetLastError(); }

std::mutex seenMutex;
Seen seen; // by the window procedure, in order
Seen TakeSeen() { std::lock_guard<std::mutex> lock(seenMutex); return std::exchange(seen, {}); }

void Deliver(const std::string &path, bool arrived = true, const GUID &interfaceClass = kWatched)
{ ostrel::posix::DeliverDeviceChange(interfaceClass, path, arrived); }

// Delivers what was sent; nothing is ever posted.
void Peek(HWND window) { MSG message{}; EXPECT_FALSE(PeekMessageA(&message, window, 0, 0, PM_NOREMOVE)); }

LRESULT CALLBACK RecordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    std::string what = message == WM_DESTROY ? "destroy" : message == WM_NCDESTROY ? "ncdestroy" : "other";
    if (message == WM_CREATE)
        what = std::to_string(reinterpret_cast<uintptr_t>(reinterpret_cast<CREATESTRUCTA *>(lParam)->lpCreateParams));
    if (message == WM_DEVICECHANGE) {
        const auto &broadcast = *reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A *>(lParam);
        what = (wParam == DBT_DEVICEARRIVAL ? "+" : wParam == DBT_DEVICEREMOVECOMPLETE ? "-" : "?") +
               std::string(broadcast.dbcc_name);
        EXPECT_EQ(broadcast.dbcc_devicetype, DBT_DEVTYP_DEVICEINTERFACE);
        EXPECT_EQ(std::memcmp(&broadcast.dbcc_classguid, &kWatched, sizeof(GUID)), 0);
        EXPECT_EQ(broadcast.dbcc_size,
                  offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + std::strlen(broadcast.dbcc_name) + 1);
    }
    { std::lock_guard<std::mutex> lock(seenMutex); seen.emplace_back(window, what); }
    if (what == "+first") { // as a scan may plug on the bench while it handles a notification
        Deliver("second");
        Peek(nullptr);
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

HWND NewWindow(void *parameter = nullptr, const char *className = kClassName)
{ return CreateWindowExA(0, className, "Wnd Title", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, parameter); }

HDEVNOTIFY Watch(HWND window, DWORD size = sizeof(DEV_BROADCAST_DEVICEINTERFACE_A),
                 DWORD type = DBT_DEVTYP_DEVICEINTERFACE)
{
    DEV_BROADCAST_DEVICEINTERFACE_A filter{size, type, 0, kWatched, {}};
    return RegisterDeviceNotificationA(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

DWORD WaitForInput(HANDLE event, DWORD ms) { return MsgWaitForMultipleObjects(1, &event, FALSE, ms, QS_ALLINPUT); }

class PosixMessaging : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(RegisterClassExA(&windowClass), 0); }
    void TearDown() override { CloseHandle(stop); EXPECT_TRUE(UnregisterClassA(kClassName, nullptr)); }

    WNDCLASSEXA windowClass{sizeof(WNDCLASSEXA), 0, RecordingProc, 0, 0, GetModuleHandleA(nullptr), nullptr,
                            nullptr, nullptr, nullptr, kClassName, nullptr};
    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
};

TEST_F(PosixMessaging, ClassesAndWindowsFollowWindowsRules)
{
    windowClass.lpszClassName = "posixtestWINDOW"; // class names ignore case
    EXPECT_EQ(ErrorOf(RegisterClassExA(&windowClass)), ERROR_CLASS_ALREADY_EXISTS);
    windowClass.lpszClassName = "PosixOtherWindow";
    windowClass.cbSize = 48; // the older WNDCLASSA's size
    EXPECT_EQ(ErrorOf(RegisterClassExA(&windowClass)), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ErrorOf(UnregisterClassA("PosixOtherWindow", nullptr)), ERROR_CLASS_DOES_NOT_EXIST);
    EXPECT_EQ(ErrorOf(NewWindow(nullptr, "PosixOtherWindow")), 1407u); // ERROR_CANNOT_FIND_WND_CLASS

    int parameter = 0;
    HWND window = NewWindow(&parameter);
    EXPECT_EQ(ErrorOf(UnregisterClassA(kClassName, nullptr)), ERROR_CLASS_HAS_WINDOWS);
    EXPECT_EQ(ErrorOf(CloseHandle(window)), ERROR_INVALID_HANDLE); // a window is no kernel object
    std::thread([&] { EXPECT_EQ(ErrorOf(DestroyWindow(window)), ERROR_ACCESS_DENIED); }).join();
    EXPECT_TRUE(DestroyWindow(window));
    EXPECT_EQ(ErrorOf(DestroyWindow(window)), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_EQ(TakeSeen(), (Seen{{window, std::to_string(reinterpret_cast<uintptr_t>(&parameter))},
                                {window, "destroy"}, {window, "ncdestroy"}}));

    // As on Windows, a thread's windows end with it, so that TearDown can unregister their class.
    HWND left = nullptr;
    HANDLE thread = CreateThread(
        nullptr, 0, [](LPVOID out) -> DWORD { return *static_cast<HWND *>(out) = NewWindow(), 0; }, &left, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    ASSERT_NE(left, nullptr);
    EXPECT_EQ(ErrorOf(DestroyWindow(left)), ERROR_INVALID_WINDOW_HANDLE);
    CloseHandle(thread);
}

TEST_F(PosixMessaging, NotificationsAreSentInsidePeekMessageToRegisteredLiveWindowsOnly)
{
    HWND window = NewWindow();
    EXPECT_EQ(ErrorOf(Watch(window, 16)), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ErrorOf(Watch(window, sizeof(DEV_BROADCAST_DEVICEINTERFACE_A), 3 /* a port */)), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ErrorOf(Watch(static_cast<HWND>(stop))), ERROR_INVALID_WINDOW_HANDLE);
    HDEVNOTIFY notification = Watch(window);
    TakeSeen();

    // The bench raises them, from any thread, through the listener the layer installed.
    std::thread bench([] {
        EXPECT_GE(ostrel_sim_plug(R"({"vid": 6699, "pid": 1, "serial": "W"})"), 0);
        Deliver("\\\\?\\elsewhere", true, GUID{1, 2, 3, {4}});
        ostrel_sim_reset();
    });
    EXPECT_EQ(WaitForInput(stop, INFINITE), WAIT_OBJECT_0 + 1);
    bench.join();
    EXPECT_TRUE(TakeSeen().empty()); // sent, not posted: nothing before PeekMessageA
    Peek(window);
    EXPECT_EQ(TakeSeen(), (Seen{{window, "+" + kPath}, {window, "-" + kPath}}));
    EXPECT_EQ(WaitForInput(stop, 0), WAIT_TIMEOUT); // PeekMessageA made the input old
    Deliver("first");
    Peek(window);
    EXPECT_EQ(TakeSeen(), (Seen{{window, "+first"}, {window, "+second"}}));

    // Handles come before input, and a manual-reset event keeps winning.
    Deliver("c", false);
    SetEvent(stop);
    EXPECT_EQ(WaitForInput(stop, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForInput(stop, INFINITE), WAIT_OBJECT_0);
    HANDLE handles[] = {stop, CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    CloseHandle(handles[1]);
    EXPECT_EQ(MsgWaitForMultipleObjects(2, handles, FALSE, 0, QS_ALLINPUT), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    ResetEvent(stop);
    Peek(window);
    EXPECT_EQ(TakeSeen(), (Seen{{window, "-c"}}));

    EXPECT_TRUE(UnregisterDeviceNotification(notification));
    EXPECT_EQ(ErrorOf(UnregisterDeviceNotification(notification)), ERROR_INVALID_HANDLE);
    Deliver("after unregistering");
    EXPECT_EQ(WaitForInput(stop, 0), WAIT_TIMEOUT);
    notification = Watch(window);
    Deliver("queued before destruction");
    EXPECT_TRUE(DestroyWindow(window));
    Peek(nullptr);
    Deliver("after destruction");
    EXPECT_EQ(WaitForInput(stop, 0), WAIT_TIMEOUT);
    EXPECT_EQ(TakeSeen(), (Seen{{window, "destroy"}, {window, "ncdestroy"}}));
    EXPECT_TRUE(UnregisterDeviceNotification(notification));
}

} // namespace
