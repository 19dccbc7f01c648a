// Change detection: which paths are new since the last scan, and which
// instruments arrived or left - logged, reported to the device-event callback,
// and the gone ones closed and erased.
#include "diagnostics/Logger.h"
#include "discovery/Discover.h"

#include <algorithm>
#include <utility>

void Discover::CopyDevicePaths(std::vector<std::string> &destination, std::vector<std::string> &source)
{
    try {
        Trace("CopyDevicePaths: Enter.");
        destination.clear();
        destination.insert(destination.end(), source.begin(), source.end());
        source.clear();
        Trace("CopyDevicePaths: Exit.");
    } catch (...) {
        if (logger != nullptr)
            logger->Log("CopyDevicePaths: Exception.");
    }
}

void Discover::CreateNewlyDiscoveredList()
{
    try {
        Trace("CreateNewlyDiscoveredList: Enter.");
        newlyDiscoveredPaths.clear();
        for (const std::string &path : currentDevicePaths)
            if (std::find(previousDevicePaths.begin(), previousDevicePaths.end(), path) == previousDevicePaths.end())
                newlyDiscoveredPaths.push_back(path);
        Trace("CreateNewlyDiscoveredList: Exit.");
    } catch (...) {
        if (logger != nullptr)
            logger->Log("CreateNewlyDiscoveredList: Exception.");
    }
}

void Discover::CheckDeviceDiscoveryChanges()
{
    try {
        Trace("CheckDeviceDiscoveryChanges: Enter.");
        // A callback may scan again (or shut down) on this thread, which
        // rewrites the path lists: work on copies.
        const std::vector<std::string> added = newlyDiscoveredPaths;
        const std::vector<std::string> previous = previousDevicePaths;
        const std::vector<std::string> current = currentDevicePaths;
        ReportAdded(added);
        RemoveGone(previous, current);
        Trace("CheckDeviceDiscoveryChanges: Exit.");
    } catch (...) {
        if (logger != nullptr)
            logger->Log("CheckDeviceDiscoveryChanges: Exception.");
    }
}

namespace {

// The key and ID of every entry on a path, in key order.
std::vector<std::pair<std::string, int>> EntriesOnPath(const std::map<std::string, DeviceTableEntry> &table,
                                                       const std::string &path)
{
    std::vector<std::pair<std::string, int>> found;
    for (const auto &item : table)
        if (item.second.devicePath == path)
            found.emplace_back(item.first, item.second.deviceID);
    return found;
}

bool StillOnPath(const std::map<std::string, DeviceTableEntry> &table, const std::string &key,
                 const std::string &path)
{
    auto item = table.find(key);
    return item != table.end() && item->second.devicePath == path;
}

} // namespace

void Discover::ReportAdded(const std::vector<std::string> &newPaths)
{
    for (const std::string &path : newPaths) {
        std::vector<std::pair<std::string, int>> found;
        {
            std::lock_guard<std::mutex> lock(tableMutex);
            found = EntriesOnPath(deviceTable, path);
        }
        for (const auto &[key, id] : found) {
            try {
                {
                    // An earlier callback may have shut the library down.
                    std::lock_guard<std::mutex> lock(tableMutex);
                    if (!StillOnPath(deviceTable, key, path))
                        continue;
                }
                if (logger != nullptr)
                    logger->LogFormat(DataLines(), "   *** New device discovered: %s", key.c_str());
                if (DeviceEventCallback callback = deviceEventCallback.load())
                    callback(id, 1);
            } catch (...) {
                if (logger != nullptr)
                    logger->Log("CheckDeviceDiscoveryChanges: Device Added Exception.");
            }
        }
    }
}

void Discover::RemoveGone(const std::vector<std::string> &previous, const std::vector<std::string> &current)
{
    std::vector<std::pair<std::string, std::string>> removed; // key, path
    for (const std::string &path : previous) {
        try {
            if (std::find(current.begin(), current.end(), path) != current.end())
                continue;
            std::lock_guard<std::mutex> lock(tableMutex);
            for (const auto &[key, id] : EntriesOnPath(deviceTable, path)) {
                (void)id;
                removed.emplace_back(key, path);
            }
        } catch (...) {
            if (logger != nullptr)
                logger->Log("CheckDeviceDiscoveryChanges: Previously Discovered Device Exception.");
        }
    }

    for (const auto &[key, path] : removed) {
        try {
            if (logger != nullptr)
                logger->LogFormat(DataLines(), "   *** Device removed from discovery: %s", key.c_str());
            // The callback sees the entry still in the table, with the ID it held.
            DeviceTableEntry gone{};
            {
                std::lock_guard<std::mutex> lock(tableMutex);
                if (!StillOnPath(deviceTable, key, path))
                    continue;
                gone = deviceTable.at(key);
            }
            if (DeviceEventCallback callback = deviceEventCallback.load())
                callback(gone.deviceID, 0);
            // Close before erasing, so that an unplugged instrument leaks nothing;
            // transfers under way finish first.
            CloseEntry(gone);
            std::lock_guard<std::mutex> lock(tableMutex);
            auto item = deviceTable.find(key);
            if (item != deviceTable.end() && item->second.io == gone.io)
                deviceTable.erase(item);
        } catch (...) {
            if (logger != nullptr)
                logger->Log("CheckDeviceDiscoveryChanges: Device Removed Exception.");
        }
    }
}

void Discover::CloseEntry(DeviceTableEntry &entry)
{
    if (!entry.io)
        return;
    entry.io->closing = true;
    std::unique_lock<std::shared_mutex> hold(entry.io->mutex);
    if (!entry.io->open)
        return;
    entry.io->open = false;
    winUsb.CloseDeviceHandles(entry.deviceHandle, entry.winUsbHandle);
}
