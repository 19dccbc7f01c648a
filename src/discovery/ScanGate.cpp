// The gate that serialises the scans of a session.
#include "discovery/ScanGate.h"

void ScanGate::Take(DWORD thread)
{
    owner = thread;
    ++depth;
}

bool ScanGate::Enter(const std::atomic<bool> *keepWaiting)
{
    const DWORD self = GetCurrentThreadId();
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return FreeFor(self) || (keepWaiting != nullptr && !*keepWaiting); });
    if (keepWaiting != nullptr && !*keepWaiting)
        return false;
    Take(self);
    return true;
}

bool ScanGate::EnterWithin(std::chrono::milliseconds limit)
{
    const DWORD self = GetCurrentThreadId();
    std::unique_lock<std::mutex> lock(mutex);
    if (!changed.wait_for(lock, limit, [&] { return FreeFor(self); }))
        return false;
    Take(self);
    return true;
}

void ScanGate::Leave()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (--depth == 0)
            owner = 0;
    }
    changed.notify_all();
}

void ScanGate::Interrupt()
{
    { std::lock_guard<std::mutex> lock(mutex); }
    changed.notify_all();
}
