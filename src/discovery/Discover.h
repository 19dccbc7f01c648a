// Everything the library knows about the attached instruments, as the facade
// sees it: the device table's listings and lookups, the scan, event mode with
// its hot-plug watcher, and Shutdown. The work is done by the units it
// delegates to: the Session (device table and scan state), Scan, change
// detection and the Watcher.
//
// Threads: the caller's threads (through the exports) and the watcher's. The
// device table has its own lock; the session's scan gate lets one thread at a
// time scan. No application callback runs under either: a scan's events are
// delivered after it has let go of the gate, in order, one at a time.
#pragma once

#include "diagnostics/LogLines.h"
#include "discovery/DeviceTableEntry.h"

#include "ostrel.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class Session;
class Watcher;
class WinUSBWrap;

class Discover {
public:
    Discover(WinUSBWrap &winUsb, const LogSwitches &switches);
    ~Discover();
    Discover(const Discover &) = delete;
    Discover &operator=(const Discover &) = delete;

    // ---- The device table; every listing in ascending key order ----
    DWORD GetDeviceCount();
    std::vector<std::string> GetDeviceKeys();
    std::vector<std::pair<std::string, int>> GetDeviceKeysAndIDs();
    // The key of the first instrument with this ID, or empty.
    std::string GetDeviceKeyFromDeviceID(int deviceID);
    // "<ID>,<identity reply>;" for every instrument, NUL-terminated; nothing
    // at all, not even the NUL, when the table is empty.
    void GetDeviceInfo(char *buffer);
    bool HasDuplicateDeviceID();
    EntryRef GetDeviceTableEntry(const std::string &key);
    EntryRef GetDeviceTableEntry(int deviceID);

    // ---- Scans ----
    // The product filter (0: every product) and the device-ID rule of the
    // scans to come; Shutdown sets them back to 0 and false.
    void SetProductID(unsigned productID);
    void SetUseUSBAddress(bool useUSBAddress);
    // One scan on the calling thread.
    void DeviceDiscovery();

    // ---- Event mode and shutdown ----
    static void SetEventCallback(DeviceEventCallback callback);
    // One scan on the calling thread, then the watcher, which rescans at every
    // device change; once the watcher listens, a second scan catches what
    // changed while it was setting up.
    void CreateDiscoveryThread();
    // Stops the watcher, closes every instrument and starts over, without
    // waiting on the application.
    void Shutdown();

private:
    std::shared_ptr<Session> CurrentSession();
    void RunScan(Session &session, const std::atomic<bool> *keepGoing);
    std::shared_ptr<Watcher> StartWatcher(const std::shared_ptr<Session> &session);

    WinUSBWrap &winUsb;
    const LogLines log;

    // Guards which session and which watcher are current.
    std::mutex stateMutex;
    std::shared_ptr<Session> session;
    std::shared_ptr<Watcher> watcher;
};
