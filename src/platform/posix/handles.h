// The table behind every HANDLE-like value of the POSIX layer (kernel handles,
// device information sets, WinUSB interface handles, search handles): a handle
// is valid from the call that made it until the call that releases it, and a
// stale or foreign value is recognised instead of being dereferenced.
#pragma once

#include "winapi_posix.h"

#include <memory>

namespace ostrel::posix {

// Anything a handle can stand for. Release() runs once, when the handle is
// closed; the object itself lives on while a call still holds it.
class HandleObject {
public:
    virtual ~HandleObject() = default;
    virtual void Release() {}
};

// Enters an object and returns its new handle (never null, never
// INVALID_HANDLE_VALUE, never reused while open).
HANDLE InsertHandle(std::shared_ptr<HandleObject> object);

// The object of an open handle, or null (stale, foreign or null value).
std::shared_ptr<HandleObject> LookupHandle(const void *handle);

template <class T>
std::shared_ptr<T> LookupHandleAs(const void *handle)
{
    return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}

// Removes a handle of type T and calls its Release(); false (nothing changed)
// if the handle is not open or of another type.
bool CloseHandleOf(const void *handle, bool (*isType)(const HandleObject &));

template <class T>
bool CloseHandleAs(const void *handle)
{
    return CloseHandleOf(handle, [](const HandleObject &o) { return dynamic_cast<const T *>(&o) != nullptr; });
}

} // namespace ostrel::posix
