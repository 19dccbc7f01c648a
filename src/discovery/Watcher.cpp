// The hot-plug watcher's thread, window and window procedure.
#include "discovery/Watcher.h"

#include "diagnostics/Logger.h"
#include "transport/DeviceInterfaceGuid.h"

#include <chrono>

namespace {

const char windowClassName[] = "VornDiscover";
const DWORD failedExit = 0xFFFFFFFF;

// The window's watcher, on the watcher's own thread: set when its window is
// created, so that the window procedure knows whom to scan for.
thread_local Watcher *notifyOwner = nullptr;

// Watchers may overlap (a new one starts while a stopped one still runs a
// callback): the first to come registers the window class, the last to go
// unregisters it.
std::mutex windowClassMutex;
int windowClassUsers = 0;

bool UseWindowClass(HMODULE module)
{
    std::lock_guard<std::mutex> lock(windowClassMutex);
    if (windowClassUsers == 0) {
        WNDCLASSEXA windowClass = {};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = Watcher::WndProc;
        windowClass.hInstance = module;
        windowClass.lpszClassName = windowClassName;
        if (RegisterClassExA(&windowClass) == 0)
            return false;
    }
    ++windowClassUsers;
    return true;
}

bool ReleaseWindowClass(HMODULE module)
{
    std::lock_guard<std::mutex> lock(windowClassMutex);
    if (--windowClassUsers > 0)
        return true;
    return UnregisterClassA(windowClassName, module) != FALSE;
}

} // namespace

// What the thread set up, for the clean-up to undo in reverse.
struct Watcher::Window {
    HMODULE module = nullptr;
    HWND handle = nullptr;
    HDEVNOTIFY notification = nullptr;
};

// What the starting thread hands the watcher's thread.
struct Watcher::HandOver {
    std::shared_ptr<Watcher> watcher;
    // This code's own module, held while the thread runs: a program may unload
    // the library as soon as uninit returns, while the thread still finishes
    // the application's callback and has to return into this code.
    HMODULE module = nullptr;
};

namespace {

HMODULE HoldOwnModule(const LogLines &log)
{
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(windowClassName),
                            &module)) {
        log.Failure("CreateDiscoveryThread: Could not hold the library's module.", GetLastError());
        return nullptr;
    }
    return module;
}

} // namespace

std::shared_ptr<Watcher> Watcher::Start(ScanFunction scan, const LogLines &log)
{
    std::shared_ptr<Watcher> watcher(new Watcher(std::move(scan), log));
    auto handOver = std::make_unique<HandOver>(HandOver{.watcher = watcher, .module = HoldOwnModule(log)});
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, DiscoveryThread, handOver.get(), 0, &id);
    if (thread == nullptr) {
        if (handOver->module != nullptr)
            FreeLibrary(handOver->module);
        return nullptr;
    }
    handOver.release();
    watcher->thread = thread;
    return watcher;
}

Watcher::~Watcher()
{
    if (stopEvent != nullptr)
        CloseHandle(stopEvent);
    if (thread != nullptr)
        CloseHandle(thread);
}

void Watcher::MarkSetUp(bool nowListening)
{
    {
        std::lock_guard<std::mutex> lock(setUpMutex);
        if (setUpDone)
            return;
        setUpDone = true;
        listening = nowListening;
    }
    setUpChanged.notify_all();
}

bool Watcher::WaitUntilListening()
{
    std::unique_lock<std::mutex> lock(setUpMutex);
    setUpChanged.wait_for(lock, std::chrono::seconds(10), [this] { return setUpDone; });
    return listening;
}

bool Watcher::Ended() const
{
    return WaitForSingleObject(thread, 0) != WAIT_TIMEOUT;
}

void Watcher::Wake()
{
    HANDLE event = nullptr;
    {
        std::lock_guard<std::mutex> lock(eventMutex);
        event = stopEvent;
    }
    // Without an event yet, the watcher has still to look at `running` before
    // its first wait, and will stop by itself.
    if (event == nullptr)
        return;
    if (SetEvent(event))
        Sleep(100);
    else
        log.Failure("Shutdown: Could not SetEvent.", GetLastError());
}

void Watcher::Fail(const char *line) const
{
    log.Failure(line, GetLastError());
}

DWORD WINAPI Watcher::DiscoveryThread(void *parameter)
{
    HMODULE module = nullptr;
    DWORD exitCode = failedExit;
    ostrel::CatchAll(
        [&] {
            std::unique_ptr<HandOver> handOver(static_cast<HandOver *>(parameter));
            module = handOver->module;
            const std::shared_ptr<Watcher> self = std::move(handOver->watcher);
            handOver.reset();
            ostrel::CatchAll([&] { exitCode = self->Run(); },
                             [&] { self->log.Error("DiscoveryThread: Exception."); });
            // Whoever waits for the set-up learns how it ended, on every way out.
            self->MarkSetUp(false);
        },
        [] {});
    // Nothing of the thread's is left to run in the module, which may go with it.
    if (module != nullptr)
        FreeLibraryAndExitThread(module, exitCode);
    return exitCode;
}

DWORD Watcher::Run()
{
    log.Trace("DiscoveryThread: Enter.");
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) {
        // Without its stop event the watcher could be neither woken nor
        // stopped: it does not start.
        Fail("DiscoveryThread: Could not create event.");
        return failedExit;
    }
    {
        std::lock_guard<std::mutex> lock(eventMutex);
        stopEvent = event;
    }
    Window window;
    bool setUp = true;
    const bool completed = GuardedLine(log, "DiscoveryThread: Exception.", [&] {
        setUp = SetUpWindow(window);
        if (!setUp)
            return;
        MarkSetUp(true);
        log.Trace("DiscoveryThread: Waiting for device messages.");
        WaitForDeviceMessages(window.handle, event);
    });
    if (!setUp)
        return failedExit;
    const DWORD exitCode = TearDownWindow(window);
    if (!completed)
        return failedExit;
    log.Trace("DiscoveryThread: Exit.");
    return exitCode;
}

// Module, class, window and notification; on failure whatever was set up is
// undone and false returned.
bool Watcher::SetUpWindow(Window &window)
{
    window.module = GetModuleHandleA(nullptr);
    if (window.module == nullptr) {
        Fail("DiscoveryThread: Could not get the module handle.");
        return false;
    }
    if (!UseWindowClass(window.module)) {
        Fail("DiscoveryThread: Could not register window class.");
        window.module = nullptr;
        return false;
    }
    window.handle = CreateWindowExA(0, windowClassName, "Wnd Title", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                    this);
    if (window.handle == nullptr) {
        Fail("DiscoveryThread: Could not create window.");
        TearDownWindow(window);
        return false;
    }
    DEV_BROADCAST_DEVICEINTERFACE_A filter = {};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = DeviceInterfaceGuid;
    window.notification = RegisterDeviceNotificationA(window.handle, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (window.notification == nullptr) {
        Fail("DiscoveryThread: Could not register for device notification.");
        TearDownWindow(window);
        return false;
    }
    return true;
}

DWORD Watcher::TearDownWindow(Window &window)
{
    DWORD exitCode = 0;
    if (window.notification != nullptr && !UnregisterDeviceNotification(window.notification)) {
        Fail("DiscoveryThread: Could not unregister device notification.");
        exitCode = failedExit;
    }
    if (window.handle != nullptr && !DestroyWindow(window.handle)) {
        Fail("DiscoveryThread: Could not destroy window.");
        exitCode = failedExit;
    }
    if (window.module != nullptr && !ReleaseWindowClass(window.module)) {
        Fail("DiscoveryThread: Could not unregister window class.");
        exitCode = failedExit;
    }
    window = Window{};
    return exitCode;
}

// Waits for notifications until the watcher is told to stop; each wake-up by
// input lets PeekMessageA deliver the pending notifications to WndProc, which
// scans once per notification.
void Watcher::WaitForDeviceMessages(HWND window, HANDLE event)
{
    while (running) {
        GuardedLine(log, "DiscoveryThread Loop: Exception.", [&] {
            DWORD woken = MsgWaitForMultipleObjects(1, &event, FALSE, INFINITE, QS_ALLINPUT);
            if (woken == WAIT_FAILED) {
                Fail("DiscoveryThread: Could not wait for multiple objects.");
                // A wait that keeps failing must not flood the log or spin.
                Sleep(100);
            } else if (woken == WAIT_OBJECT_0 + 1) {
                MSG message;
                PeekMessageA(&message, window, 0, 0, PM_NOREMOVE);
                Sleep(100);
            }
        });
    }
}

LRESULT CALLBACK Watcher::WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = 1;
    const LogLines fallback(Logger::GetInstance());
    GuardedLine(notifyOwner != nullptr ? notifyOwner->log : fallback, "WndProc: Exception.", [&] {
        if (message == WM_CREATE) {
            const auto *creation = reinterpret_cast<const CREATESTRUCTA *>(lParam);
            notifyOwner = static_cast<Watcher *>(creation->lpCreateParams);
        } else if (message == WM_DEVICECHANGE) {
            // Every notification, whatever its event, gives one complete scan.
            if (Watcher *owner = notifyOwner) {
                owner->log.Trace("WM_DEVICECHANGE");
                owner->scan(owner->running);
            }
        } else {
            result = DefWindowProcA(window, message, wParam, lParam);
        }
    });
    return result;
}
