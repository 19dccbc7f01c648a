// CreateFileA for device interface paths: the only files the core opens through the Windows API.
#include "platform/posix/devices.h"

#include "platform/BenchHooks.h"
#include "platform/posix/internal.h"

#include <memory>

using namespace ostrel;

HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES attributes,
                          DWORD creation, DWORD flags, HANDLE templateFile)
{
    (void)access, (void)shareMode, (void)attributes, (void)flags, (void)templateFile;
    if (ostrel::hooks::FaultHit("CreateFileA"))
        return INVALID_HANDLE_VALUE;
    // A device can only be opened, never created or truncated.
    if (fileName == nullptr || creation != OPEN_EXISTING) {
        posix::StoreLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::shared_ptr<bus::Device> device;
    HANDLE handle = INVALID_HANDLE_VALUE;
    const bool allocated = posix::Allocating([&] {
        const DWORD error = bus::Open(fileName, device);
        if (error == ERROR_SUCCESS)
            handle = posix::InsertHandle(std::make_shared<posix::DeviceFile>(device));
        else
            posix::StoreLastError(error);
    });
    // The bus counts the device as open until its handle is closed.
    if (!allocated && device != nullptr)
        bus::Close(*device);
    return handle;
}
