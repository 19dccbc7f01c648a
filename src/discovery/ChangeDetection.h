// Change detection: which interface paths are new since the last scan, and
// which instruments arrived or left - logged, reported to the device-event
// callback, and the gone ones closed and erased from the table.
#pragma once

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

// Makes `destination` a copy of `source` and empties `source`.
void CopyDevicePaths(std::vector<std::string> &destination, std::vector<std::string> &source, const LogLines &log);

// The paths of `current` that `previous` does not hold, in `current`'s order.
std::vector<std::string> CreateNewlyDiscoveredList(const std::vector<std::string> &previous,
                                                   const std::vector<std::string> &current, const LogLines &log);

// Reports every instrument of the session's table on an added path (arrivals
// first), then every one on a path that is gone, which leaves the table once
// its callback has returned. A callback may scan again or shut down: the
// changes are the caller's own copy, every entry is looked up afresh, and
// once the session is closed nothing more is reported or touched.
void CheckDeviceDiscoveryChanges(const PathChanges &changes, Session &session, const LogLines &log);
