// Lets one thread at a time scan or shut down. It is re-entrant for the thread
// that holds it, because a device-event callback may start a scan of its own
// (or shut the library down) from inside a scan; and a watcher waiting for it
// gives up when it is told to stop, so that Shutdown can wait for the watcher
// while another thread's scan holds the gate.
#pragma once

#include "platform/winapi.h"

#include <atomic>
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
    std::mutex mutex;
    std::condition_variable changed;
    DWORD owner = 0;
    int depth = 0;
};
