// The record of one identified instrument, and the hold a transfer keeps on it.
#pragma once

#include "platform/winapi.h"

#include <atomic>
#include <memory>
#include <shared_mutex>
#include <string>

// Keeps an instrument's handles open while transfers use them. Transfers hold
// it shared; whoever closes the handles (a removal, Shutdown) first sets
// `closing`, so that no new transfer starts, aborts the transfers under way,
// takes it exclusively once they have returned, and marks it closed.
struct DeviceIo {
    std::shared_mutex mutex;
    std::atomic<bool> closing{false};
    bool open = true;
    // Set (under the table's lock) when a scan found its instrument gone; its
    // removal may not be delivered yet, and an instrument that comes back
    // meanwhile takes its key.
    bool leaving = false;
};

struct DeviceTableEntry {
    int deviceID;
    char idnResponse[64];
    std::string devicePath;
    HANDLE deviceHandle;
    WINUSB_INTERFACE_HANDLE winUsbHandle;
    UCHAR bulkInPipeID;
    UCHAR bulkOutPipeID;
    USHORT vendorID;
    USHORT productID;
    std::shared_ptr<DeviceIo> io;
};

// A transfer's view of one table entry: a copy of the entry and a shared hold
// on its handles, so that a concurrent removal or Shutdown waits for the
// transfer to end before it closes them. Empty when the lookup found nothing.
class EntryRef {
public:
    EntryRef() = default;
    EntryRef(const DeviceTableEntry &found, std::shared_lock<std::shared_mutex> hold)
        : entry(found), lock(std::move(hold)), valid(true)
    {
    }
    explicit operator bool() const { return valid; }
    DeviceTableEntry *get() { return valid ? &entry : nullptr; }
    DeviceTableEntry *operator->() { return &entry; }

private:
    DeviceTableEntry entry{};
    std::shared_lock<std::shared_mutex> lock;
    bool valid = false;
};
