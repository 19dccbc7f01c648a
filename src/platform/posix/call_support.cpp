// The POSIX layer's side of the SetupAPI and WinUSB calls over the bus (platform/bus/CallSupport.h).
#include "platform/bus/CallSupport.h"

#include "devices.h"
#include "faults.h"
#include "internal.h"

namespace ostrel::calls {

bool FaultHit(const char *call)
{
    return posix::FaultHit(call);
}

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
