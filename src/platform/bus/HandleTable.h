// A table of handle values and the objects behind them, for the POSIX layer and the bench on Windows.
#pragma once

#include "platform/winapi.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace ostrel::calls {

// Anything a handle can stand for. Release() runs once, when the handle is
// closed; the object itself lives on while a call still holds it.
class HandleObject {
public:
    virtual ~HandleObject() = default;
    virtual void Release() {}
};

// Marks objects whose handles CloseHandle must refuse (device information
// sets, WinUSB interfaces, windows, searches): Windows releases them with
// calls of their own.
class NotKernelObject {
public:
    virtual ~NotKernelObject() = default;
};

// A handle is valid from the call that made it until the call that releases
// it; a stale or foreign value is recognised instead of being dereferenced.
class HandleTable {
public:
    // Enters an object and returns its new handle (never null, never
    // INVALID_HANDLE_VALUE, never reused while the table lives).
    HANDLE Insert(std::shared_ptr<HandleObject> object);

    // The object of an open handle, or null (stale, foreign or null value).
    std::shared_ptr<HandleObject> Lookup(const void *handle);

    template <class T>
    std::shared_ptr<T> LookupAs(const void *handle)
    {
        return std::dynamic_pointer_cast<T>(Lookup(handle));
    }

    // Removes a handle whose object `isType` accepts and calls its Release();
    // false (nothing changed) if the handle is not open or of another type.
    bool Close(const void *handle, bool (*isType)(const HandleObject &));

    // How many handles are open.
    size_t Count();

    template <class T>
    bool CloseAs(const void *handle)
    {
        return Close(handle, [](const HandleObject &o) { return dynamic_cast<const T *>(&o) != nullptr; });
    }

private:
    std::mutex mutex;
    std::unordered_map<uintptr_t, std::shared_ptr<HandleObject>> objects;
    // Values only grow, so a closed handle's value never comes back; steps of
    // 4 as Windows' kernel handles, far from -1 (INVALID_HANDLE_VALUE) and -3
    // (HWND_MESSAGE).
    uintptr_t next = 0x1000;
};

} // namespace ostrel::calls
