// CreateFileA for device interface paths: the only files the core opens through the Windows API.
#include "devices.h"

#include "faults.h"
#include "internal.h"

#include <new>

using namespace ostrel;

HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES attributes,
                          DWORD creation, DWORD flags, HANDLE templateFile)
{
    (void)access, (void)shareMode, (void)attributes, (void)flags, (void)templateFile;
    if (posix::FaultHit("CreateFileA"))
        return INVALID_HANDLE_VALUE;
    // A device can only be opened, never created or truncated.
    if (fileName == nullptr || creation != OPEN_EXISTING) {
        posix::StoreLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::shared_ptr<bus::Device> device;
    try {
        DWORD error = bus::Open(fileName, device);
        if (error != ERROR_SUCCESS) {
            posix::StoreLastError(error);
            return INVALID_HANDLE_VALUE;
        }
        return posix::InsertHandle(std::make_shared<posix::DeviceFile>(device));
    } catch (const std::bad_alloc &) {
        if (device != nullptr)
            bus::Close(*device);
        posix::StoreLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
}
