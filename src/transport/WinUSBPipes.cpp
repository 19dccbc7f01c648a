// Pipes, descriptor, pipe policy and transfers of an opened device.
#include "transport/WinUSBWrap.h"

bool WinUSBWrap::GetPipeIDs(WINUSB_INTERFACE_HANDLE &winUsbHandle, UCHAR &bulkInPipeID, UCHAR &bulkOutPipeID)
{
    return Guarded(log, "GetPipeIDs", false, [&] {
        USB_INTERFACE_DESCRIPTOR settings = {};
        if (!WinUsb_QueryInterfaceSettings(winUsbHandle, 0, &settings)) {
            log.Failure("GetPipeIDs: Could not query the interface settings.", GetLastError());
            return false;
        }
        for (UCHAR index = 0; index < settings.bNumEndpoints; ++index) {
            WINUSB_PIPE_INFORMATION pipe = {};
            if (!WinUsb_QueryPipe(winUsbHandle, 0, index, &pipe)) {
                log.Failure("GetPipeIDs: Could not query the pipe information.", GetLastError());
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
    });
}

bool WinUSBWrap::GetDeviceDescriptor(WINUSB_INTERFACE_HANDLE winUsbHandle, USB_DEVICE_DESCRIPTOR &descriptor)
{
    return Guarded(log, "GetDeviceDescriptor", false, [&] {
        ULONG transferred = 0;
        BOOL read = WinUsb_GetDescriptor(winUsbHandle, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0,
                                         reinterpret_cast<PUCHAR>(&descriptor), sizeof descriptor, &transferred);
        if (read && transferred == sizeof descriptor)
            return true;
        DWORD error = read ? ERROR_SUCCESS : GetLastError();
        log.Error("GetDeviceDescriptor: Could not get WinUSB device descriptor.");
        if (!read)
            log.LastError(error);
        else
            log.ErrorFormat("GetDeviceDescriptor: Transfer length (%lu) was not equal to size of device descriptor "
                            "(%lu).",
                            static_cast<unsigned long>(transferred), static_cast<unsigned long>(sizeof descriptor));
        return false;
    });
}

bool WinUSBWrap::SetPipePolicy(WINUSB_INTERFACE_HANDLE winUsbHandle, UCHAR pipeID, ULONG policyType,
                               ULONG valueLength, PVOID value)
{
    return Guarded(log, "SetPipePolicy", false, [&] {
        if (WinUsb_SetPipePolicy(winUsbHandle, pipeID, policyType, valueLength, value))
            return true;
        log.Failure("SetPipePolicy: Could not set the pipe policy.", GetLastError());
        return false;
    });
}

// Both directions fail alike: the error line, the system's text, and a count
// of 0 so that no caller reads a stale one.
bool WinUSBWrap::Transfer(PipeCall call, const char *method, const char *failureLine,
                          WINUSB_INTERFACE_HANDLE winUsbHandle, UCHAR pipeID, PUCHAR data, ULONG length,
                          ULONG &bytesTransferred)
{
    return Guarded(log, method, false, [&] {
        if (call(winUsbHandle, pipeID, data, length, &bytesTransferred, nullptr))
            return true;
        DWORD error = GetLastError();
        bytesTransferred = 0;
        log.Failure(failureLine, error);
        return false;
    });
}

bool WinUSBWrap::ReadPipe(WINUSB_INTERFACE_HANDLE winUsbHandle, UCHAR pipeID, PUCHAR buffer, ULONG bufferLength,
                          ULONG &bytesTransferred)
{
    return Transfer(WinUsb_ReadPipe, "ReadPipe", "ReadPipe: Could not perform a read pipe operation.", winUsbHandle,
                    pipeID, buffer, bufferLength, bytesTransferred);
}

bool WinUSBWrap::WritePipe(WINUSB_INTERFACE_HANDLE winUsbHandle, UCHAR pipeID, PUCHAR data, ULONG dataLength,
                           ULONG &bytesTransferred)
{
    return Transfer(WinUsb_WritePipe, "WritePipe", "WritePipe: Could not perform a write pipe operation.",
                    winUsbHandle, pipeID, data, dataLength, bytesTransferred);
}

void WinUSBWrap::AbortPipes(WINUSB_INTERFACE_HANDLE winUsbHandle, UCHAR bulkInPipeID, UCHAR bulkOutPipeID)
{
    WinUsb_AbortPipe(winUsbHandle, bulkInPipeID);
    WinUsb_AbortPipe(winUsbHandle, bulkOutPipeID);
}

bool WinUSBWrap::FlushPipe(WINUSB_INTERFACE_HANDLE winUsbHandle, UCHAR pipeID)
{
    return Guarded(log, "FlushPipe", false, [&] {
        if (WinUsb_FlushPipe(winUsbHandle, pipeID))
            return true;
        log.Failure("FlushPipe: Could not flush the pipe.", GetLastError());
        return false;
    });
}
