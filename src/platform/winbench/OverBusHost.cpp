// The bench on Windows as host of the SetupAPI and WinUSB calls over it (platform/bus/OverBusHost.h):
// device paths are named pipes (DevicePipes.h), device handles are the system's own.
#include "platform/ExceptionBoundary.h"
#include "platform/bus/OverBusHost.h"

#include "platform/sim/Bench.h"
#include "platform/winbench/DevicePipes.h"

#include <cstring>
#include <new>

namespace ostrel::calls {

void SetError(DWORD error)
{
    ::SetLastError(error);
}

HandleTable &Handles()
{
    // Never destroyed: handles may still be released while the process exits.
    static HandleTable *table = new HandleTable;
    return *table;
}

DWORD InterfacePaths(const GUID &interfaceClass, bool presentOnly, std::vector<std::string> &paths)
{
    // Windows gives an empty set, not a failure, when nothing of the class is
    // present; removed instruments are not remembered, so without
    // DIGCF_PRESENT the set is the same.
    (void)presentOnly;
    paths.clear();
    if (std::memcmp(&interfaceClass, &sim::kInstrumentInterfaceClass, sizeof(GUID)) == 0)
        paths = winbench::DevicePipes::Get().PresentPaths();
    return ERROR_SUCCESS;
}

DWORD DeviceOf(HANDLE file, std::shared_ptr<bus::Device> &device)
{
    std::shared_ptr<sim::Instrument> instrument;
    DWORD error = winbench::DevicePipes::Get().Identify(file, instrument);
    if (error != ERROR_SUCCESS)
        return error;
    // The device handle itself is counted by DevicePipes, not by bus::Open.
    const bool made = CatchAll([&] { device = std::make_shared<bus::Device>(std::move(instrument)); }, [] {});
    return made ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY;
}

} // namespace ostrel::calls

static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32 && sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8,
              "the library is built for x64, where these are the sizes it sets");
