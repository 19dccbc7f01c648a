// Starting and stopping the hot-plug watcher, and Shutdown, which stops it and
// closes every instrument.
#include "diagnostics/Logger.h"
#include "discovery/Discover.h"
#include "discovery/WatcherThread.h"

std::shared_ptr<WatcherControl> Discover::CurrentWatcher()
{
    std::lock_guard<std::mutex> lock(watcherMutex);
    return watcher;
}

void Discover::CreateDiscoveryThread()
{
    try {
        Trace("CreateDiscoveryThread: Enter.");
        DeviceDiscovery();
        // Once the watcher listens, one more scan reports what was plugged or
        // unplugged while it was setting up, so that nothing falls between the
        // first scan and the first notification. A watcher that must first wait
        // for this very thread (it stopped itself from its own callback) is not
        // waited for.
        std::shared_ptr<WatcherControl> started = StartWatcherThread();
        if (started && started->creatorMayWait && started->WaitUntilSetUp())
            DeviceDiscovery();
        Trace("CreateDiscoveryThread: Exit.");
    } catch (...) {
        if (logger != nullptr)
            logger->Log("CreateDiscoveryThread: Exception.");
    }
}

// Starts a watcher unless one is running (one window class, one watcher); the
// new watcher's state, or null.
std::shared_ptr<WatcherControl> Discover::StartWatcherThread()
{
    std::lock_guard<std::mutex> lock(watcherMutex);
    if (watcher && WaitForSingleObject(watcher->threadHandle, 0) == WAIT_TIMEOUT)
        return nullptr;

    auto control = std::make_shared<WatcherControl>();
    control->owner = this;
    control->previous = std::move(retiredWatcher);
    control->creatorMayWait = runningWatcher == nullptr;
    // Set before the thread exists, so that its first look finds it set.
    control->threadRunning = true;
    auto *start = new std::shared_ptr<WatcherControl>(control);
    DWORD threadId = 0;
    HANDLE thread = CreateThread(nullptr, 0, DiscoveryThread, start, 0, &threadId);
    if (thread == nullptr) {
        delete start;
        control->threadRunning = false;
        retiredWatcher = std::move(control->previous);
        watcher.reset();
        if (logger != nullptr)
            logger->Log("CreateDiscoveryThread:  Could not create thread.");
        return nullptr;
    }
    control->threadHandle = thread;
    control->threadId = threadId;
    watcher = control;
    return control;
}

void Discover::Shutdown()
{
    try {
        Trace("Shutdown: Enter.");
        std::shared_ptr<WatcherControl> stopping;
        {
            std::lock_guard<std::mutex> lock(watcherMutex);
            stopping = std::move(watcher);
            // A watcher started while this one stops (from its callback, or by
            // another thread) must wait until it has let go of the window class.
            if (stopping)
                retiredWatcher = stopping;
        }
        if (stopping)
            StopWatcher(stopping);
        CloseAllAndReset();
        Trace("Shutdown: Exit.");
    } catch (...) {
        if (logger != nullptr)
            logger->Log("Shutdown: Exception.");
    }
}

// Tells the watcher to stop and waits until it has. Its scans give up as soon
// as threadRunning is false, so even a watcher that cannot be woken no longer
// touches the table once the scan gate is ours.
void Discover::StopWatcher(const std::shared_ptr<WatcherControl> &stopping)
{
    stopping->threadRunning = false;
    scanGate.Interrupt();
    HANDLE stopEvent = nullptr;
    {
        std::lock_guard<std::mutex> lock(stopping->eventMutex);
        stopEvent = stopping->shutdownEvent;
    }
    // Without an event yet, the watcher has still to look at threadRunning
    // before its first wait, and will stop by itself.
    bool signalled = true;
    if (stopEvent != nullptr) {
        signalled = SetEvent(stopEvent) != FALSE;
        if (signalled) {
            Sleep(100);
        } else if (logger != nullptr) {
            DWORD error = GetLastError();
            logger->Log("Shutdown: Could not SetEvent.");
            logger->LogLastError(error);
        }
    }
    if (stopping->threadId == GetCurrentThreadId()) {
        // Called from the watcher's own callback: it ends once that returns.
        std::lock_guard<std::mutex> lock(watcherMutex);
        retiredWatcher = stopping;
        return;
    }
    // An event that could not be signalled gets more chances; a watcher that
    // cannot be woken at all is left to end at its next wake-up.
    for (int attempt = 0; !signalled && attempt < 50; ++attempt) {
        if (WaitForSingleObject(stopping->threadHandle, 100) != WAIT_TIMEOUT)
            return;
        signalled = SetEvent(stopEvent) != FALSE;
    }
    if (signalled) {
        WaitForSingleObject(stopping->threadHandle, INFINITE);
        // Had it given up waiting for an earlier watcher, the next one waits
        // for that one instead.
        std::shared_ptr<WatcherControl> earlier;
        {
            std::lock_guard<std::mutex> lock(stopping->eventMutex);
            earlier = stopping->previous;
        }
        std::lock_guard<std::mutex> lock(watcherMutex);
        if (retiredWatcher == stopping)
            retiredWatcher = earlier;
    } else if (logger != nullptr)
        logger->Log("Shutdown: The watcher thread did not stop; it ends at its next wake-up.");
}

void Discover::CloseAllAndReset()
{
    ScanGate::Hold hold(scanGate);
    std::vector<DeviceTableEntry> entries;
    {
        std::lock_guard<std::mutex> lock(tableMutex);
        for (const auto &item : deviceTable)
            entries.push_back(item.second);
    }
    for (DeviceTableEntry &entry : entries) {
        try {
            CloseEntry(entry);
        } catch (...) {
            if (logger != nullptr)
                logger->Log("Shutdown Loop: Exception.");
        }
    }
    currentDevicePaths.clear();
    previousDevicePaths.clear();
    newlyDiscoveredPaths.clear();
    {
        std::lock_guard<std::mutex> lock(tableMutex);
        deviceTable.clear();
    }
    nextDeviceID = 0;
    productID = 0;
    useUSBAddress = false;
}
