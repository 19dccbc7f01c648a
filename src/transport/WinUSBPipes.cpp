// Pipes, descriptor, pipe policy and transfers of an opened device.
#include "diagnostics/Logger.h"
#include "transport/WinUSBWrap.h"

bool WinUSBWrap::GetPipeIDs(WINUSB_INTERFACE_HANDLE &winUsbHandle, UCHAR &bulkInPipeID, UCHAR &bulkOutPipeID)
{
    try {
        USB_INTERFACE_DESCRIPTOR settings = {};
        if (!WinUsb_QueryInterfaceSettings(winUsbHandle, 0, &settings)) {
            LogFailure("GetPipeIDs: Could not query the interface settings.", GetLastError());
            return false;
        }
        for (UCHAR index = 0; index < settings.bNumEndpoints; ++index) {
            WINUSB_PIPE_INFORMATION pipe = {};
            if (!WinUsb_QueryPipe(winUsbHandle, 0, index, &pipe)) {
                LogFailure("GetPipeIDs: Could not query the pipe information.", GetLastError());
                return false;
            }
            if (pipe.PipeType != UsbdPipeTypeBulk)
                continue;
            if (pipe.PipeId & 0x80)
                bulkInPipeID = pipe.PipeId;
            else
                bulkOutPipeID = pipe.PipeId;
        }
        return true;
    } catch (...) {
        if (logger != nullptr)
            logger->Log("GetPipeIDs: Exception.");
    }
    return false;
}

bool WinUSBWrap::GetDeviceDescriptor(WINUSB_INTERFACE_HANDLE winUsbHandle, USB_DEVICE_DESCRIPTOR &descriptor)
{
    try {
        ULONG transferred = 0;
        BOOL read = WinUsb_GetDescriptor(winUsbHandle, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0,
                                         reinterpret_cast<PUCHAR>(&descriptor), sizeof descriptor, &transferred);
        if (read && transferred == sizeof descriptor)
            return true;
        DWORD error = read ? ERROR_SUCCESS : GetLastError();
        if (logger != nullptr) {
            logger->Log("GetDeviceDescriptor: Could not get WinUSB device descriptor.");
            if (!read)
                logger->LogLastError(error);
            else
                logger->LogFormat(true,
                                  "GetDeviceDescriptor: Transfer length (%lu) was not equal to size of device "
                                  "descriptor (%lu).",
                                  static_cast<unsigned long>(transferred),
                                  static_cast<unsigned long>(sizeof descriptor));
        }
    } catch (...) {
        if (logger != nullptr)
            logger->Log("GetDeviceDescriptor: Exception.");
    }
    return false;
}

bool WinUSBWrap::SetPipePolicy(WINUSB_INTERFACE_HANDLE winUsbHandle, UCHAR pipeID, ULONG policyType,
                               ULONG valueLength, PVOID value)
{
    try {
        if (WinUsb_SetPipePolicy(winUsbHandle, pipeID, policyType, valueLength, value))
            return true;
        LogFailure("SetPipePolicy: Could not set the pipe policy.", GetLastError());
    } catch (...) {
        if (logger != nullptr)
            logger->Log("SetPipePolicy: Exception.");
    }
    return false;
}

// Both directions fail alike: the error line, the system's text, and a count
// of 0 so that no caller reads a stale one.
bool WinUSBWrap::Transfer(PipeCall call, const char *failureLine, const char *exceptionLine,
                          WINUSB_INTERFACE_HANDLE winUsbHandle, UCHAR pipeID, PUCHAR data, ULONG length,
                          ULONG &bytesTransferred)
{
    try {
        if (call(winUsbHandle, pipeID, data, length, &bytesTransferred, nullptr))
            return true;
        DWORD error = GetLastError();
        bytesTransferred = 0;
        LogFailure(failureLine, error);
    } catch (...) {
        if (logger != nullptr)
            logger->Log(exceptionLine);
    }
    return false;
}

bool WinUSBWrap::ReadPipe(WINUSB_INTERFACE_HANDLE winUsbHandle, UCHAR pipeID, PUCHAR buffer, ULONG bufferLength,
                          ULONG &bytesTransferred)
{
    return Transfer(WinUsb_ReadPipe, "ReadPipe: Could not perform a read pipe operation.", "ReadPipe: Exception.",
                    winUsbHandle, pipeID, buffer, bufferLength, bytesTransferred);
}

bool WinUSBWrap::WritePipe(WINUSB_INTERFACE_HANDLE winUsbHandle, UCHAR pipeID, PUCHAR data, ULONG dataLength,
                           ULONG &bytesTransferred)
{
    return Transfer(WinUsb_WritePipe, "WritePipe: Could not perform a write pipe operation.", "WritePipe: Exception.",
                    winUsbHandle, pipeID, data, dataLength, bytesTransferred);
}
