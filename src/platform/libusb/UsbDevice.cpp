// Open, claim, describe and transfer: the device half of the bus over libusb.
#include "platform/ExceptionBoundary.h"
#include "platform/libusb/UsbDevice.h"

#include "platform/libusb/Errors.h"
#include "platform/libusb/Hotplug.h"
#include "platform/libusb/Instruments.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <libudev.h>
#include <libusb.h>
#include <thread>

namespace ostrel::usb {
namespace {

struct OpenDevices {
    std::mutex mutex;
    std::vector<std::weak_ptr<bus::Device>> devices;
};

OpenDevices &Tracked()
{
    static OpenDevices *tracked = new OpenDevices;
    return *tracked;
}

// How long Close waits for cancelled transfers to come back. A device that
// never returns them keeps its handle open rather than have it freed under
// a transfer.
constexpr auto kCancelWait = std::chrono::seconds(2);
// How long an instrument udev lists may stay unknown to libusb.
constexpr auto kArrivalWait = std::chrono::seconds(1);

bool Endpoints(libusb_device *device, std::vector<bus::Endpoint> &endpoints, DWORD &error)
{
    libusb_config_descriptor *config = nullptr;
    int result = libusb_get_active_config_descriptor(device, &config);
    if (result < 0) {
        error = WindowsError(result);
        return false;
    }
    error = ERROR_NOT_FOUND;
    for (int i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface &interface = config->interface[i];
        if (interface.num_altsetting < 1 || interface.altsetting[0].bInterfaceNumber != 0)
            continue;
        const libusb_interface_descriptor &setting = interface.altsetting[0];
        for (int e = 0; e < setting.bNumEndpoints; ++e) {
            const libusb_endpoint_descriptor &endpoint = setting.endpoint[e];
            endpoints.push_back(bus::Endpoint{
                .address = endpoint.bEndpointAddress,
                .type = static_cast<USBD_PIPE_TYPE>(endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK),
                .maxPacketSize = static_cast<uint16_t>(endpoint.wMaxPacketSize & 0x7FF),
                .interval = endpoint.bInterval,
            });
        }
        error = ERROR_SUCCESS;
        break;
    }
    libusb_free_config_descriptor(config);
    return error == ERROR_SUCCESS;
}

// The descriptor in its wire order: libusb hands it over in host order.
void WireDescriptor(const libusb_device_descriptor &d, uint8_t (&wire)[18])
{
    const uint8_t bytes[18] = {d.bLength,
                               d.bDescriptorType,
                               static_cast<uint8_t>(d.bcdUSB),
                               static_cast<uint8_t>(d.bcdUSB >> 8),
                               d.bDeviceClass,
                               d.bDeviceSubClass,
                               d.bDeviceProtocol,
                               d.bMaxPacketSize0,
                               static_cast<uint8_t>(d.idVendor),
                               static_cast<uint8_t>(d.idVendor >> 8),
                               static_cast<uint8_t>(d.idProduct),
                               static_cast<uint8_t>(d.idProduct >> 8),
                               static_cast<uint8_t>(d.bcdDevice),
                               static_cast<uint8_t>(d.bcdDevice >> 8),
                               d.iManufacturer,
                               d.iProduct,
                               d.iSerialNumber,
                               d.bNumConfigurations};
    std::memcpy(wire, bytes, sizeof wire);
}

// The instrument behind a path, as udev lists it now.
bool FindInstrument(const std::string &path, Instrument &found)
{
    udev *context = udev_new();
    if (context == nullptr)
        return false;
    bool present = false;
    for (Instrument &instrument : PresentInstruments(context))
        if (SamePath(instrument.path, path) && !SeenRemoved(instrument.devnode)) {
            found = std::move(instrument);
            present = true;
            break;
        }
    udev_unref(context);
    return present;
}

// The device of this bus number and address in libusb's list, referenced; null if absent.
libusb_device *ListedDevice(libusb_context *context, const Instrument &instrument, DWORD &error)
{
    libusb_device **list = nullptr;
    ssize_t count = libusb_get_device_list(context, &list);
    if (count < 0) {
        error = WindowsError(static_cast<int>(count));
        return nullptr;
    }
    libusb_device *found = nullptr;
    for (ssize_t i = 0; i < count && found == nullptr; ++i)
        if (libusb_get_bus_number(list[i]) == instrument.busnum &&
            libusb_get_device_address(list[i]) == instrument.devnum)
            found = libusb_ref_device(list[i]);
    libusb_free_device_list(list, 1);
    error = found != nullptr ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    return found;
}

DWORD OpenOnBus(libusb_context *context, const Instrument &instrument, libusb_device_handle *&handle,
                libusb_device_descriptor &descriptor)
{
    // libusb learns of a new device from its own udev monitor, which may read
    // the arrival a moment after ours did; give it that moment.
    DWORD error = ERROR_SUCCESS;
    libusb_device *device = ListedDevice(context, instrument, error);
    const auto deadline = std::chrono::steady_clock::now() + kArrivalWait;
    while (device == nullptr && error == ERROR_FILE_NOT_FOUND && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        device = ListedDevice(context, instrument, error);
    }
    if (device == nullptr)
        return error;
    int result = libusb_get_device_descriptor(device, &descriptor);
    if (result == 0)
        result = libusb_open(device, &handle);
    libusb_unref_device(device);
    // Gone between the listing and the open: not there, as Windows says it.
    if (result == LIBUSB_ERROR_NO_DEVICE || result == LIBUSB_ERROR_NOT_FOUND)
        return ERROR_FILE_NOT_FOUND;
    return WindowsError(result);
}

void LIBUSB_CALL TransferDone(libusb_transfer *transfer)
{
    *static_cast<int *>(transfer->user_data) = 1;
}

const bus::Endpoint *FindEndpoint(const bus::Device &device, uint8_t address)
{
    for (const bus::Endpoint &endpoint : device.endpoints)
        if (endpoint.address == address)
            return &endpoint;
    return nullptr;
}

// Waits as libusb's own synchronous calls do: whichever waiting thread gets
// the event lock handles events for all of them.
void WaitForTransfer(libusb_context *context, libusb_transfer *transfer, int &completed)
{
    while (completed == 0) {
        int result = libusb_handle_events_completed(context, &completed);
        if (result < 0 && result != LIBUSB_ERROR_INTERRUPTED && completed == 0)
            libusb_cancel_transfer(transfer);
    }
}

} // namespace

libusb_context *Context(DWORD &error)
{
    struct Started {
        libusb_context *context = nullptr;
        int result = 0;
    };
    // Never ended: libusb_exit at process exit would race with threads that
    // still close handles.
    static const Started started = [] {
        Started s;
        s.result = libusb_init(&s.context);
        return s;
    }();
    error = WindowsError(started.result);
    return started.result == 0 ? started.context : nullptr;
}

void TrackDevice(const std::shared_ptr<bus::Device> &device)
{
    OpenDevices &tracked = Tracked();
    std::lock_guard<std::mutex> lock(tracked.mutex);
    auto &devices = tracked.devices;
    devices.erase(std::remove_if(devices.begin(), devices.end(), [](const auto &d) { return d.expired(); }),
                  devices.end());
    devices.push_back(device);
}

void MarkRemoved(const std::string &devnode)
{
    std::vector<std::shared_ptr<bus::Device>> hit;
    {
        OpenDevices &tracked = Tracked();
        std::lock_guard<std::mutex> lock(tracked.mutex);
        for (const auto &weak : tracked.devices)
            if (auto device = weak.lock(); device != nullptr && device->devnode == devnode)
                hit.push_back(std::move(device));
    }
    // Outside the list's lock: Close takes the device's lock first.
    for (const auto &device : hit)
        device->MarkRemoved();
}

} // namespace ostrel::usb

namespace ostrel::bus {

Device::Device(libusb_device_handle *handle, std::string devnode, std::vector<Endpoint> endpoints)
    : devnode(std::move(devnode)), endpoints(std::move(endpoints)), handle(handle)
{
}

void Device::MarkRemoved()
{
    std::lock_guard<std::mutex> lock(mutex);
    removed = true;
    for (libusb_transfer *transfer : inflight)
        libusb_cancel_transfer(transfer);
}

DWORD Open(const std::string &path, std::shared_ptr<Device> &device)
{
    DWORD error = ERROR_SUCCESS;
    libusb_context *context = usb::Context(error);
    if (context == nullptr)
        return error;
    usb::Instrument instrument;
    if (!usb::FindInstrument(path, instrument))
        return ERROR_FILE_NOT_FOUND;
    libusb_device_handle *handle = nullptr;
    libusb_device_descriptor descriptor{};
    error = usb::OpenOnBus(context, instrument, handle, descriptor);
    if (error != ERROR_SUCCESS)
        return error;
    std::vector<Endpoint> endpoints;
    DWORD endpointsError = ERROR_SUCCESS;
    usb::Endpoints(libusb_get_device(handle), endpoints, endpointsError);
    const bool made = CatchAll(
        [&] {
            device = std::make_shared<Device>(handle, instrument.devnode, std::move(endpoints));
            usb::WireDescriptor(descriptor, device->descriptor);
            device->endpointsError = endpointsError;
            usb::TrackDevice(device);
        },
        [&] {
            device.reset();
            libusb_close(handle);
        });
    return made ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY;
}

void Close(Device &device)
{
    std::unique_lock<std::mutex> lock(device.mutex);
    if (device.handle == nullptr)
        return;
    for (libusb_transfer *transfer : device.inflight)
        libusb_cancel_transfer(transfer);
    libusb_device_handle *handle = device.handle;
    device.handle = nullptr;
    if (!device.idle.wait_for(lock, usb::kCancelWait, [&] { return device.inflight.empty(); }))
        return;
    if (device.claims > 0)
        libusb_release_interface(handle, 0);
    device.claims = 0;
    device.leftovers.clear();
    lock.unlock();
    libusb_close(handle);
}

DWORD Claim(Device &device)
{
    std::lock_guard<std::mutex> lock(device.mutex);
    if (device.handle == nullptr)
        return ERROR_INVALID_HANDLE;
    if (device.removed)
        return ERROR_BAD_COMMAND;
    if (device.claims == 0) {
        // A kernel driver (usbtmc, cdc_acm, ...) may hold interface 0; libusb
        // gives it back when the interface is released.
        libusb_set_auto_detach_kernel_driver(device.handle, 1);
        int result = libusb_claim_interface(device.handle, 0);
        if (result < 0)
            return usb::WindowsError(result);
    }
    ++device.claims;
    return ERROR_SUCCESS;
}

void Release(Device &device)
{
    std::lock_guard<std::mutex> lock(device.mutex);
    if (device.claims == 0)
        return;
    if (--device.claims == 0 && device.handle != nullptr)
        libusb_release_interface(device.handle, 0);
}

DWORD GetEndpoints(Device &device, std::vector<Endpoint> &endpoints)
{
    if (device.endpointsError != ERROR_SUCCESS)
        return device.endpointsError;
    endpoints = device.endpoints;
    return ERROR_SUCCESS;
}

DWORD GetDeviceDescriptor(Device &device, uint8_t *buffer, uint32_t length, uint32_t &transferred)
{
    transferred = 0;
    std::lock_guard<std::mutex> lock(device.mutex);
    if (device.handle == nullptr)
        return ERROR_INVALID_HANDLE;
    if (device.removed)
        return ERROR_BAD_COMMAND;
    transferred = std::min<uint32_t>(length, sizeof device.descriptor);
    std::memcpy(buffer, device.descriptor, transferred);
    return ERROR_SUCCESS;
}

DWORD Transfer(Device &device, uint8_t endpoint, uint8_t *data, uint32_t length, uint32_t timeoutMs,
               uint32_t &transferred)
{
    transferred = 0;
    const bool in = (endpoint & LIBUSB_ENDPOINT_IN) != 0;
    const Endpoint *pipe = usb::FindEndpoint(device, endpoint);
    if (pipe == nullptr || (pipe->type != UsbdPipeTypeBulk && pipe->type != UsbdPipeTypeInterrupt))
        return ERROR_INVALID_PARAMETER;
    DWORD error = ERROR_SUCCESS;
    libusb_context *context = usb::Context(error);
    if (context == nullptr)
        return error;

    // A read asks for whole packets: a device that sends more than the
    // caller's buffer holds would otherwise overflow and lose the reply.
    std::vector<uint8_t> whole;
    uint8_t *target = data;
    uint32_t request = length;
    if (in && pipe->maxPacketSize > 0 && length % pipe->maxPacketSize != 0) {
        request = (length / pipe->maxPacketSize + 1) * pipe->maxPacketSize;
        whole.resize(request);
        target = whole.data();
    }
    libusb_transfer *transfer = libusb_alloc_transfer(0);
    if (transfer == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    int completed = 0;
    {
        std::lock_guard<std::mutex> lock(device.mutex);
        if (device.handle == nullptr || device.removed) {
            libusb_free_transfer(transfer);
            return device.handle == nullptr ? ERROR_INVALID_HANDLE : ERROR_BAD_COMMAND;
        }
        if (in) {
            auto kept = device.leftovers.find(endpoint);
            if (kept != device.leftovers.end() && !kept->second.empty()) {
                std::vector<uint8_t> &bytes = kept->second;
                transferred = std::min<uint32_t>(length, static_cast<uint32_t>(bytes.size()));
                std::memcpy(data, bytes.data(), transferred);
                bytes.erase(bytes.begin(), bytes.begin() + transferred);
                libusb_free_transfer(transfer);
                return ERROR_SUCCESS;
            }
        }
        if (pipe->type == UsbdPipeTypeBulk)
            libusb_fill_bulk_transfer(transfer, device.handle, endpoint, target, static_cast<int>(request),
                                      usb::TransferDone, &completed, timeoutMs);
        else
            libusb_fill_interrupt_transfer(transfer, device.handle, endpoint, target, static_cast<int>(request),
                                           usb::TransferDone, &completed, timeoutMs);
        int result = libusb_submit_transfer(transfer);
        if (result < 0) {
            libusb_free_transfer(transfer);
            return usb::WindowsError(result);
        }
        device.inflight.push_back(transfer);
    }
    usb::WaitForTransfer(context, transfer, completed);

    std::lock_guard<std::mutex> lock(device.mutex);
    device.inflight.erase(std::find(device.inflight.begin(), device.inflight.end(), transfer));
    if (device.inflight.empty())
        device.idle.notify_all();
    error = usb::WindowsTransferError(transfer->status);
    if (transfer->status == LIBUSB_TRANSFER_CANCELLED)
        error = device.removed ? ERROR_BAD_COMMAND : ERROR_OPERATION_ABORTED;
    const uint32_t actual = static_cast<uint32_t>(std::max(transfer->actual_length, 0));
    libusb_free_transfer(transfer);
    if (error != ERROR_SUCCESS)
        return error;
    transferred = std::min(actual, length);
    if (target != data) {
        std::memcpy(data, target, transferred);
        if (actual > length)
            device.leftovers[endpoint].assign(target + length, target + actual);
    }
    return ERROR_SUCCESS;
}

DWORD Abort(Device &device, uint8_t endpoint)
{
    std::lock_guard<std::mutex> lock(device.mutex);
    if (device.handle == nullptr)
        return ERROR_INVALID_HANDLE;
    if (device.removed)
        return ERROR_BAD_COMMAND;
    // The cancelled transfers come back as cancelled, which Transfer reports
    // as ERROR_OPERATION_ABORTED.
    for (libusb_transfer *transfer : device.inflight)
        if (transfer->endpoint == endpoint)
            libusb_cancel_transfer(transfer);
    return ERROR_SUCCESS;
}

DWORD Flush(Device &device, uint8_t endpoint)
{
    std::lock_guard<std::mutex> lock(device.mutex);
    if (device.handle == nullptr)
        return ERROR_INVALID_HANDLE;
    device.leftovers.erase(endpoint);
    return ERROR_SUCCESS;
}

} // namespace ostrel::bus
