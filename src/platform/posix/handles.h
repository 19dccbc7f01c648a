// The table behind every HANDLE-like value of the POSIX layer (kernel handles,
// device information sets, WinUSB interface handles, search handles), one for
// the process.
#pragma once

#include "platform/bus/HandleTable.h"
#include "platform/posix/winapi_posix.h"

#include <memory>

namespace ostrel::posix {

using calls::HandleObject;

calls::HandleTable &Handles();

inline HANDLE InsertHandle(std::shared_ptr<HandleObject> object)
{
    return Handles().Insert(std::move(object));
}

inline std::shared_ptr<HandleObject> LookupHandle(const void *handle)
{
    return Handles().Lookup(handle);
}

template <class T>
std::shared_ptr<T> LookupHandleAs(const void *handle)
{
    return Handles().LookupAs<T>(handle);
}

inline bool CloseHandleOf(const void *handle, bool (*isType)(const HandleObject &))
{
    return Handles().Close(handle, isType);
}

template <class T>
bool CloseHandleAs(const void *handle)
{
    return Handles().CloseAs<T>(handle);
}

} // namespace ostrel::posix
