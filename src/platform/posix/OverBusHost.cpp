// The POSIX layer as host of the SetupAPI and WinUSB calls over the bus (platform/bus/OverBusHost.h).
#include "platform/bus/OverBusHost.h"

#include "platform/posix/devices.h"
#include "platform/posix/internal.h"

namespace ostrel::calls {

void SetError(DWORD error)
{
    posix::StoreLastError(error);
}

HandleTable &Handles()
{
    // One table for every handle of the layer, so that CloseHandle can tell
    // a set or an interface from a kernel object and refuse it.
    return posix::Handles();
}

DWORD InterfacePaths(const GUID &interfaceClass, bool presentOnly, std::vector<std::string> &paths)
{
    return bus::ListInterfaces(interfaceClass, presentOnly, paths);
}

DWORD DeviceOf(HANDLE file, std::shared_ptr<bus::Device> &device)
{
    // CreateFileA opened the device on the bus (devices.cpp).
    auto deviceFile = posix::LookupHandleAs<posix::DeviceFile>(file);
    if (deviceFile == nullptr)
        return ERROR_INVALID_HANDLE;
    device = deviceFile->device;
    return ERROR_SUCCESS;
}

} // namespace ostrel::calls
