// Lets one thread at a time scan a session. It is re-entrant for the thread
// that holds it, because a device-event callback may start a scan of its own
// (or shut the library down) from inside a scan. A watcher waiting for it
// gives up when it is told to stop. Shutdown waits for it only while its
// holder does the library's own work: a holder inside the application's
// callback may stay there for as long as the application likes.
#pragma once

#include "platform/winapi.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

class ScanGate {
public:
    // Waits until the gate is free or held by this thread, then holds it. With
    // `keepWaiting`, gives up (false) as soon as it reads false.
    bool Enter(const std::atomic<bool> *keepWaiting = nullptr);
    void Leave();
    // Wakes the waiters, so that they look at their keepWaiting again.
    void Interrupt();

    // The holder is in the application's callback between these two.
    void BeginCallback();
    void EndCallback();

    enum class Wait { Held, HolderInCallback, TimedOut };
    // For Shutdown: holds the gate when it is free or this thread's; gives up
    // when its holder is in a callback, or after `limit`.
    Wait EnterUnlessInCallback(std::chrono::milliseconds limit);

    class Hold {
    public:
        Hold(ScanGate &gate, const std::atomic<bool> *keepWaiting = nullptr)
            : gate(gate), held(gate.Enter(keepWaiting))
        {
        }
        ~Hold()
        {
            if (held)
                gate.Leave();
        }
        explicit operator bool() const { return held; }
        Hold(const Hold &) = delete;
        Hold &operator=(const Hold &) = delete;

    private:
        ScanGate &gate;
        bool held;
    };

private:
    bool FreeFor(DWORD thread) const { return depth == 0 || owner == thread; }
    void Take(DWORD thread);

    std::mutex mutex;
    std::condition_variable changed;
    DWORD owner = 0;
    int depth = 0;
    int callbacks = 0; // callbacks the holder is in
};
