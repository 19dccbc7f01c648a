// What the library has found since it was initialised: the device table, the
// interface paths of the last scan, the scan settings and the next sequential
// device ID. Shutdown closes the session and starts a new one, so that a scan
// of the old one still under way can touch nothing of what comes after.
#pragma once

#include "discovery/DeviceTable.h"
#include "discovery/ScanGate.h"

#include <atomic>
#include <string>
#include <vector>

struct Session {
    explicit Session(WinUSBWrap &winUsb) : table(winUsb) {}

    DeviceTable table;
    // One scan at a time; its holder owns knownPaths and nextDeviceID.
    ScanGate gate;
    // The interface paths the last scan found, in enumeration order.
    std::vector<std::string> knownPaths;
    int nextDeviceID = 0;

    // Set by Shutdown: a scan that comes later finds nothing to do.
    std::atomic<bool> closed{false};

    // Written by the facade before it scans: the product filter (0: any) and
    // whether device IDs come from the instruments' ADDR? replies.
    std::atomic<unsigned> productID{0};
    std::atomic<bool> useUSBAddress{false};
};
