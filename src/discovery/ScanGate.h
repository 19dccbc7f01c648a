// Lets one thread at a time scan a session. It is re-entrant for the thread
// that holds it (a catch-up scan runs a whole scan inside its own hold). Its
// holder only ever does the library's own work - no application callback runs
// inside it - so every wait for it is short, and Shutdown can bound its wait
// by aborting the transfers of the identification under way.
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
    // Holds the gate if it becomes free (or is this thread's) within `limit`.
    bool EnterWithin(std::chrono::milliseconds limit);
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
    bool FreeFor(DWORD thread) const { return depth == 0 || owner == thread; }
    void Take(DWORD thread);

    std::mutex mutex;
    std::condition_variable changed;
    DWORD owner = 0;
    int depth = 0;
};
