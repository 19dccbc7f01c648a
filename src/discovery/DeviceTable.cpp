// The device table: construction and the lookups the facade lists and
// transfers with. Every walk visits entries in ascending key order.
#include "diagnostics/Logger.h"
#include "discovery/Discover.h"

#include <cstdio>
#include <cstring>
#include <set>

std::atomic<DeviceEventCallback> deviceEventCallback{nullptr};

Discover::Discover() : logger(Logger::GetInstance()) {}

Discover::~Discover()
{
    try {
        Shutdown();
    } catch (...) {
        if (logger != nullptr)
            logger->Log("~Discover: Exception.");
    }
}

void Discover::Trace(const char *line)
{
    if (traceEnabled && logger != nullptr)
        logger->Log(line);
}

DWORD Discover::GetDeviceCount()
{
    try {
        std::lock_guard<std::mutex> lock(tableMutex);
        return static_cast<DWORD>(deviceTable.size());
    } catch (...) {
        if (logger != nullptr)
            logger->Log("GetDeviceCount: Exception.");
    }
    return 0;
}

void Discover::GetDeviceKeys(std::vector<std::string> &keys)
{
    try {
        Trace("GetDeviceKeys: Enter.");
        {
            std::lock_guard<std::mutex> lock(tableMutex);
            for (const auto &item : deviceTable)
                keys.push_back(item.first);
        }
        Trace("GetDeviceKeys: Exit.");
    } catch (...) {
        if (logger != nullptr)
            logger->Log("GetDeviceKeys: Exception.");
    }
}

void Discover::GetDeviceKeysAndIDs(std::vector<std::string> &keys, std::vector<int> &ids)
{
    try {
        Trace("GetDeviceKeysAndIDs: Enter.");
        {
            std::lock_guard<std::mutex> lock(tableMutex);
            for (const auto &item : deviceTable) {
                keys.push_back(item.first);
                ids.push_back(item.second.deviceID);
            }
        }
        Trace("GetDeviceKeysAndIDs: Exit.");
    } catch (...) {
        if (logger != nullptr)
            logger->Log("GetDeviceKeysAndIDs: Exception.");
    }
}

std::string Discover::GetDeviceKeyFromDeviceID(int deviceID)
{
    try {
        Trace("GetDeviceKeyFromDeviceID: Enter.");
        std::string key;
        {
            std::lock_guard<std::mutex> lock(tableMutex);
            for (const auto &item : deviceTable)
                if (item.second.deviceID == deviceID) {
                    key = item.first;
                    break;
                }
        }
        Trace("GetDeviceKeyFromDeviceID: Exit.");
        return key;
    } catch (...) {
        if (logger != nullptr)
            logger->Log("GetDeviceKeyFromDeviceID: Exception.");
    }
    return std::string();
}

void Discover::GetDeviceInfo(char *buffer)
{
    try {
        Trace("GetDeviceInfo: Enter.");
        {
            std::lock_guard<std::mutex> lock(tableMutex);
            char *at = buffer;
            for (const auto &item : deviceTable) {
                // One entry's text is bounded to 63 chars, so each entry needs
                // at most 64 bytes of the caller's buffer.
                const char *reply = item.second.idnResponse;
                std::string text = std::to_string(item.second.deviceID) + "," +
                                   std::string(reply, strnlen(reply, sizeof item.second.idnResponse)) + ";";
                if (text.size() > 63)
                    text.resize(63);
                std::memcpy(at, text.c_str(), text.size() + 1);
                at += text.size();
            }
        }
        Trace("GetDeviceInfo: Exit.");
    } catch (...) {
        if (logger != nullptr)
            logger->Log("GetDeviceInfo: Exception.");
    }
}

bool Discover::HasDuplicateDeviceID()
{
    try {
        Trace("HasDuplicateDeviceID: Enter.");
        bool duplicate = false;
        {
            std::lock_guard<std::mutex> lock(tableMutex);
            std::set<int> seen;
            for (const auto &item : deviceTable)
                if (!seen.insert(item.second.deviceID).second) {
                    duplicate = true;
                    break;
                }
        }
        Trace("HasDuplicateDeviceID: Exit.");
        return duplicate;
    } catch (...) {
        if (logger != nullptr)
            logger->Log("HasDuplicateDeviceID: Exception.");
    }
    return false;
}

namespace {

// Holds the entry's handles for a transfer; empty if they are being closed.
EntryRef Acquire(const DeviceTableEntry &found)
{
    std::shared_ptr<DeviceIo> io = found.io;
    if (!io || io->closing)
        return EntryRef();
    std::shared_lock<std::shared_mutex> hold(io->mutex);
    if (!io->open)
        return EntryRef();
    return EntryRef(found, std::move(hold));
}

} // namespace

EntryRef Discover::FindEntry(const EntryFinder &find)
{
    try {
        Trace("GetDeviceTableEntry: Enter.");
        DeviceTableEntry found{};
        bool hit = false;
        {
            std::lock_guard<std::mutex> lock(tableMutex);
            if (const DeviceTableEntry *entry = find(deviceTable)) {
                found = *entry;
                hit = true;
            }
        }
        Trace("GetDeviceTableEntry: Exit.");
        return hit ? Acquire(found) : EntryRef();
    } catch (...) {
        if (logger != nullptr)
            logger->Log("GetDeviceTableEntry: Exception.");
    }
    return EntryRef();
}

EntryRef Discover::GetDeviceTableEntry(std::string key)
{
    return FindEntry([&key](const DeviceTable &table) -> const DeviceTableEntry * {
        auto item = table.find(key);
        return item == table.end() ? nullptr : &item->second;
    });
}

EntryRef Discover::GetDeviceTableEntry(int deviceID)
{
    return FindEntry([deviceID](const DeviceTable &table) -> const DeviceTableEntry * {
        for (const auto &item : table)
            if (item.second.deviceID == deviceID)
                return &item.second;
        return nullptr;
    });
}
