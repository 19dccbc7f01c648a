// A thin layer over SetupAPI and WinUSB: enumerate the instruments' interface
// paths, open and close a device's handle pair, find its pipes, read its
// descriptor, set pipe policies and move bytes. Every failure is logged with
// the system's error text and reported as a result; nothing throws.
#pragma once

#include "diagnostics/LogLines.h"
#include "platform/winapi.h"

#include <string>
#include <vector>

class WinUSBWrap {
public:
    WinUSBWrap();

    // The present interfaces of DeviceInterfaceGuid, or INVALID_HANDLE_VALUE.
    HDEVINFO GetDevInfoSet();
    // Appends the set's interface paths, lower-cased, and destroys the set.
    void GetDevicePaths(HDEVINFO deviceInfoSet, std::vector<std::string> &devicePaths);
    // The same paths without a line for a class with nothing present or not
    // registered: for a look that must stay silent when nothing changed.
    std::vector<std::string> PresentPathsQuietly();
    bool CreateDeviceHandles(std::string devicePath, HANDLE &deviceHandle, WINUSB_INTERFACE_HANDLE &winUsbHandle);
    bool CloseDeviceHandles(HANDLE &deviceHandle, WINUSB_INTERFACE_HANDLE &winUsbHandle);

    // The bulk pipes of interface 0; a direction without a bulk pipe leaves
    // its out-argument unchanged.
    bool GetPipeIDs(WINUSB_INTERFACE_HANDLE &winUsbHandle, UCHAR &bulkInPipeID, UCHAR &bulkOutPipeID);
    // True when exactly the 18 bytes of the device descriptor arrived.
    bool GetDeviceDescriptor(WINUSB_INTERFACE_HANDLE winUsbHandle, USB_DEVICE_DESCRIPTOR &descriptor);
    bool SetPipePolicy(WINUSB_INTERFACE_HANDLE winUsbHandle, UCHAR pipeID, ULONG policyType, ULONG valueLength,
                       PVOID value);
    bool ReadPipe(WINUSB_INTERFACE_HANDLE winUsbHandle, UCHAR pipeID, PUCHAR buffer, ULONG bufferLength,
                  ULONG &bytesTransferred);
    bool WritePipe(WINUSB_INTERFACE_HANDLE winUsbHandle, UCHAR pipeID, PUCHAR data, ULONG dataLength,
                   ULONG &bytesTransferred);

    // Ends the transfers waiting on an instrument's pipes, which is being
    // closed. Failures are not logged: the device is often gone already.
    void AbortPipes(WINUSB_INTERFACE_HANDLE winUsbHandle, UCHAR bulkInPipeID, UCHAR bulkOutPipeID);
    // Drops what the host holds of the pipe's data (bytes a read left).
    bool FlushPipe(WINUSB_INTERFACE_HANDLE winUsbHandle, UCHAR pipeID);

private:
    using PipeCall = BOOL(WINAPI *)(WINUSB_INTERFACE_HANDLE, UCHAR, PUCHAR, ULONG, PULONG, LPOVERLAPPED);
    bool Transfer(PipeCall call, const char *method, const char *failureLine,
                  WINUSB_INTERFACE_HANDLE winUsbHandle, UCHAR pipeID, PUCHAR data, ULONG length,
                  ULONG &bytesTransferred);
    void AppendDevicePath(HDEVINFO deviceInfoSet, SP_DEVICE_INTERFACE_DATA &interfaceData,
                          std::vector<std::string> &devicePaths);

    LogLines log;
};
