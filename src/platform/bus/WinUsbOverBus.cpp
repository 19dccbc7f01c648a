// WinUSB over the bus: interface handles with their per-pipe policies, and synchronous transfers.
#include "platform/bus/OverBusHost.h"
#include "platform/BenchHooks.h"
#include "platform/ExceptionBoundary.h"

#include <array>
#include <atomic>
#include <cstring>
#include <new>
#include <vector>

using namespace ostrel;

namespace {

// Interface 0 of a device, claimed for WinUSB. The policies belong to the
// handle: a second WinUsb_Initialize on the same device starts from defaults.
class WinUsbInterface : public calls::HandleObject, public calls::NotKernelObject {
public:
    WinUsbInterface(std::shared_ptr<bus::Device> device, std::vector<bus::Endpoint> endpoints)
        : device(std::move(device)), endpoints(std::move(endpoints))
    {
    }
    void Release() override { bus::Release(*device); }

    bool HasPipe(UCHAR pipeId) const
    {
        for (const bus::Endpoint &endpoint : endpoints)
            if (endpoint.address == pipeId)
                return true;
        return false;
    }

    const std::shared_ptr<bus::Device> device;
    const std::vector<bus::Endpoint> endpoints;
    // PIPE_TRANSFER_TIMEOUT in ms by pipe ID; 0 waits without limit. Atomic:
    // a policy may change while another thread transfers on the pipe.
    std::array<std::atomic<uint32_t>, 256> timeouts{};
};

std::shared_ptr<WinUsbInterface> Find(WINUSB_INTERFACE_HANDLE interfaceHandle)
{
    return calls::Handles().LookupAs<WinUsbInterface>(interfaceHandle);
}

BOOL Fail(DWORD error)
{
    calls::SetError(error);
    return FALSE;
}

BOOL FailTransfer(DWORD error, PULONG transferred)
{
    if (transferred != nullptr)
        *transferred = 0;
    return Fail(error);
}

// Both pipe calls: the direction the call moves data must match bit 7 of the
// pipe ID, else WinUSB refuses before anything reaches the device.
BOOL Transfer(const char *call, bool in, WINUSB_INTERFACE_HANDLE interfaceHandle, UCHAR pipeId, PUCHAR buffer,
              ULONG length, PULONG transferred, LPOVERLAPPED overlapped)
{
    if (hooks::FaultHit(call)) {
        if (transferred != nullptr)
            *transferred = 0;
        return FALSE;
    }
    auto usb = Find(interfaceHandle);
    if (usb == nullptr)
        return FailTransfer(ERROR_INVALID_HANDLE, transferred);
    // Overlapped transfers are not offered: the core waits in the call.
    if (overlapped != nullptr || (buffer == nullptr && length != 0) || ((pipeId & 0x80) != 0) != in)
        return FailTransfer(ERROR_INVALID_PARAMETER, transferred);
    uint32_t count = 0;
    DWORD error = bus::Transfer(*usb->device, pipeId, buffer, length, usb->timeouts[pipeId].load(), count);
    if (error != ERROR_SUCCESS)
        return FailTransfer(error, transferred);
    if (transferred != nullptr)
        *transferred = count;
    return TRUE;
}

} // namespace

BOOL WINAPI WinUsb_Initialize(HANDLE deviceHandle, WINUSB_INTERFACE_HANDLE *interfaceHandle)
{
    if (hooks::FaultHit("WinUsb_Initialize"))
        return FALSE;
    std::shared_ptr<bus::Device> device;
    DWORD error = calls::DeviceOf(deviceHandle, device);
    if (error != ERROR_SUCCESS)
        return Fail(error);
    if (interfaceHandle == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    error = bus::Claim(*device);
    if (error != ERROR_SUCCESS)
        return Fail(error);
    bool initialized = false;
    CatchAll(
        [&] {
            std::vector<bus::Endpoint> endpoints;
            error = bus::GetEndpoints(*device, endpoints);
            if (error != ERROR_SUCCESS)
                return;
            *interfaceHandle = calls::Handles().Insert(std::make_shared<WinUsbInterface>(device, std::move(endpoints)));
            initialized = true;
        },
        [&] { error = ERROR_NOT_ENOUGH_MEMORY; });
    if (initialized)
        return TRUE;
    bus::Release(*device);
    return Fail(error);
}

BOOL WINAPI WinUsb_Free(WINUSB_INTERFACE_HANDLE interfaceHandle)
{
    // An injected failure still frees the handle, so that tests can see no leak.
    const bool fault = hooks::FaultHit("WinUsb_Free");
    const bool freed = calls::Handles().CloseAs<WinUsbInterface>(interfaceHandle);
    if (fault)
        return FALSE;
    return freed ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

BOOL WINAPI WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE interfaceHandle, UCHAR alternateSetting,
                                          PUSB_INTERFACE_DESCRIPTOR descriptor)
{
    if (hooks::FaultHit("WinUsb_QueryInterfaceSettings"))
        return FALSE;
    auto usb = Find(interfaceHandle);
    if (usb == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    if (descriptor == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    if (alternateSetting != 0)
        return Fail(ERROR_NO_MORE_ITEMS);
    USB_INTERFACE_DESCRIPTOR result{};
    result.bLength = sizeof(USB_INTERFACE_DESCRIPTOR);
    result.bDescriptorType = 0x04; // interface
    result.bNumEndpoints = static_cast<UCHAR>(usb->endpoints.size());
    result.bInterfaceClass = 0xFF; // vendor-specific: what WinUSB binds to
    *descriptor = result;
    return TRUE;
}

BOOL WINAPI WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE interfaceHandle, UCHAR alternateSetting, UCHAR pipeIndex,
                             PWINUSB_PIPE_INFORMATION pipeInformation)
{
    if (hooks::FaultHit("WinUsb_QueryPipe"))
        return FALSE;
    auto usb = Find(interfaceHandle);
    if (usb == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    if (pipeInformation == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    if (alternateSetting != 0 || pipeIndex >= usb->endpoints.size())
        return Fail(ERROR_NO_MORE_ITEMS);
    const bus::Endpoint &endpoint = usb->endpoints[pipeIndex];
    pipeInformation->PipeType = endpoint.type;
    pipeInformation->PipeId = endpoint.address;
    pipeInformation->MaximumPacketSize = endpoint.maxPacketSize;
    pipeInformation->Interval = endpoint.interval;
    return TRUE;
}

BOOL WINAPI WinUsb_GetDescriptor(WINUSB_INTERFACE_HANDLE interfaceHandle, UCHAR descriptorType, UCHAR index,
                                 USHORT languageId, PUCHAR buffer, ULONG length, PULONG transferred)
{
    (void)languageId;
    if (hooks::FaultHit("WinUsb_GetDescriptor"))
        return FALSE;
    auto usb = Find(interfaceHandle);
    if (usb == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    // Only the device descriptor: the core reads nothing else.
    if (descriptorType != USB_DEVICE_DESCRIPTOR_TYPE || index != 0 || buffer == nullptr || transferred == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    uint32_t count = 0;
    DWORD error = bus::GetDeviceDescriptor(*usb->device, buffer, length, count);
    *transferred = count;
    return error == ERROR_SUCCESS ? TRUE : Fail(error);
}

BOOL WINAPI WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE interfaceHandle, UCHAR pipeId, ULONG policyType,
                                 ULONG valueLength, PVOID value)
{
    if (hooks::FaultHit("WinUsb_SetPipePolicy"))
        return FALSE;
    auto usb = Find(interfaceHandle);
    if (usb == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    if (policyType != PIPE_TRANSFER_TIMEOUT || valueLength != sizeof(uint32_t) || value == nullptr ||
        !usb->HasPipe(pipeId))
        return Fail(ERROR_INVALID_PARAMETER);
    uint32_t milliseconds = 0;
    std::memcpy(&milliseconds, value, sizeof milliseconds);
    usb->timeouts[pipeId].store(milliseconds);
    return TRUE;
}

BOOL WINAPI WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE interfaceHandle, UCHAR pipeId, PUCHAR buffer, ULONG length,
                            PULONG transferred, LPOVERLAPPED overlapped)
{
    return Transfer("WinUsb_ReadPipe", true, interfaceHandle, pipeId, buffer, length, transferred, overlapped);
}

BOOL WINAPI WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE interfaceHandle, UCHAR pipeId, PUCHAR buffer, ULONG length,
                             PULONG transferred, LPOVERLAPPED overlapped)
{
    return Transfer("WinUsb_WritePipe", false, interfaceHandle, pipeId, buffer, length, transferred, overlapped);
}

namespace {

// Both pipe-wide calls: the pipe must be one of the interface's.
BOOL PipeCall(const char *call, WINUSB_INTERFACE_HANDLE interfaceHandle, UCHAR pipeId,
              DWORD (*operation)(bus::Device &, uint8_t))
{
    if (hooks::FaultHit(call))
        return FALSE;
    auto usb = Find(interfaceHandle);
    if (usb == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    if (!usb->HasPipe(pipeId))
        return Fail(ERROR_INVALID_PARAMETER);
    const DWORD error = operation(*usb->device, pipeId);
    return error == ERROR_SUCCESS ? TRUE : Fail(error);
}

} // namespace

BOOL WINAPI WinUsb_AbortPipe(WINUSB_INTERFACE_HANDLE interfaceHandle, UCHAR pipeId)
{
    return PipeCall("WinUsb_AbortPipe", interfaceHandle, pipeId, bus::Abort);
}

BOOL WINAPI WinUsb_FlushPipe(WINUSB_INTERFACE_HANDLE interfaceHandle, UCHAR pipeId)
{
    return PipeCall("WinUsb_FlushPipe", interfaceHandle, pipeId, bus::Flush);
}
