// The gate that serialises scans and Shutdown.
#include "discovery/ScanGate.h"

bool ScanGate::Enter(const std::atomic<bool> *keepWaiting)
{
    const DWORD self = GetCurrentThreadId();
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return depth == 0 || owner == self || (keepWaiting != nullptr && !*keepWaiting); });
    if (keepWaiting != nullptr && !*keepWaiting)
        return false;
    owner = self;
    ++depth;
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
