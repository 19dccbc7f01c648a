// The contract between the POSIX SetupAPI/WinUSB layer and a bus: the simulated
// bench (platform/sim) or real devices through libusb (platform/libusb). Which
// bus a product uses is decided at link time: each bus defines these functions
// once, and nothing here is virtual.
//
// Errors: every function that can fail returns a Windows error code
// (ERROR_SUCCESS on success). The bus translates its own errors into these codes
// in one place; the POSIX layer hands them to SetLastError unchanged.
//
// Threads: every function may be called from any thread at the same time as any
// other. Transfer is the only call that blocks for long (see there); the others
// return promptly.
#pragma once

#include "platform/winapi.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ostrel::bus {

// One open instrument, defined by the bus. The POSIX layer holds it for as long
// as a device handle (CreateFileA) on it is open.
class Device;

struct Endpoint {
    uint8_t address;        // bit 7 set: IN
    USBD_PIPE_TYPE type;    // control, isochronous, bulk or interrupt
    uint16_t maxPacketSize;
    uint8_t interval;
};

// The device interface paths of the class, in enumeration order (for the
// bench: the order of plugging).
//  - presentOnly true: the interfaces present now; none present gives
//    ERROR_NO_MORE_ITEMS with an empty list.
//  - presentOnly false: whether the system knows the class at all; known gives
//    ERROR_SUCCESS (the list may hold interfaces no longer present), unknown
//    gives ERROR_NOT_FOUND.
DWORD ListInterfaces(const GUID &interfaceClass, bool presentOnly, std::vector<std::string> &paths);

// Opens the device behind an interface path (compared without regard to case,
// as Windows compares them). No such device present: ERROR_FILE_NOT_FOUND.
// The bus counts the device handle as open until Close.
DWORD Open(const std::string &path, std::shared_ptr<Device> &device);
// Closes the device handle. Never fails; also for a removed device.
void Close(Device &device);

// Takes interface 0 for WinUSB (WinUsb_Initialize); counted as a WinUSB
// handle until Release. A removed device: ERROR_BAD_COMMAND.
DWORD Claim(Device &device);
void Release(Device &device);

// The endpoints of interface 0, alternate setting 0, in descriptor order.
DWORD GetEndpoints(Device &device, std::vector<Endpoint> &endpoints);

// Reads up to `length` bytes of the device descriptor; `transferred` tells how
// many came (a device may return fewer than 18).
DWORD GetDeviceDescriptor(Device &device, uint8_t *buffer, uint32_t length, uint32_t &transferred);

// One synchronous transfer on an endpoint; its direction is bit 7 of the
// address. Blocks until the transfer completes, the device is removed
// (ERROR_BAD_COMMAND, at once) or timeoutMs expires (ERROR_SEM_TIMEOUT;
// 0 waits without limit). A read returns at most `length` bytes; bytes of a
// reply that do not fit stay for the next read.
DWORD Transfer(Device &device, uint8_t endpoint, uint8_t *data, uint32_t length, uint32_t timeoutMs,
               uint32_t &transferred);

// Fails at once, with ERROR_OPERATION_ABORTED, every transfer waiting on the
// endpoint now; later transfers run as usual. Never blocks.
DWORD Abort(Device &device, uint8_t endpoint);

// Discards the bytes of a reply that did not fit an earlier read on the IN
// endpoint, so that the next read waits for new data.
DWORD Flush(Device &device, uint8_t endpoint);

// Arrivals and removals of interfaces. The bus calls the listener on whichever
// thread noticed the change (for the bench: the thread that plugged or
// unplugged), after the change is visible to ListInterfaces. The listener must
// not block. Setting a listener replaces the previous one; null stops the
// calls.
using HotplugListener = void (*)(const GUID &interfaceClass, const std::string &path, bool arrived);
void SetHotplugListener(HotplugListener listener);

} // namespace ostrel::bus
