// The device table: every identified instrument under its device key, with its
// open handles. Its own lock guards it; the lock is never held while an
// instrument is spoken to or a callback runs. Transfers hold an instrument's
// handles through an EntryRef, so that closing them (a removal, Shutdown)
// waits for the transfers under way and no transfer starts on closed handles.
#pragma once

#include "discovery/DeviceTableEntry.h"
#include "platform/ExceptionBoundary.h"

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class WinUSBWrap;

class DeviceTable {
public:
    // `winUsb` closes the handles of the entries that leave the table.
    explicit DeviceTable(WinUSBWrap &winUsb) : winUsb(winUsb) {}

    // Every walk visits the entries in ascending byte-wise key order.
    size_t Count() const;
    std::vector<std::string> Keys() const;
    std::vector<std::pair<std::string, int>> KeysAndIDs() const;
    // The key of the first entry with this ID, or empty.
    std::string KeyOf(int deviceID) const;
    // "<ID>,<identity reply>;" for every entry, each entry's text cut to 63
    // chars, its ';' included.
    std::string Info() const;
    bool HasDuplicateID() const;

    // The entry with its handles held for a transfer; empty when there is no
    // such entry or its handles are being closed.
    EntryRef Find(const std::string &key);
    // The first entry with this ID.
    EntryRef Find(int deviceID);

    // Enters an instrument whose handles are open; false (nothing changes) when
    // its key is taken already or the table has been closed. An entry that is
    // leaving gives its key up: it is closed now, its removal still to come.
    bool Insert(const std::string &key, DeviceTableEntry entry);
    // (key, ID) of every entry opened on this interface path.
    std::vector<std::pair<std::string, int>> OnPath(const std::string &path) const;
    // Marks every entry opened on this path as leaving; copies of them by key.
    std::vector<std::pair<std::string, DeviceTableEntry>> MarkLeaving(const std::string &path);
    // Closes the entry's handles (once the transfers under way are done) and
    // erases it, unless another instrument took its key meanwhile.
    void Remove(const std::string &key, DeviceTableEntry &entry);
    // Closes every entry and empties the table for good: nothing enters it
    // afterwards. `onFailure` runs for an entry whose closing threw, and the
    // others are still closed.
    template <class OnFailure>
    void CloseAll(OnFailure &&onFailure);

private:
    using Map = std::map<std::string, DeviceTableEntry>;
    template <class Predicate>
    EntryRef FindFirst(Predicate &&matches);
    void Close(DeviceTableEntry &entry);
    std::vector<DeviceTableEntry> TakeAll();

    WinUSBWrap &winUsb;
    mutable std::mutex mutex;
    Map entries;
    bool closed = false;
};

template <class OnFailure>
void DeviceTable::CloseAll(OnFailure &&onFailure)
{
    for (DeviceTableEntry &entry : TakeAll())
        ostrel::CatchAll([&] { Close(entry); }, onFailure);
}
