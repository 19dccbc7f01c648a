// Everything the library knows about the attached instruments: the device
// table with each instrument's open handles, the scans that fill it, the change
// detection that reports arrivals and removals, and the hot-plug watcher.
//
// Threads: the caller's threads (through the exports) and one watcher thread.
// `tableMutex` guards the device table, and is never held while an instrument
// is talked to or a callback runs. The scan gate lets one thread at a time scan
// or shut down (the path lists and scan state belong to whoever holds it).
// Transfers hold an instrument's DeviceIo shared, so that its handles are
// closed only once no transfer uses them.
#pragma once

#include "discovery/DeviceTableEntry.h"
#include "discovery/ScanGate.h"
#include "platform/winapi.h"
#include "transport/WinUSBWrap.h"

#include "ostrel.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class Logger;

// The caller's device-event function; null: nobody is told.
extern std::atomic<DeviceEventCallback> deviceEventCallback;

// One watcher thread's state, shared by the thread and by Discover: whichever
// lets go last closes the thread handle and the stop event.
struct WatcherControl {
    ~WatcherControl();

    std::atomic<bool> threadRunning{false};
    std::atomic<DWORD> threadId{0};
    HANDLE threadHandle = nullptr;
    std::mutex eventMutex;
    HANDLE shutdownEvent = nullptr;
    // The watcher stopped before this one started, which may still be finishing
    // and hold the window class; this one waits for it, and for any watcher
    // that one gave up waiting for, before taking the class. Guarded by
    // eventMutex; left set only by a watcher that gave up waiting.
    std::shared_ptr<WatcherControl> previous;
    // False when a watcher starts this one (from its callback): the new one
    // may have to wait for it to end, so it cannot wait for the set-up.
    bool creatorMayWait = true;
    class Discover *owner = nullptr;
    std::atomic<DWORD> exitCode{STILL_ACTIVE};

    // Set-up finished: listening for notifications, or given up.
    void MarkSetUp(bool nowListening);
    // Waits (bounded) until set-up finished; true if the watcher listens.
    bool WaitUntilSetUp();

private:
    std::mutex setUpMutex;
    std::condition_variable setUpChanged;
    bool setUpDone = false;
    bool listening = false;
};

class Discover {
public:
    Discover();
    ~Discover();
    Discover(const Discover &) = delete;
    Discover &operator=(const Discover &) = delete;

    // ---- The device table (DeviceTable.cpp) ----
    DWORD GetDeviceCount();
    void GetDeviceKeys(std::vector<std::string> &keys);
    void GetDeviceKeysAndIDs(std::vector<std::string> &keys, std::vector<int> &ids);
    std::string GetDeviceKeyFromDeviceID(int deviceID);
    void GetDeviceInfo(char *buffer);
    bool HasDuplicateDeviceID();
    EntryRef GetDeviceTableEntry(std::string key);
    EntryRef GetDeviceTableEntry(int deviceID);

    // ---- The scan (DeviceDiscovery.cpp) ----
    void DeviceDiscovery();
    void LogDevicePaths(const char *label, std::vector<std::string> &paths);
    bool GenerateDeviceID(DeviceTableEntry &entry);
    bool GenerateDeviceKey(DeviceTableEntry &entry, std::string &key);
    bool Query(DeviceTableEntry &entry, std::string command, char (&reply)[64]);

    // ---- Change detection (ChangeDetection.cpp) ----
    void CopyDevicePaths(std::vector<std::string> &destination, std::vector<std::string> &source);
    void CreateNewlyDiscoveredList();
    void CheckDeviceDiscoveryChanges();

    // ---- The watcher and shutdown (Watcher.cpp) ----
    void CreateDiscoveryThread();
    void Shutdown();
    static DWORD WINAPI DiscoveryThread(void *parameter);
    static LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    // The running watcher's state, null when none was started.
    std::shared_ptr<WatcherControl> CurrentWatcher();

    // Switches and scan settings, written by the facade.
    std::atomic<bool> loggingEnabled{false};
    std::atomic<bool> traceEnabled{false};
    std::atomic<unsigned> productID{0};
    std::atomic<bool> useUSBAddress{false};

private:
    bool DataLines() const { return loggingEnabled || traceEnabled; }
    void Trace(const char *line);
    void ScanWithGate(const std::atomic<bool> *keepWaiting);
    void ExamineNewPath(const std::string &path, DeviceTableEntry &working);
    bool IdentifyDevice(DeviceTableEntry &working, std::string &key);
    void CloseEntry(DeviceTableEntry &entry);
    void ReportAdded(const std::vector<std::string> &newPaths);
    void RemoveGone(const std::vector<std::string> &previous, const std::vector<std::string> &current);
    std::shared_ptr<WatcherControl> StartWatcherThread();
    void StopWatcher(const std::shared_ptr<WatcherControl> &watcher);
    void CloseAllAndReset();

    Logger *logger = nullptr;
    WinUSBWrap winUsb;
    int nextDeviceID = 0;
    std::vector<std::string> currentDevicePaths;
    std::vector<std::string> previousDevicePaths;
    std::vector<std::string> newlyDiscoveredPaths;

    using DeviceTable = std::map<std::string, DeviceTableEntry>;
    using EntryFinder = std::function<const DeviceTableEntry *(const DeviceTable &)>;
    // Looks an entry up under the table lock and holds its handles for a transfer.
    EntryRef FindEntry(const EntryFinder &find);

    std::mutex tableMutex;
    DeviceTable deviceTable;

    ScanGate scanGate;

    std::mutex watcherMutex;
    std::shared_ptr<WatcherControl> watcher;
    std::shared_ptr<WatcherControl> retiredWatcher;

    // The window's owner: set by WndProc when the window is created.
    static std::atomic<Discover *> notifyOwner;
};
