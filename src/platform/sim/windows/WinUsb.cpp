// The WinUSB calls the library makes, over the bench: interface handles with their
// per-pipe policies, and synchronous transfers.
#include "platform/sim/windows/DevicePipes.h"
#include "platform/sim/windows/ShimFaults.h"

#include "platform/sim/Bench.h"

#include <array>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <new>

using namespace ostrel;

namespace {

// Interface 0 of an instrument, claimed for WinUSB. The policies belong to the
// handle: a second WinUsb_Initialize on the same device starts from defaults.
struct WinUsbInterface {
    std::shared_ptr<bus::Device> device;
    std::vector<bus::Endpoint> endpoints;
    // PIPE_TRANSFER_TIMEOUT in ms by pipe ID; 0 waits without limit. Atomic:
    // a policy may change while another thread transfers on the pipe.
    std::array<std::atomic<uint32_t>, 256> timeouts{};

    bool HasPipe(UCHAR pipeId) const
    {
        for (const bus::Endpoint &endpoint : endpoints)
            if (endpoint.address == pipeId)
                return true;
        return false;
    }
};

// Interface handles by value; counted values, never addresses, so that a
// freed or made-up handle is refused instead of followed.
struct InterfaceTable {
    std::mutex mutex;
    std::map<WINUSB_INTERFACE_HANDLE, std::shared_ptr<WinUsbInterface>> interfaces;
    uintptr_t next = 1;
};

InterfaceTable &Interfaces()
{
    static InterfaceTable *table = new InterfaceTable;
    return *table;
}

std::shared_ptr<WinUsbInterface> Find(WINUSB_INTERFACE_HANDLE handle)
{
    InterfaceTable &table = Interfaces();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto found = table.interfaces.find(handle);
    return found != table.interfaces.end() ? found->second : nullptr;
}

BOOL Fail(DWORD error)
{
    SetLastError(error);
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
    if (shim::FaultHit(call)) {
        if (transferred != nullptr)
            *transferred = 0;
        return FALSE;
    }
    auto usb = Find(interfaceHandle);
    if (usb == nullptr)
        return FailTransfer(ERROR_INVALID_HANDLE, transferred);
    // Overlapped transfers are not offered: the library waits in the call.
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

extern "C" {

BOOL WINAPI WinUsb_Initialize(HANDLE deviceHandle, PWINUSB_INTERFACE_HANDLE interfaceHandle)
{
    if (shim::FaultHit("WinUsb_Initialize"))
        return FALSE;
    std::shared_ptr<sim::Instrument> instrument;
    DWORD error = shim::DevicePipes::Get().Identify(deviceHandle, instrument);
    if (error != ERROR_SUCCESS)
        return Fail(error);
    if (interfaceHandle == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    try {
        auto usb = std::make_shared<WinUsbInterface>();
        // The device handle itself is counted by DevicePipes, not by bus::Open.
        usb->device = std::make_shared<bus::Device>(std::move(instrument));
        error = bus::Claim(*usb->device);
        if (error != ERROR_SUCCESS)
            return Fail(error);
        error = bus::GetEndpoints(*usb->device, usb->endpoints);
        if (error == ERROR_SUCCESS) {
            InterfaceTable &table = Interfaces();
            std::lock_guard<std::mutex> lock(table.mutex);
            auto handle = reinterpret_cast<WINUSB_INTERFACE_HANDLE>(table.next++ << 4);
            table.interfaces[handle] = usb;
            *interfaceHandle = handle;
            return TRUE;
        }
        bus::Release(*usb->device);
    } catch (const std::bad_alloc &) {
        error = ERROR_NOT_ENOUGH_MEMORY;
    }
    return Fail(error);
}

BOOL WINAPI WinUsb_Free(WINUSB_INTERFACE_HANDLE interfaceHandle)
{
    // An injected failure still frees the handle, so that tests can see no leak.
    const bool fault = shim::FaultHit("WinUsb_Free");
    std::shared_ptr<WinUsbInterface> usb;
    {
        InterfaceTable &table = Interfaces();
        std::lock_guard<std::mutex> lock(table.mutex);
        auto found = table.interfaces.find(interfaceHandle);
        if (found != table.interfaces.end()) {
            usb = std::move(found->second);
            table.interfaces.erase(found);
        }
    }
    if (usb != nullptr)
        bus::Release(*usb->device);
    if (fault)
        return FALSE;
    return usb != nullptr ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

BOOL WINAPI WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE interfaceHandle, UCHAR alternateSetting,
                                          PUSB_INTERFACE_DESCRIPTOR descriptor)
{
    if (shim::FaultHit("WinUsb_QueryInterfaceSettings"))
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
    if (shim::FaultHit("WinUsb_QueryPipe"))
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
    if (shim::FaultHit("WinUsb_GetDescriptor"))
        return FALSE;
    auto usb = Find(interfaceHandle);
    if (usb == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    // Only the device descriptor: the library reads nothing else.
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
    if (shim::FaultHit("WinUsb_SetPipePolicy"))
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

} // extern "C"
