// What the library has found since it was initialised: the device table, the
// interface paths of the last scan, the scan settings and the next sequential
// device ID. Shutdown closes the session and starts a new one, so that a scan
// of the old one still under way - on a watcher whose callback the
// application holds up - can touch nothing of what comes after.
#pragma once

#include "discovery/DeviceTable.h"
#include "discovery/ScanGate.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

class LogLines;

class Session {
public:
    explicit Session(WinUSBWrap &winUsb) : table(winUsb), winUsb(winUsb) {}

    DeviceTable table;
    // One scan at a time; its holder owns knownPaths and nextDeviceID.
    ScanGate gate;
    // The interface paths the last scan found, in enumeration order.
    std::vector<std::string> knownPaths;
    int nextDeviceID = 0;

    // Written by the facade before it scans: the product filter (0: any) and
    // whether device IDs come from the instruments' ADDR? replies.
    std::atomic<unsigned> productID{0};
    std::atomic<bool> useUSBAddress{false};

    // Set by Close: a scan stops at its next step and calls nobody more.
    bool Closed() const { return closed; }

    // Calls the application's device-event callback, unless the session is
    // closed; while it runs, Close does not wait for the scan. False when the
    // session is closed, before or during the call: the scan stops there.
    bool Notify(int deviceID, int attached);

    // The instrument a scan is identifying (null: none), whose transfers Close
    // aborts. False when the session is closed already: refuse the instrument.
    bool Identifying(const DeviceTableEntry *entry);

    // No callback starts after this returns, every instrument is closed, and
    // so is the one being identified. It waits for a scan under way only while
    // that scan does the library's own work, never while it is in a callback.
    void Close(const LogLines &log);

private:
    void AbortIdentification();

    WinUSBWrap &winUsb;
    std::atomic<bool> closed{false};
    // Guards `closed` against a callback starting, and `working`.
    std::mutex mutex;
    bool identifying = false;
    DeviceTableEntry working{};
};
