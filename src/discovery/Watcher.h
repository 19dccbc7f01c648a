// The hot-plug watcher: a thread of its own with a hidden message-only window
// registered for the instruments' device-interface notifications. Every
// WM_DEVICECHANGE that reaches the window runs one complete scan on that
// thread. The watcher and its thread share this object; whichever lets go of
// it last closes the thread handle and the stop event.
#pragma once

#include "diagnostics/LogLines.h"
#include "platform/winapi.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

class Watcher {
public:
    // One scan for one notification; it gives up as soon as `running` reads false.
    using ScanFunction = std::function<void(const std::atomic<bool> &running)>;

    // Starts a watcher thread; null, after its line, if none could be created.
    static std::shared_ptr<Watcher> Start(ScanFunction scan, const LogLines &log);
    ~Watcher();
    Watcher(const Watcher &) = delete;
    Watcher &operator=(const Watcher &) = delete;

    // Waits (bounded) until the watcher listens for notifications or has given
    // up setting up; true when it listens.
    bool WaitUntilListening();
    bool Ended() const;
    const std::atomic<bool> &Running() const { return running; }

    // Clears the loop flag: the watcher leaves its loop at its next look, and
    // its scans give up.
    void Stop() { running = false; }
    // Wakes it through its stop event, so that it looks now; then pauses, as
    // the watcher needs a moment to leave its wait. A failure is logged, and
    // the watcher ends at its next wake-up.
    void Wake();

    // The thread routine and the window procedure.
    static DWORD WINAPI DiscoveryThread(void *parameter);
    static LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

private:
    struct Window;   // what the thread set up, for the clean-up to undo
    struct HandOver; // what the starting thread hands it

    Watcher(ScanFunction scan, const LogLines &log) : scan(std::move(scan)), log(log) {}
    DWORD Run();
    bool SetUpWindow(Window &window);
    DWORD TearDownWindow(Window &window);
    void WaitForDeviceMessages(HWND window, HANDLE stopEvent);
    void MarkSetUp(bool nowListening);
    void Fail(const char *line) const;

    const ScanFunction scan;
    const LogLines log;
    std::atomic<bool> running{true};
    HANDLE thread = nullptr;

    std::mutex eventMutex;
    HANDLE stopEvent = nullptr;

    std::mutex setUpMutex;
    std::condition_variable setUpChanged;
    bool setUpDone = false;
    bool listening = false;
};
