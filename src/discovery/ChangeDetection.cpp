// Change detection between two scans.
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

void ReportAdded(const std::vector<std::string> &added, Session &session, const LogLines &log)
{
    DeviceTable &table = session.table;
    for (const std::string &path : added) {
        for (const auto &[key, id] : table.OnPath(path)) {
            if (session.Closed())
                return;
            GuardedLine(log, "CheckDeviceDiscoveryChanges: Device Added Exception.", [&, &key = key, id = id] {
                // An earlier callback may have removed it, or scanned again.
                DeviceTableEntry entry{};
                if (!table.StillOnPath(key, path, entry))
                    return;
                log.Data("   *** New device discovered: %s", key.c_str());
                session.Notify(id, 1);
            });
        }
    }
}

// (key, path) of every instrument on a path the scan no longer found.
std::vector<std::pair<std::string, std::string>> CollectGone(const PathChanges &changes, const DeviceTable &table,
                                                             const LogLines &log)
{
    std::vector<std::pair<std::string, std::string>> gone;
    for (const std::string &path : changes.previous) {
        GuardedLine(log, "CheckDeviceDiscoveryChanges: Previously Discovered Device Exception.", [&] {
            if (Holds(changes.current, path))
                return;
            for (const auto &item : table.OnPath(path))
                gone.emplace_back(item.first, path);
        });
    }
    return gone;
}

void RemoveGone(const std::vector<std::pair<std::string, std::string>> &gone, Session &session,
                const LogLines &log)
{
    DeviceTable &table = session.table;
    for (const auto &[key, path] : gone) {
        if (session.Closed())
            return;
        GuardedLine(log, "CheckDeviceDiscoveryChanges: Device Removed Exception.", [&, &key = key, &path = path] {
            log.Data("   *** Device removed from discovery: %s", key.c_str());
            // The callback sees the entry still in the table, with the ID it held.
            DeviceTableEntry entry{};
            if (!table.StillOnPath(key, path, entry) || !session.Notify(entry.deviceID, 0))
                return;
            // Closed before it is erased, so that an unplugged instrument leaks
            // nothing; transfers under way are aborted first.
            table.Remove(key, entry);
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

void CheckDeviceDiscoveryChanges(const PathChanges &changes, Session &session, const LogLines &log)
{
    Guarded(log, "CheckDeviceDiscoveryChanges", [&] {
        TraceScope trace(log, "CheckDeviceDiscoveryChanges");
        ReportAdded(changes.added, session, log);
        RemoveGone(CollectGone(changes, session.table, log), session, log);
    });
}
