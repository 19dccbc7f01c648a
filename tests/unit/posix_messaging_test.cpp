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
#include <vector>

namespace {

const GUID kWatched = {0x56AC4E2C, 0x9D3B, 0x4A6C, {0xBF, 0x25, 0xB3, 0xBD, 0x6E, 0x44, 0xFC, 0x00}};
const GUID kOther = {0x12345678, 0x1, 0x2, {1, 2, 3, 4, 5, 6, 7, 8}};
const char kClassName[] = "PosixTestWindow";

// What the window procedure saw, in order.
struct Call {
    HWND window = nullptr;
    UINT message = 0;
    WPARAM wParam = 0;
    void *createParameter = nullptr;
    DWORD broadcastSize = 0;
    DWORD deviceType = 0;
    GUID interfaceClass{};
    std::string path;
};

std::mutex callsMutex;
std::vector<Call> calls;
// Set by a test to run inside the procedure for each WM_DEVICECHANGE.
void (*onDeviceChange)(HWND window, const std::string &path) = nullptr;

std::vector<Call> Calls(UINT message)
{
    std::lock_guard<std::mutex> lock(callsMutex);
    std::vector<Call> matching;
    for (const Call &call : calls)
        if (call.message == message)
            matching.push_back(call);
    return matching;
}

LRESULT CALLBACK RecordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    Call call;
    call.window = window;
    call.message = message;
    call.wParam = wParam;
    if (message == WM_CREATE)
        call.createParameter = reinterpret_cast<CREATESTRUCTA *>(lParam)->lpCreateParams;
    if (message == WM_DEVICECHANGE) {
        const auto *broadcast = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A *>(lParam);
        call.broadcastSize = broadcast->dbcc_size;
        call.deviceType = broadcast->dbcc_devicetype;
        call.interfaceClass = broadcast->dbcc_classguid;
        call.path = broadcast->dbcc_name;
    }
    {
        std::lock_guard<std::mutex> lock(callsMutex);
        calls.push_back(call);
    }
    if (message == WM_DEVICECHANGE && onDeviceChange != nullptr)
        onDeviceChange(window, call.path);
    return DefWindowProcA(window, message, wParam, lParam);
}

WNDCLASSEXA TestClass()
{
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = RecordingProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = kClassName;
    return windowClass;
}

HWND NewWindow(void *parameter = nullptr)
{
    return CreateWindowExA(0, kClassName, "Wnd Title", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, parameter);
}

HDEVNOTIFY Watch(HWND window, const GUID &interfaceClass = kWatched)
{
    DEV_BROADCAST_DEVICEINTERFACE_A filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = interfaceClass;
    return RegisterDeviceNotificationA(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

DWORD WaitForInput(HANDLE event, DWORD milliseconds)
{
    return MsgWaitForMultipleObjects(1, &event, FALSE, milliseconds, QS_ALLINPUT);
}

void Peek(HWND window)
{
    MSG message{};
    EXPECT_FALSE(PeekMessageA(&message, window, 0, 0, PM_NOREMOVE));
}

class PosixMessaging : public ::testing::Test {
protected:
    void SetUp() override
    {
        calls.clear();
        onDeviceChange = nullptr;
        WNDCLASSEXA windowClass = TestClass();
        ASSERT_NE(RegisterClassExA(&windowClass), 0);
        stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    void TearDown() override
    {
        CloseHandle(stop);
        EXPECT_TRUE(UnregisterClassA(kClassName, GetModuleHandleA(nullptr)));
    }

    HANDLE stop = nullptr;
};

TEST_F(PosixMessaging, ClassRegistrationFollowsWindowsRules)
{
    WNDCLASSEXA windowClass = TestClass();
    windowClass.lpszClassName = "posixtestWINDOW"; // class names ignore case
    EXPECT_EQ(RegisterClassExA(&windowClass), 0);
    EXPECT_EQ(GetLastError(), ERROR_CLASS_ALREADY_EXISTS);

    windowClass.lpszClassName = "PosixOtherWindow";
    windowClass.cbSize = 48; // the size of the older WNDCLASSA
    EXPECT_EQ(RegisterClassExA(&windowClass), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    EXPECT_FALSE(UnregisterClassA("PosixOtherWindow", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_CLASS_DOES_NOT_EXIST);
    EXPECT_EQ(CreateWindowExA(0, "PosixOtherWindow", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), 1407u); // ERROR_CANNOT_FIND_WND_CLASS

    HWND window = NewWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(UnregisterClassA(kClassName, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_CLASS_HAS_WINDOWS);
    EXPECT_TRUE(DestroyWindow(window));
}

TEST_F(PosixMessaging, WindowLifeSendsCreateWithParameterThenDestroyAndNcDestroy)
{
    int parameter = 0;
    HWND window = NewWindow(&parameter);
    ASSERT_NE(window, nullptr);
    std::vector<Call> created = Calls(WM_CREATE);
    ASSERT_EQ(created.size(), 1u);
    EXPECT_EQ(created[0].window, window);
    EXPECT_EQ(created[0].createParameter, &parameter);

    // A window is not a kernel object.
    EXPECT_FALSE(CloseHandle(window));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    EXPECT_TRUE(DestroyWindow(window));
    std::lock_guard<std::mutex> lock(callsMutex);
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[1].message, WM_DESTROY);
    EXPECT_EQ(calls[2].message, WM_NCDESTROY);
    EXPECT_EQ(calls[2].window, window);
    EXPECT_FALSE(DestroyWindow(window));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

TEST_F(PosixMessaging, OnlyTheOwningThreadDestroysAWindow)
{
    HWND window = NewWindow();
    ASSERT_NE(window, nullptr);
    std::thread([&] {
        EXPECT_FALSE(DestroyWindow(window));
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    }).join();
    EXPECT_TRUE(DestroyWindow(window));
}

TEST_F(PosixMessaging, NotificationsArriveInsidePeekMessageAsDeviceChanges)
{
    HWND window = NewWindow();
    HDEVNOTIFY notification = Watch(window);
    ASSERT_NE(notification, nullptr);
    EXPECT_EQ(WaitForInput(stop, 0), WAIT_TIMEOUT);

    const std::string arrived = "\\\\?\\USB#VID_1A2B&PID_0001#A#{56AC4E2C-9D3B-4A6C-BF25-B3BD6E44FC00}";
    ostrel::posix::DeliverDeviceChange(kWatched, arrived, true);
    ostrel::posix::DeliverDeviceChange(kOther, "\\\\?\\elsewhere", true);
    ostrel::posix::DeliverDeviceChange(kWatched, "b", false);

    EXPECT_EQ(WaitForInput(stop, INFINITE), WAIT_OBJECT_0 + 1);
    // Sent, not posted: nothing reaches the procedure before PeekMessageA.
    EXPECT_TRUE(Calls(WM_DEVICECHANGE).empty());
    Peek(window);
    std::vector<Call> changes = Calls(WM_DEVICECHANGE);
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].window, window);
    EXPECT_EQ(changes[0].wParam, DBT_DEVICEARRIVAL);
    EXPECT_EQ(changes[0].path, arrived);
    EXPECT_EQ(changes[0].deviceType, DBT_DEVTYP_DEVICEINTERFACE);
    EXPECT_EQ(std::memcmp(&changes[0].interfaceClass, &kWatched, sizeof(GUID)), 0);
    EXPECT_EQ(changes[0].broadcastSize, offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + arrived.size() + 1);
    EXPECT_EQ(changes[1].wParam, DBT_DEVICEREMOVECOMPLETE);
    EXPECT_EQ(changes[1].path, "b");

    // PeekMessageA looked at the queue, so no input is new any more.
    EXPECT_EQ(WaitForInput(stop, 0), WAIT_TIMEOUT);
    // Handles come before input, and a manual-reset event keeps winning.
    ostrel::posix::DeliverDeviceChange(kWatched, "c", true);
    SetEvent(stop);
    EXPECT_EQ(WaitForInput(stop, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForInput(stop, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLINPUT), WAIT_OBJECT_0);

    EXPECT_TRUE(UnregisterDeviceNotification(notification));
    EXPECT_FALSE(UnregisterDeviceNotification(notification));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(DestroyWindow(window));
}

TEST_F(PosixMessaging, NothingReachesAWindowAfterItsRegistrationOrItself)
{
    HWND window = NewWindow();
    HDEVNOTIFY notification = Watch(window);
    ostrel::posix::DeliverDeviceChange(kWatched, "queued before destruction", true);
    EXPECT_TRUE(DestroyWindow(window));
    Peek(nullptr);
    EXPECT_TRUE(Calls(WM_DEVICECHANGE).empty());
    ostrel::posix::DeliverDeviceChange(kWatched, "after destruction", true);
    EXPECT_EQ(WaitForInput(stop, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(UnregisterDeviceNotification(notification));

    window = NewWindow();
    notification = Watch(window);
    EXPECT_TRUE(UnregisterDeviceNotification(notification));
    ostrel::posix::DeliverDeviceChange(kWatched, "after unregistering", true);
    EXPECT_EQ(WaitForInput(stop, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(DestroyWindow(window));
}

TEST_F(PosixMessaging, RegistrationChecksFilterAndWindow)
{
    HWND window = NewWindow();
    DEV_BROADCAST_DEVICEINTERFACE_A filter{};
    filter.dbcc_size = 16;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    EXPECT_EQ(RegisterDeviceNotificationA(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = 3; // DBT_DEVTYP_PORT
    EXPECT_EQ(RegisterDeviceNotificationA(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    HANDLE notWindow = stop;
    EXPECT_EQ(Watch(static_cast<HWND>(notWindow)), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);

    HANDLE closed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    CloseHandle(closed);
    HANDLE handles[] = {stop, closed};
    EXPECT_EQ(MsgWaitForMultipleObjects(2, handles, FALSE, 0, QS_ALLINPUT), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(DestroyWindow(window));
}

TEST_F(PosixMessaging, WindowProcedureMayCallBackIntoTheLayer)
{
    HWND window = NewWindow();
    HDEVNOTIFY notification = Watch(window);
    // As a scan may plug on the bench while handling a notification.
    onDeviceChange = [](HWND, const std::string &path) {
        if (path == "first")
            ostrel::posix::DeliverDeviceChange(kWatched, "second", true);
        MSG message{};
        PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);
    };
    ostrel::posix::DeliverDeviceChange(kWatched, "first", true);
    Peek(window);
    std::vector<Call> changes = Calls(WM_DEVICECHANGE);
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].path, "first");
    EXPECT_EQ(changes[1].path, "second");
    EXPECT_TRUE(UnregisterDeviceNotification(notification));
    EXPECT_TRUE(DestroyWindow(window));
}

// The watcher's loop: wait on the stop event and the queue, deliver on input.
struct Watcher {
    HANDLE stop = nullptr;
    HANDLE delivered = nullptr;
    HWND window = nullptr;
};

DWORD WINAPI WatcherThread(LPVOID parameter)
{
    auto *watcher = static_cast<Watcher *>(parameter);
    watcher->window = NewWindow(watcher);
    HDEVNOTIFY notification = Watch(watcher->window);
    SetEvent(watcher->delivered); // ready
    for (;;) {
        DWORD result = WaitForInput(watcher->stop, INFINITE);
        if (result == WAIT_OBJECT_0)
            break;
        if (result != WAIT_OBJECT_0 + 1)
            return 1;
        Peek(watcher->window);
        SetEvent(watcher->delivered);
    }
    UnregisterDeviceNotification(notification);
    // The window is left for the thread's end to destroy, as Windows does.
    return 0;
}

TEST_F(PosixMessaging, AWaitingThreadWakesForNotificationsFromOtherThreadsAndForItsEvent)
{
    Watcher watcher;
    watcher.stop = stop;
    watcher.delivered = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, WatcherThread, &watcher, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(watcher.delivered, INFINITE), WAIT_OBJECT_0);

    std::thread([] { ostrel::posix::DeliverDeviceChange(kWatched, "from another thread", true); }).join();
    ASSERT_EQ(WaitForSingleObject(watcher.delivered, INFINITE), WAIT_OBJECT_0);
    std::vector<Call> changes = Calls(WM_DEVICECHANGE);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].window, watcher.window);

    // The bench raises notifications through the listener the layer installed.
    ASSERT_GE(ostrel_sim_plug(R"({"vid": 6699, "pid": 1, "serial": "W"})"), 0);
    ASSERT_EQ(WaitForSingleObject(watcher.delivered, INFINITE), WAIT_OBJECT_0);
    changes = Calls(WM_DEVICECHANGE);
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[1].wParam, DBT_DEVICEARRIVAL);
    EXPECT_EQ(changes[1].path, "\\\\?\\USB#VID_1A2B&PID_0001#W#{56AC4E2C-9D3B-4A6C-BF25-B3BD6E44FC00}");
    ostrel_sim_reset();
    ASSERT_EQ(WaitForSingleObject(watcher.delivered, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(Calls(WM_DEVICECHANGE).back().wParam, DBT_DEVICEREMOVECOMPLETE);

    SetEvent(stop);
    ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    DWORD code = STILL_ACTIVE;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 0u);
    // Its window went with the thread, so the class can go (in TearDown).
    EXPECT_FALSE(DestroyWindow(watcher.window));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    CloseHandle(thread);
    CloseHandle(watcher.delivered);
}

} // namespace
