// SetupAPI over the bus: device information sets of one interface class, and their paths.
#include "platform/bus/OverBusHost.h"
#include "platform/BenchHooks.h"
#include "platform/ExceptionBoundary.h"

#include <atomic>
#include <cstddef>
#include <cstring>
#include <new>
#include <string>
#include <vector>

using namespace ostrel;

namespace {

// What a set stood for when it was made; later arrivals and removals do not
// change it, as on Windows.
class DeviceInfoSet : public calls::HandleObject, public calls::NotKernelObject {
public:
    DeviceInfoSet(const GUID &interfaceClass, std::vector<std::string> paths)
        : interfaceClass(interfaceClass), paths(std::move(paths)), id(nextId.fetch_add(1) & 0xFFFFFFFFu)
    {
    }

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

    const GUID interfaceClass;
    const std::vector<std::string> paths;

private:
    static inline std::atomic<uint64_t> nextId{1};
    const uint64_t id;
};

constexpr DWORD kSpintActive = 0x1; // SPINT_ACTIVE

bool SameGuid(const GUID &a, const GUID &b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

BOOL Fail(DWORD error)
{
    calls::SetError(error);
    return FALSE;
}

} // namespace

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *classGuid, LPCSTR enumerator, HWND parent, DWORD flags)
{
    (void)parent;
    if (hooks::FaultHit("SetupDiGetClassDevsA"))
        return INVALID_HANDLE_VALUE;
    // Only interface sets of one class: the core asks for nothing else.
    if (classGuid == nullptr || enumerator != nullptr || (flags & DIGCF_DEVICEINTERFACE) == 0 ||
        (flags & ~static_cast<DWORD>(DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) != 0) {
        calls::SetError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    HDEVINFO set = INVALID_HANDLE_VALUE;
    DWORD error = ERROR_NOT_ENOUGH_MEMORY;
    CatchAll(
        [&] {
            std::vector<std::string> paths;
            error = calls::InterfacePaths(*classGuid, (flags & DIGCF_PRESENT) != 0, paths);
            if (error == ERROR_SUCCESS)
                set = calls::Handles().Insert(std::make_shared<DeviceInfoSet>(*classGuid, std::move(paths)));
        },
        [&] { error = ERROR_NOT_ENOUGH_MEMORY; });
    if (set == INVALID_HANDLE_VALUE)
        calls::SetError(error);
    return set;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA deviceInfo, const GUID *interfaceClass,
                                        DWORD index, PSP_DEVICE_INTERFACE_DATA interfaceData)
{
    if (hooks::FaultHit("SetupDiEnumDeviceInterfaces"))
        return FALSE;
    auto devices = calls::Handles().LookupAs<DeviceInfoSet>(set);
    if (devices == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    if (deviceInfo != nullptr || interfaceClass == nullptr || interfaceData == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    // 32 on 64 bits: the record's size with its padding.
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
                                             LPDWORD requiredSize, PSP_DEVINFO_DATA deviceInfo)
{
    if (hooks::FaultHit("SetupDiGetDeviceInterfaceDetailA"))
        return FALSE;
    auto devices = calls::Handles().LookupAs<DeviceInfoSet>(set);
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
    // cbSize is the fixed part (8 on 64 bits, padding included), not the whole buffer.
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
    const bool fault = hooks::FaultHit("SetupDiDestroyDeviceInfoList");
    const bool destroyed = calls::Handles().CloseAs<DeviceInfoSet>(set);
    if (fault)
        return FALSE;
    return destroyed ? TRUE : Fail(ERROR_INVALID_HANDLE);
}
