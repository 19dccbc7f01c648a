// The process-wide table behind every handle value of the POSIX layer.
#include "handles.h"

#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace ostrel::posix {
namespace {

struct HandleTable {
    std::mutex mutex;
    std::unordered_map<uintptr_t, std::shared_ptr<HandleObject>> objects;
    // Values only grow, so a closed handle's value never comes back; steps of
    // 4 as Windows' kernel handles, far from -1 (INVALID_HANDLE_VALUE) and -3
    // (HWND_MESSAGE).
    uintptr_t next = 0x1000;
};

// Never destroyed: threads that outlive main() (Windows lets a process end
// with threads running) may still close handles during static destruction.
HandleTable &Table()
{
    static HandleTable *table = new HandleTable;
    return *table;
}

} // namespace

HANDLE InsertHandle(std::shared_ptr<HandleObject> object)
{
    HandleTable &table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    uintptr_t value = table.next;
    table.objects.emplace(value, std::move(object));
    table.next += 4;
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<HandleObject> LookupHandle(const void *handle)
{
    if (handle == nullptr)
        return nullptr;
    HandleTable &table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto found = table.objects.find(reinterpret_cast<uintptr_t>(handle));
    return found == table.objects.end() ? nullptr : found->second;
}

bool CloseHandleOf(const void *handle, bool (*isType)(const HandleObject &))
{
    std::shared_ptr<HandleObject> object;
    {
        HandleTable &table = Table();
        std::lock_guard<std::mutex> lock(table.mutex);
        auto found = table.objects.find(reinterpret_cast<uintptr_t>(handle));
        if (found == table.objects.end() || !isType(*found->second))
            return false;
        object = std::move(found->second);
        table.objects.erase(found);
    }
    // Outside the lock: Release() and a last destructor may take other locks
    // or close further handles.
    object->Release();
    return true;
}

} // namespace ostrel::posix
