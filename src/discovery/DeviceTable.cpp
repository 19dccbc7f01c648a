// The device table and its lookups.
#include "discovery/DeviceTable.h"

#include "transport/WinUSBWrap.h"

#include <chrono>
#include <cstring>
#include <set>
#include <thread>

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

size_t DeviceTable::Count() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return entries.size();
}

std::vector<std::string> DeviceTable::Keys() const
{
    std::vector<std::string> keys;
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto &item : entries)
        keys.push_back(item.first);
    return keys;
}

std::vector<std::pair<std::string, int>> DeviceTable::KeysAndIDs() const
{
    std::vector<std::pair<std::string, int>> listed;
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto &item : entries)
        listed.emplace_back(item.first, item.second.deviceID);
    return listed;
}

std::string DeviceTable::KeyOf(int deviceID) const
{
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto &item : entries)
        if (item.second.deviceID == deviceID)
            return item.first;
    return std::string();
}

std::string DeviceTable::Info() const
{
    std::string info;
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto &item : entries) {
        // One entry's text is bounded to 63 chars, so each entry needs at most
        // 64 bytes of the caller's buffer; a long reply is cut, its ';' kept, so
        // that entries stay apart.
        const char *reply = item.second.idnResponse;
        std::string text = std::to_string(item.second.deviceID) + "," +
                           std::string(reply, strnlen(reply, sizeof item.second.idnResponse));
        if (text.size() > 62)
            text.resize(62);
        info += text + ";";
    }
    return info;
}

bool DeviceTable::HasDuplicateID() const
{
    std::set<int> seen;
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto &item : entries)
        if (!seen.insert(item.second.deviceID).second)
            return true;
    return false;
}

template <class Predicate>
EntryRef DeviceTable::FindFirst(Predicate &&matches)
{
    DeviceTableEntry found{};
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto item = entries.begin();
        while (item != entries.end() && !matches(*item))
            ++item;
        if (item == entries.end())
            return EntryRef();
        found = item->second;
    }
    // Taken after the table lock is released: a removal holds the handles'
    // lock while it waits for the transfers under way.
    return Acquire(found);
}

EntryRef DeviceTable::Find(const std::string &key)
{
    return FindFirst([&key](const Map::value_type &item) { return item.first == key; });
}

EntryRef DeviceTable::Find(int deviceID)
{
    return FindFirst([deviceID](const Map::value_type &item) { return item.second.deviceID == deviceID; });
}

bool DeviceTable::Insert(const std::string &key, DeviceTableEntry entry)
{
    entry.io = std::make_shared<DeviceIo>();
    DeviceTableEntry replaced{};
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (closed)
            return false;
        auto [item, inserted] = entries.emplace(key, entry);
        if (!inserted) {
            if (!item->second.io->leaving)
                return false;
            replaced = std::exchange(item->second, std::move(entry));
        }
    }
    // Outside the lock: closing waits for the transfers under way.
    Close(replaced);
    return true;
}

std::vector<std::pair<std::string, int>> DeviceTable::OnPath(const std::string &path) const
{
    std::vector<std::pair<std::string, int>> found;
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto &item : entries)
        if (item.second.devicePath == path)
            found.emplace_back(item.first, item.second.deviceID);
    return found;
}

std::vector<std::pair<std::string, DeviceTableEntry>> DeviceTable::MarkLeaving(const std::string &path)
{
    std::vector<std::pair<std::string, DeviceTableEntry>> leaving;
    std::lock_guard<std::mutex> lock(mutex);
    for (auto &item : entries) {
        if (item.second.devicePath != path)
            continue;
        item.second.io->leaving = true;
        leaving.emplace_back(item.first, item.second);
    }
    return leaving;
}

void DeviceTable::Remove(const std::string &key, DeviceTableEntry &entry)
{
    Close(entry);
    std::lock_guard<std::mutex> lock(mutex);
    auto item = entries.find(key);
    if (item != entries.end() && item->second.io == entry.io)
        entries.erase(item);
}

std::vector<DeviceTableEntry> DeviceTable::TakeAll()
{
    std::vector<DeviceTableEntry> taken;
    std::lock_guard<std::mutex> lock(mutex);
    closed = true;
    for (auto &item : entries)
        taken.push_back(std::move(item.second));
    entries.clear();
    return taken;
}

// No new transfer starts once `closing` is set. One under way could wait its
// whole time-out, or for ever on a pipe that has none: it is aborted, and so
// is one that started just before `closing` was seen, until all have returned.
// The lock is polled, not waited for with a time limit: ThreadSanitizer does
// not see a write lock taken by a timed wait (pthread_rwlock_clockwrlock) and
// would report the writes it guards as races.
void DeviceTable::Close(DeviceTableEntry &entry)
{
    if (!entry.io)
        return;
    entry.io->closing = true;
    std::unique_lock<std::shared_mutex> hold(entry.io->mutex, std::try_to_lock);
    while (!hold.owns_lock()) {
        winUsb.AbortPipes(entry.winUsbHandle, entry.bulkInPipeID, entry.bulkOutPipeID);
        // Polled rather than a timed lock, whose wait ThreadSanitizer cannot see.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        hold.try_lock();
    }
    if (!entry.io->open)
        return;
    entry.io->open = false;
    winUsb.CloseDeviceHandles(entry.deviceHandle, entry.winUsbHandle);
}
