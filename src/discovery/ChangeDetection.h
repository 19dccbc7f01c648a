// Change detection: which interface paths are new since the last scan, and
// which instruments arrived or left. A scan collects the arrivals and
// removals it finds; the session delivers them (log line, device-event
// callback, and for a removal closing and erasing the entry) once the scan
// has let go of its gate.
#pragma once

#include "discovery/DeviceTableEntry.h"

#include <string>
#include <vector>

class LogLines;
class Session;

// What one scan found against the scan before it.
struct PathChanges {
    std::vector<std::string> previous; // the last scan's paths
    std::vector<std::string> current;  // this scan's, in enumeration order
    std::vector<std::string> added;    // those of `current` that `previous` lacks, in the same order
};

// One arrival or removal, as the scan found it: the callback gets the ID the
// table held then.
struct DeviceEvent {
    std::string key;
    int deviceID;
    bool attached;
    DeviceTableEntry entry; // a removal's, to close once its callback has returned
};

// Makes `destination` a copy of `source` and empties `source`.
void CopyDevicePaths(std::vector<std::string> &destination, std::vector<std::string> &source, const LogLines &log);

// The paths of `current` that `previous` does not hold, in `current`'s order.
std::vector<std::string> CreateNewlyDiscoveredList(const std::vector<std::string> &previous,
                                                   const std::vector<std::string> &current, const LogLines &log);

// The events of one scan, in the order they are reported: every instrument of
// the session's table on an added path (in path order, then key order), then
// every one on a path that is gone, marked as leaving so that the instrument
// can take its key again if it comes back before its removal is delivered.
std::vector<DeviceEvent> CheckDeviceDiscoveryChanges(const PathChanges &changes, Session &session,
                                                     const LogLines &log);

// Delivers one event of the session: its log line, the callback, and for a
// removal the entry's closing once the callback has returned. Nothing is
// reported once the session is closed.
void DeliverDeviceEvent(const DeviceEvent &event, Session &session, const LogLines &log);
