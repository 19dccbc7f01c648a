// What the library has found since it was initialised: the device table, the
// interface paths of the last scan, the scan settings, the next sequential
// device ID, and the arrivals and removals still to be reported. Shutdown
// closes the session and starts a new one, so that a callback of the old one
// still running - on a watcher whose callback the application holds up - can
// touch nothing of what comes after.
#pragma once

#include "discovery/ChangeDetection.h"
#include "discovery/DeviceTable.h"
#include "discovery/ScanGate.h"

#include <atomic>
#include <deque>
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

    // Set by Close: a scan stops at its next step and nobody is called more.
    bool Closed() const { return closed; }

    // Queues a scan's events; the scan posts them while it holds the gate, so
    // that they keep the order of the scans.
    void Post(std::vector<DeviceEvent> events);
    // Reports the queued events in order, one callback at a time, unless
    // another thread (or this one, from inside a callback) is doing so already:
    // then that one reports them as well, and this returns at once. Never call
    // it holding the gate or any lock another call may wait for.
    void DeliverEvents(const LogLines &log);

    // Calls the application's device-event callback, unless the session is
    // closed; false when it is closed, before or during the call.
    bool Notify(int deviceID, int attached);

    // The instrument a scan is identifying (null: none), whose transfers Close
    // aborts. False when the session is closed already: refuse the instrument.
    bool Identifying(const DeviceTableEntry *entry);

    // No callback starts after this returns, queued events are dropped, every
    // instrument is closed, and so is the one being identified: a scan under
    // way is waited for, its transfers aborted so that the wait is short.
    void Close(const LogLines &log);

private:
    void AbortIdentification();

    WinUSBWrap &winUsb;
    std::atomic<bool> closed{false};
    // Guards `closed` against a callback starting, the identification under
    // way and the queued events.
    std::mutex mutex;
    bool identifying = false;
    DeviceTableEntry working{};
    std::deque<DeviceEvent> queued;
    bool delivering = false;
};
