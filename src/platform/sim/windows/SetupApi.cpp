// The SetupAPI calls the library makes, over the bench: device information sets of
// one interface class, and their paths (named pipes, see DevicePipes.h).
#include "platform/sim/windows/DevicePipes.h"
#include "platform/sim/windows/ShimFaults.h"

#include "platform/sim/Bench.h"

#include <atomic>
#include <cstddef>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>

using namespace ostrel;

namespace {

// What a set stood for when it was made; later arrivals and removals do not
// change it, as on Windows.
struct DeviceInfoSet {
    GUID interfaceClass;
    std::vector<std::string> paths;
    uint32_t id;

    // The interface data record names its set and index in its Reserved
    // field, so that a record of another set (or never filled) is refused.
    ULONG_PTR Tag(size_t index) const { return (static_cast<ULONG_PTR>(id) << 32) | (index + 1); }
    const std::string *PathOf(ULONG_PTR tag) const
    {
        size_t index = static_cast<size_t>(tag & 0xFFFFFFFFu);
        if ((tag >> 32) != id || index == 0 || index > paths.size())
            return nullptr;
        return &paths[index - 1];
    }
};

// Sets by handle value. The values are counted, never addresses, so that a
// stale or made-up handle is refused instead of followed.
struct SetTable {
    std::mutex mutex;
    std::map<HDEVINFO, std::shared_ptr<const DeviceInfoSet>> sets;
    uint32_t nextId = 1;
};

SetTable &Sets()
{
    static SetTable *table = new SetTable;
    return *table;
}

std::shared_ptr<const DeviceInfoSet> FindSet(HDEVINFO handle)
{
    SetTable &table = Sets();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto found = table.sets.find(handle);
    return found != table.sets.end() ? found->second : nullptr;
}

constexpr DWORD kSpintActive = 0x1; // SPINT_ACTIVE

bool SameGuid(const GUID &a, const GUID &b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

} // namespace

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *classGuid, PCSTR enumerator, HWND parent, DWORD flags)
{
    (void)parent;
    if (shim::FaultHit("SetupDiGetClassDevsA"))
        return INVALID_HANDLE_VALUE;
    // Interface sets of one class only: the library asks for nothing else.
    if (classGuid == nullptr || enumerator != nullptr || (flags & DIGCF_DEVICEINTERFACE) == 0 ||
        (flags & ~static_cast<DWORD>(DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    try {
        auto set = std::make_shared<DeviceInfoSet>();
        set->interfaceClass = *classGuid;
        // Windows gives an empty set, not a failure, when nothing of the
        // class is present; removed instruments are not remembered, so
        // without DIGCF_PRESENT the set is the same.
        if (SameGuid(*classGuid, sim::kInstrumentInterfaceClass))
            set->paths = shim::DevicePipes::Get().PresentPaths();
        SetTable &table = Sets();
        std::lock_guard<std::mutex> lock(table.mutex);
        set->id = table.nextId++;
        auto handle = reinterpret_cast<HDEVINFO>(static_cast<uintptr_t>(set->id) << 4);
        table.sets[handle] = std::move(set);
        return handle;
    } catch (const std::bad_alloc &) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA deviceInfo, const GUID *interfaceClass,
                                        DWORD index, PSP_DEVICE_INTERFACE_DATA interfaceData)
{
    if (shim::FaultHit("SetupDiEnumDeviceInterfaces"))
        return FALSE;
    auto devices = FindSet(set);
    if (devices == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    if (deviceInfo != nullptr || interfaceClass == nullptr || interfaceData == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    // 32 on x64: the record's size with its padding.
    if (interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        return Fail(ERROR_INVALID_USER_BUFFER);
    if (!SameGuid(*interfaceClass, devices->interfaceClass) || index >= devices->paths.size())
        return Fail(ERROR_NO_MORE_ITEMS);
    interfaceData->InterfaceClassGuid = devices->interfaceClass;
    interfaceData->Flags = kSpintActive;
    interfaceData->Reserved = devices->Tag(index);
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                                             PDWORD requiredSize, PSP_DEVINFO_DATA deviceInfo)
{
    if (shim::FaultHit("SetupDiGetDeviceInterfaceDetailA"))
        return FALSE;
    auto devices = FindSet(set);
    if (devices == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    if (interfaceData == nullptr || deviceInfo != nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    if (interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        return Fail(ERROR_INVALID_USER_BUFFER);
    const std::string *path = devices->PathOf(interfaceData->Reserved);
    if (path == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);

    const size_t required = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path->size() + 1;
    if (requiredSize != nullptr)
        *requiredSize = static_cast<DWORD>(required);
    // The first of the two calls: no buffer, only the size.
    if (detail == nullptr)
        return Fail(detailSize == 0 ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_USER_BUFFER);
    // cbSize is the fixed part (8 on x64, padding included), not the whole buffer.
    if (detailSize < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) ||
        detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
        return Fail(ERROR_INVALID_USER_BUFFER);
    if (detailSize < required)
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(detail->DevicePath, path->c_str(), path->size() + 1);
    return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO set)
{
    // An injected failure still destroys the set, so that tests can see no leak.
    const bool fault = shim::FaultHit("SetupDiDestroyDeviceInfoList");
    bool destroyed = false;
    {
        SetTable &table = Sets();
        std::lock_guard<std::mutex> lock(table.mutex);
        destroyed = table.sets.erase(set) != 0;
    }
    if (fault)
        return FALSE;
    return destroyed ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

} // extern "C"

static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32 && sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8,
              "the library is built for x64, where these are the sizes it sets");
