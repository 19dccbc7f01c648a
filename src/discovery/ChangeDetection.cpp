// Change detection between two scans, and the delivery of what it found.
#include "discovery/ChangeDetection.h"

#include "diagnostics/LogLines.h"
#include "discovery/Session.h"

#include <algorithm>
#include <utility>

namespace {

bool Holds(const std::vector<std::string> &paths, const std::string &path)
{
    return std::find(paths.begin(), paths.end(), path) != paths.end();
}

void CollectAdded(const std::vector<std::string> &added, const DeviceTable &table, const LogLines &log,
                  std::vector<DeviceEvent> &events)
{
    for (const std::string &path : added) {
        GuardedLine(log, "CheckDeviceDiscoveryChanges: Device Added Exception.", [&] {
            for (const auto &[key, id] : table.OnPath(path))
                events.push_back({.key = key, .deviceID = id, .attached = true, .entry = {}});
        });
    }
}

void CollectGone(const PathChanges &changes, DeviceTable &table, const LogLines &log,
                 std::vector<DeviceEvent> &events)
{
    for (const std::string &path : changes.previous) {
        GuardedLine(log, "CheckDeviceDiscoveryChanges: Previously Discovered Device Exception.", [&] {
            if (Holds(changes.current, path))
                return;
            for (auto &[key, entry] : table.MarkLeaving(path))
                events.push_back({.key = key, .deviceID = entry.deviceID, .attached = false, .entry = entry});
        });
    }
}

} // namespace

void CopyDevicePaths(std::vector<std::string> &destination, std::vector<std::string> &source, const LogLines &log)
{
    Guarded(log, "CopyDevicePaths", [&] {
        TraceScope trace(log, "CopyDevicePaths");
        destination.clear();
        destination.insert(destination.end(), source.begin(), source.end());
        source.clear();
    });
}

std::vector<std::string> CreateNewlyDiscoveredList(const std::vector<std::string> &previous,
                                                   const std::vector<std::string> &current, const LogLines &log)
{
    std::vector<std::string> added;
    Guarded(log, "CreateNewlyDiscoveredList", [&] {
        TraceScope trace(log, "CreateNewlyDiscoveredList");
        for (const std::string &path : current)
            if (!Holds(previous, path))
                added.push_back(path);
    });
    return added;
}

std::vector<DeviceEvent> CheckDeviceDiscoveryChanges(const PathChanges &changes, Session &session,
                                                     const LogLines &log)
{
    std::vector<DeviceEvent> events;
    Guarded(log, "CheckDeviceDiscoveryChanges", [&] {
        TraceScope trace(log, "CheckDeviceDiscoveryChanges");
        CollectAdded(changes.added, session.table, log, events);
        CollectGone(changes, session.table, log, events);
    });
    return events;
}

void DeliverDeviceEvent(const DeviceEvent &event, Session &session, const LogLines &log)
{
    if (session.Closed())
        return;
    if (event.attached) {
        GuardedLine(log, "CheckDeviceDiscoveryChanges: Device Added Exception.", [&] {
            log.Data("   *** New device discovered: %s", event.key.c_str());
            session.Notify(event.deviceID, 1);
        });
        return;
    }
    GuardedLine(log, "CheckDeviceDiscoveryChanges: Device Removed Exception.", [&] {
        log.Data("   *** Device removed from discovery: %s", event.key.c_str());
        // The callback sees the entry still in the table, with the ID it held;
        // then it is closed (transfers under way aborted first) and erased.
        DeviceTableEntry entry = event.entry;
        if (session.Notify(event.deviceID, 0))
            session.table.Remove(event.key, entry);
    });
}
