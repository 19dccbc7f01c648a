// Enumeration of the instruments' interface paths and their handle pairs.
#include "transport/WinUSBWrap.h"

#include "diagnostics/Logger.h"
#include "transport/DeviceInterfaceGuid.h"

#include <cstddef>
#include <locale>

WinUSBWrap::WinUSBWrap() : log(Logger::GetInstance()) {}

HDEVINFO WinUSBWrap::GetDevInfoSet()
{
    return Guarded(log, "GetDevInfoSet", INVALID_HANDLE_VALUE, [&] {
        HDEVINFO present =
            SetupDiGetClassDevsA(&DeviceInterfaceGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (present != INVALID_HANDLE_VALUE)
            return present;

        // Asking again without DIGCF_PRESENT tells "registered but absent" from
        // "unknown to the system", which the first error code does not.
        HDEVINFO any = SetupDiGetClassDevsA(&DeviceInterfaceGuid, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
        if (any != INVALID_HANDLE_VALUE) {
            SetupDiDestroyDeviceInfoList(any);
            log.Error("GetDevInfoSet: Device not connected.");
        } else {
            log.Failure("GetDevInfoSet: Driver not installed.", GetLastError());
        }
        return INVALID_HANDLE_VALUE;
    });
}

std::vector<std::string> WinUSBWrap::PresentPathsQuietly()
{
    std::vector<std::string> paths;
    GetDevicePaths(SetupDiGetClassDevsA(&DeviceInterfaceGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE),
                   paths);
    return paths;
}

void WinUSBWrap::GetDevicePaths(HDEVINFO deviceInfoSet, std::vector<std::string> &devicePaths)
{
    if (deviceInfoSet == INVALID_HANDLE_VALUE)
        return;
    bool more = true;
    for (DWORD index = 0; more; ++index) {
        // One interface that fails costs only that interface.
        ostrel::CatchAll(
            [&] {
                SP_DEVICE_INTERFACE_DATA interfaceData = {};
                interfaceData.cbSize = sizeof interfaceData;
                if (SetupDiEnumDeviceInterfaces(deviceInfoSet, nullptr, &DeviceInterfaceGuid, index, &interfaceData)) {
                    AppendDevicePath(deviceInfoSet, interfaceData, devicePaths);
                    return;
                }
                DWORD error = GetLastError();
                more = error != ERROR_NO_MORE_ITEMS;
                if (more) {
                    log.ErrorFormat("GetDevicePaths: SetupDiEnumDeviceInterfaces returned an error at index %d",
                                    static_cast<int>(index));
                    log.LastError(error);
                }
            },
            [&] { log.ErrorFormat("GetDevicePaths: Exception at index %d", static_cast<int>(index)); });
    }
    SetupDiDestroyDeviceInfoList(deviceInfoSet);
}

// One interface's path through the two-call detail protocol: first the size,
// then the record.
void WinUSBWrap::AppendDevicePath(HDEVINFO deviceInfoSet, SP_DEVICE_INTERFACE_DATA &interfaceData,
                                  std::vector<std::string> &devicePaths)
{
    DWORD requiredSize = 0;
    if (!SetupDiGetDeviceInterfaceDetailA(deviceInfoSet, &interfaceData, nullptr, 0, &requiredSize, nullptr)) {
        DWORD error = GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER) {
            log.Failure("GetDevicePaths: Could not get the required size of the DeviceInterfaceDetailData buffer.",
                        error);
            return;
        }
    }
    auto *detail = static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(LocalAlloc(LMEM_FIXED, requiredSize));
    if (detail == nullptr) {
        log.Error("GetDevicePaths: Could not allocate memory for the DeviceInterfaceDetailData buffer.");
        return;
    }
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(deviceInfoSet, &interfaceData, detail, requiredSize, nullptr, nullptr)) {
        DWORD error = GetLastError();
        LocalFree(detail);
        log.Failure("GetDevicePaths: Could not get the device interface detail information.", error);
        return;
    }
    // The path ends within the block even if the system forgot its NUL.
    const size_t room = requiredSize > offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath)
                            ? requiredSize - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath)
                            : 0;
    size_t length = 0;
    while (length < room && detail->DevicePath[length] != '\0')
        ++length;
    std::string path(detail->DevicePath, length);
    LocalFree(detail);

    const auto &ctype = std::use_facet<std::ctype<char>>(std::locale());
    for (char &c : path)
        c = ctype.tolower(c);
    devicePaths.push_back(std::move(path));
}

bool WinUSBWrap::CreateDeviceHandles(std::string devicePath, HANDLE &deviceHandle,
                                     WINUSB_INTERFACE_HANDLE &winUsbHandle)
{
    bool created = false;
    ostrel::CatchAll(
        [&] {
            deviceHandle = CreateFileA(devicePath.c_str(), GENERIC_READ | GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
            if (deviceHandle == INVALID_HANDLE_VALUE) {
                DWORD error = GetLastError();
                log.ErrorFormat("CreateDeviceHandles: Could not create a handle to the device (%s) because the %s.",
                                devicePath.c_str(),
                                error == ERROR_DEV_NOT_EXIST ? "driver is not installed" : "device is not connected");
                log.LastError(error);
                return;
            }
            created = WinUsb_Initialize(deviceHandle, &winUsbHandle) != FALSE;
            if (created)
                return;
            DWORD error = GetLastError();
            log.ErrorFormat("CreateDeviceHandles: Could not initialize WinUSB for device (%s).", devicePath.c_str());
            log.LastError(error);
            CloseHandle(deviceHandle);
            deviceHandle = INVALID_HANDLE_VALUE;
            winUsbHandle = nullptr;
        },
        [&] { log.ErrorFormat("CreateDeviceHandles: Exception on DevPath '%s'", devicePath.c_str()); });
    return created;
}

bool WinUSBWrap::CloseDeviceHandles(HANDLE &deviceHandle, WINUSB_INTERFACE_HANDLE &winUsbHandle)
{
    return Guarded(log, "CloseDeviceHandles", false, [&] {
        BOOL freed = WinUsb_Free(winUsbHandle);
        DWORD error = freed == TRUE ? ERROR_SUCCESS : GetLastError();
        BOOL closed = CloseHandle(deviceHandle);
        if (!closed && error == ERROR_SUCCESS)
            error = GetLastError();
        if (freed == TRUE && closed)
            return true;
        log.Failure("CloseDeviceHandles: Could not close the device handles.", error);
        return false;
    });
}
