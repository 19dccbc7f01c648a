// The handle table shared by the POSIX layer and the bench on Windows.
#include "platform/bus/HandleTable.h"

#include <utility>

namespace ostrel::calls {

HANDLE HandleTable::Insert(std::shared_ptr<HandleObject> object)
{
    std::lock_guard<std::mutex> lock(mutex);
    uintptr_t value = next;
    objects.emplace(value, std::move(object));
    next += 4;
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<HandleObject> HandleTable::Lookup(const void *handle)
{
    if (handle == nullptr)
        return nullptr;
    std::lock_guard<std::mutex> lock(mutex);
    auto found = objects.find(reinterpret_cast<uintptr_t>(handle));
    return found == objects.end() ? nullptr : found->second;
}

bool HandleTable::Close(const void *handle, bool (*isType)(const HandleObject &))
{
    std::shared_ptr<HandleObject> object;
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto found = objects.find(reinterpret_cast<uintptr_t>(handle));
        if (found == objects.end() || !isType(*found->second))
            return false;
        object = std::move(found->second);
        objects.erase(found);
    }
    // Outside the lock: Release() and a last destructor may take other locks
    // or close further handles.
    object->Release();
    return true;
}

size_t HandleTable::Count()
{
    std::lock_guard<std::mutex> lock(mutex);
    return objects.size();
}

} // namespace ostrel::calls
