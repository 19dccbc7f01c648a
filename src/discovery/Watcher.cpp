// The hot-plug watcher thread: a hidden message-only window that rescans at
// every device-change notification.
#include "diagnostics/Logger.h"
#include "discovery/Discover.h"
#include "discovery/WatcherThread.h"
#include "transport/DeviceInterfaceGuid.h"

#include <cstring>

std::atomic<Discover *> Discover::notifyOwner{nullptr};

// The watcher whose thread this is: its scans give up once it is told to stop.
thread_local WatcherControl *runningWatcher = nullptr;

namespace {

const char windowClassName[] = "VornDiscover";
const DWORD failedExit = 0xFFFFFFFF;


void LogFailure(const char *line)
{
    DWORD error = GetLastError();
    if (Logger *logger = Logger::GetInstance()) {
        logger->Log(line);
        logger->LogLastError(error);
    }
}

void TraceLine(const Discover &owner, const char *line)
{
    if (!owner.traceEnabled)
        return;
    if (Logger *logger = Logger::GetInstance())
        logger->Log(line);
}

// What the watcher set up, for the clean-up to undo in reverse.
struct WatcherWindow {
    HMODULE module = nullptr;
    HWND window = nullptr;
    HDEVNOTIFY notification = nullptr;
};

bool UnregisterWindowClass(HMODULE module)
{
    if (UnregisterClassA(windowClassName, module))
        return true;
    LogFailure("DiscoveryThread: Could not unregister window class.");
    return false;
}

bool DestroyNotifyWindow(HWND window)
{
    if (DestroyWindow(window))
        return true;
    LogFailure("DiscoveryThread: Could not destroy window.");
    return false;
}

// Steps 3 to 6 of the set-up: module, class, window, notification. On failure
// whatever was set up is undone and false returned.
bool SetUpWindow(Discover &owner, WatcherWindow &set)
{
    set.module = GetModuleHandleA(nullptr);
    if (set.module == nullptr) {
        LogFailure("DiscoveryThread: Could not get the module handle.");
        return false;
    }
    WNDCLASSEXA windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = Discover::WndProc;
    windowClass.hInstance = set.module;
    windowClass.lpszClassName = windowClassName;
    if (RegisterClassExA(&windowClass) == 0) {
        LogFailure("DiscoveryThread: Could not register window class.");
        set.module = nullptr;
        return false;
    }
    set.window = CreateWindowExA(0, windowClassName, "Wnd Title", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                 &owner);
    if (set.window == nullptr) {
        LogFailure("DiscoveryThread: Could not create window.");
        UnregisterWindowClass(set.module);
        set.module = nullptr;
        return false;
    }
    DEV_BROADCAST_DEVICEINTERFACE_A filter = {};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = DeviceInterfaceGuid;
    set.notification = RegisterDeviceNotificationA(set.window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (set.notification == nullptr) {
        LogFailure("DiscoveryThread: Could not register for device notification.");
        DestroyNotifyWindow(set.window);
        UnregisterWindowClass(set.module);
        set = WatcherWindow{};
        return false;
    }
    return true;
}

DWORD TearDownWindow(WatcherWindow &set)
{
    DWORD exitCode = 0;
    if (set.notification != nullptr && !UnregisterDeviceNotification(set.notification)) {
        LogFailure("DiscoveryThread: Could not unregister device notification.");
        exitCode = failedExit;
    }
    if (set.window != nullptr && !DestroyNotifyWindow(set.window))
        exitCode = failedExit;
    if (set.module != nullptr && !UnregisterWindowClass(set.module))
        exitCode = failedExit;
    return exitCode;
}

// Waits for notifications until the watcher is told to stop; each wake-up by
// input lets PeekMessageA deliver the pending notifications to WndProc, which
// scans once per notification.
void WaitForDeviceMessages(WatcherControl &control, HWND window, HANDLE stopEvent)
{
    while (control.threadRunning) {
        try {
            DWORD woken = MsgWaitForMultipleObjects(1, &stopEvent, FALSE, INFINITE, QS_ALLINPUT);
            if (woken == WAIT_FAILED) {
                LogFailure("DiscoveryThread: Could not wait for multiple objects.");
                // A wait that keeps failing must not flood the log or spin.
                Sleep(100);
            } else if (woken == WAIT_OBJECT_0 + 1) {
                MSG message;
                PeekMessageA(&message, window, 0, 0, PM_NOREMOVE);
                Sleep(100);
            }
        } catch (...) {
            if (Logger *logger = Logger::GetInstance())
                logger->Log("DiscoveryThread Loop: Exception.");
        }
    }
}

// Tells whoever waits for the set-up how it ended, on every way out.
class SetUpReport {
public:
    explicit SetUpReport(WatcherControl &control) : control(control) {}
    ~SetUpReport() { control.MarkSetUp(false); }
    void Listening() { control.MarkSetUp(true); }

private:
    WatcherControl &control;
};

DWORD RunWatcher(WatcherControl &control)
{
    Discover &owner = *control.owner;
    SetUpReport report(control);
    TraceLine(owner, "DiscoveryThread: Enter.");
    HANDLE stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (stopEvent == nullptr) {
        // Without its stop event the watcher could be neither woken nor
        // stopped: it does not start.
        LogFailure("DiscoveryThread: Could not create event.");
        return failedExit;
    }
    {
        std::lock_guard<std::mutex> lock(control.eventMutex);
        control.shutdownEvent = stopEvent;
    }
    WatcherWindow set;
    try {
        if (!SetUpWindow(owner, set))
            return failedExit;
        report.Listening();
        TraceLine(owner, "DiscoveryThread: Waiting for device messages.");
        WaitForDeviceMessages(control, set.window, stopEvent);
    } catch (...) {
        if (Logger *logger = Logger::GetInstance())
            logger->Log("DiscoveryThread: Exception.");
        TearDownWindow(set);
        return failedExit;
    }
    DWORD exitCode = TearDownWindow(set);
    TraceLine(owner, "DiscoveryThread: Exit.");
    return exitCode;
}

// Waits until every watcher stopped before this one has ended: one of them
// may still hold the window class. It may also be the very thread that stops
// this one and waits for it (a callback that restarts and stops again), so
// this gives up (false) as soon as told to stop, and the watcher it was
// waiting for is then waited for by the next one.
bool WaitForEarlierWatchers(WatcherControl &control)
{
    for (;;) {
        std::shared_ptr<WatcherControl> earlier;
        {
            std::lock_guard<std::mutex> lock(control.eventMutex);
            earlier = control.previous;
        }
        if (!earlier)
            return true;
        while (WaitForSingleObject(earlier->threadHandle, 10) == WAIT_TIMEOUT)
            if (!control.threadRunning)
                return false;
        std::shared_ptr<WatcherControl> beforeThat;
        {
            std::lock_guard<std::mutex> lock(earlier->eventMutex);
            beforeThat = earlier->previous;
        }
        std::lock_guard<std::mutex> lock(control.eventMutex);
        control.previous = beforeThat;
    }
}

} // namespace

void WatcherControl::MarkSetUp(bool nowListening)
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

bool WatcherControl::WaitUntilSetUp()
{
    std::unique_lock<std::mutex> lock(setUpMutex);
    setUpChanged.wait_for(lock, std::chrono::seconds(10), [this] { return setUpDone; });
    return listening;
}

WatcherControl::~WatcherControl()
{
    if (shutdownEvent != nullptr)
        CloseHandle(shutdownEvent);
    if (threadHandle != nullptr)
        CloseHandle(threadHandle);
}

DWORD WINAPI Discover::DiscoveryThread(void *parameter)
{
    std::shared_ptr<WatcherControl> control;
    {
        auto *start = static_cast<std::shared_ptr<WatcherControl> *>(parameter);
        control = std::move(*start);
        delete start;
    }
    control->threadId = GetCurrentThreadId();
    if (!WaitForEarlierWatchers(*control)) {
        control->exitCode = 0;
        return 0;
    }
    runningWatcher = control.get();
    DWORD exitCode = RunWatcher(*control);
    runningWatcher = nullptr;
    control->exitCode = exitCode;
    return exitCode;
}

LRESULT CALLBACK Discover::WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    try {
        if (message == WM_CREATE) {
            const auto *creation = reinterpret_cast<const CREATESTRUCTA *>(lParam);
            notifyOwner = static_cast<Discover *>(creation->lpCreateParams);
            return 1;
        }
        if (message == WM_DEVICECHANGE) {
            // Every notification, whatever its event, gives one complete scan.
            if (Discover *owner = notifyOwner) {
                if (owner->traceEnabled && owner->logger != nullptr)
                    owner->logger->Log("WM_DEVICECHANGE");
                owner->ScanWithGate(runningWatcher != nullptr ? &runningWatcher->threadRunning : nullptr);
            }
            return 1;
        }
        return DefWindowProcA(window, message, wParam, lParam);
    } catch (...) {
        if (Logger *logger = Logger::GetInstance())
            logger->Log("WndProc: Exception.");
    }
    return 1;
}
