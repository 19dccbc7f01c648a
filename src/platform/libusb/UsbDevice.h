// An instrument opened through libusb: the bus's Device, and the process-wide libusb context.
#pragma once

#include "platform/bus/Bus.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

struct libusb_context;
struct libusb_device_handle;
struct libusb_transfer;

namespace ostrel::usb {

// The one libusb context of the process, made at first use and never ended:
// handles may still be closed while the process exits. Null (with the
// Windows code of libusb's failure in `error`) if libusb could not start.
libusb_context *Context(DWORD &error);

} // namespace ostrel::usb

namespace ostrel::bus {

class Device {
public:
    Device(libusb_device_handle *handle, std::string devnode, std::vector<Endpoint> endpoints);

    // Called by the hot-plug monitor when the device node goes away: every
    // transfer fails at once from now on, also those already waiting.
    void MarkRemoved();

    const std::string devnode;
    const std::vector<Endpoint> endpoints; // interface 0, alternate setting 0
    DWORD endpointsError = ERROR_SUCCESS;  // why `endpoints` could not be read
    uint8_t descriptor[18] = {};           // the device descriptor, as the device sends it

    // Everything below is guarded by `mutex`.
    std::mutex mutex;
    std::condition_variable idle;     // signalled when `inflight` empties
    libusb_device_handle *handle;     // null once closed
    bool removed = false;
    int claims = 0;
    std::vector<libusb_transfer *> inflight;
    // Bytes of a reply that did not fit the caller's buffer, by IN endpoint:
    // WinUSB keeps them for the next read, and so do we.
    std::map<uint8_t, std::vector<uint8_t>> leftovers;
};

} // namespace ostrel::bus

namespace ostrel::usb {

// The open devices, so that a removal can reach them. Both are safe from any thread.
void TrackDevice(const std::shared_ptr<bus::Device> &device);
void MarkRemoved(const std::string &devnode);

} // namespace ostrel::usb
