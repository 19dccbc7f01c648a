// Emulated instruments: what the kernel's usbdevfs would do with libusb's URBs.
// Replies come from each instrument's script.
#include "support/EmulatedInstrument.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

namespace ostrel::test {
namespace {

constexpr uint8_t kInEndpoint = 0x81;
constexpr uint8_t kOutEndpoint = 0x02;

// Device descriptor and one configuration, in hex: interface 0, vendor class,
// one bulk IN and one bulk OUT endpoint - what the instruments present to WinUSB.
std::string Descriptors(const InstrumentScript &script)
{
    const auto low = [](uint16_t value) { return static_cast<uint8_t>(value); };
    const auto high = [](uint16_t value) { return static_cast<uint8_t>(value >> 8); };
    const uint16_t packet = script.maxPacket;
    const uint8_t bytes[] = {18, 1, 0x00, 0x02, 0, 0, 0, 64, low(script.vid), high(script.vid), low(script.pid),
                             high(script.pid), 0x00, 0x01, 1, 2, 3, 1, /* configuration */ 9, 2, 32, 0, 1, 1, 0, 0x80,
                             50, /* interface */ 9, 4, 0, 0, 2, 0xFF, 0, 0, 0, /* endpoints */ 7, 5, kInEndpoint, 2,
                             low(packet), high(packet), 0, 7, 5, kOutEndpoint, 2, low(packet), high(packet), 0};
    std::string hex;
    char two[3];
    for (uint8_t byte : bytes)
        hex += (std::snprintf(two, sizeof two, "%02x", byte), two);
    return hex;
}

// Ends the client's ioctl: 0, or -1 with `error` as errno.
bool Answer(UMockdevIoctlClient *client, int error = 0)
{
    umockdev_ioctl_client_complete(client, error != 0 ? -1 : 0, error);
    return true;
}

gboolean OnIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer instrument)
{
    return static_cast<EmulatedInstrument *>(instrument)->HandleIoctl(client) ? TRUE : FALSE;
}

std::string Devnode(const InstrumentScript &script)
{
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03u", script.devnum);
    return node;
}

// Relative to the testbed's /sys.
std::string Syspath(const InstrumentScript &script)
{
    return "/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(script.port);
}

} // namespace

std::string IdnReply(const std::string &model, const std::string &serial)
{
    return "VORN " + model + " 1.0.3 01/02/24 " + serial + "\r\n";
}

EmulatedInstrument::EmulatedInstrument(InstrumentScript script) : script(std::move(script))
{
    handler = umockdev_ioctl_base_new();
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(OnIoctl), this);
}

EmulatedInstrument::~EmulatedInstrument()
{
    for (auto *queue : {&pendingIn, &done})
        for (Urb &urb : *queue) {
            g_object_unref(urb.buffer);
            g_object_unref(urb.urb);
        }
    g_object_unref(handler);
}

int EmulatedInstrument::OpenFiles() const
{
    // umockdev tells the handler of no close, but keeps the node's own path as
    // the link target next to its socket.
    const std::string node = Devnode(script);
    int count = 0;
    std::error_code error;
    for (const auto &fd : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        const std::string target = std::filesystem::read_symlink(fd.path(), error).string();
        count += target.size() >= node.size() && target.compare(target.size() - node.size(), node.size(), node) == 0;
    }
    return count;
}

void EmulatedInstrument::Disconnect()
{
    std::lock_guard<std::mutex> lock(mutex);
    gone = true;
    // As the kernel does at a disconnect: every URB in flight comes back failed.
    for (; !pendingIn.empty(); pendingIn.pop_front())
        Finish(pendingIn.front(), -ENODEV, 0);
}

bool EmulatedInstrument::HandleIoctl(UMockdevIoctlClient *client)
{
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    std::lock_guard<std::mutex> lock(mutex);
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData *caps =
            umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(uint32_t), nullptr);
        const uint32_t value = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                               USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;
        std::memcpy(caps->data, &value, sizeof value);
        g_object_unref(caps);
        return Answer(client);
    }
    case USBDEVFS_GETDRIVER:
        return Answer(client, ENODATA); // no kernel driver holds the interface
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_DISCONNECT_CLAIM:
    case USBDEVFS_IOCTL:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
    case USBDEVFS_RESET:
        return Answer(client, gone ? ENODEV : 0);
    case USBDEVFS_SUBMITURB:
        return Submit(client);
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        return Reap(client);
    case USBDEVFS_DISCARDURB:
        return Discard(client);
    default:
        std::fprintf(stderr, "emulated instrument: unexpected ioctl 0x%lx\n", request);
        return Answer(client, ENOTTY);
    }
}

bool EmulatedInstrument::Submit(UMockdevIoctlClient *client)
{
    if (gone)
        return Answer(client, ENODEV);
    UMockdevIoctlData *urbData =
        umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(usbdevfs_urb), nullptr);
    auto *urb = reinterpret_cast<usbdevfs_urb *>(urbData->data);
    if (urb->type != USBDEVFS_URB_TYPE_BULK || (urb->endpoint != kInEndpoint && urb->endpoint != kOutEndpoint)) {
        g_object_unref(urbData);
        return Answer(client, EINVAL);
    }
    UMockdevIoctlData *buffer = umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer),
                                                            static_cast<gsize>(urb->buffer_length), nullptr);
    const Urb entry{urbData, buffer, urbData->client_addr};
    if (urb->endpoint == kInEndpoint) {
        pendingIn.push_back(entry);
    } else {
        const std::string bytes(reinterpret_cast<const char *>(buffer->data), static_cast<size_t>(urb->buffer_length));
        received += bytes;
        for (const char c : bytes) {
            if (c != '\r' && c != '\n') {
                line += c;
                continue;
            }
            if (auto reply = script.replies.find(line); !line.empty() && reply != script.replies.end())
                replies.push_back(reply->second);
            line.clear();
        }
        Finish(entry, 0, urb->buffer_length);
    }
    // One reply is one transfer: what does not fit the read stays for the next.
    for (; !pendingIn.empty() && !replies.empty(); pendingIn.pop_front()) {
        const Urb read = pendingIn.front();
        std::string &reply = replies.front();
        const size_t room = static_cast<size_t>(reinterpret_cast<usbdevfs_urb *>(read.urb->data)->buffer_length);
        const size_t count = std::min(room, reply.size());
        std::memcpy(read.buffer->data, reply.data(), count);
        reply.erase(0, count);
        if (reply.empty())
            replies.pop_front();
        Finish(read, 0, static_cast<int>(count));
    }
    return Answer(client);
}

void EmulatedInstrument::Finish(Urb urb, int status, int actualLength)
{
    auto *data = reinterpret_cast<usbdevfs_urb *>(urb.urb->data);
    data->status = status;
    data->actual_length = actualLength;
    done.push_back(urb);
}

bool EmulatedInstrument::Reap(UMockdevIoctlClient *client)
{
    if (done.empty())
        return Answer(client, gone ? ENODEV : EAGAIN);
    const Urb urb = done.front();
    done.pop_front();
    UMockdevIoctlData *pointer =
        umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(gpointer), nullptr);
    umockdev_ioctl_data_set_ptr(pointer, 0, urb.urb);
    g_object_unref(pointer);
    g_object_unref(urb.buffer);
    g_object_unref(urb.urb);
    return Answer(client);
}

bool EmulatedInstrument::Discard(UMockdevIoctlClient *client)
{
    unsigned long address = 0;
    std::memcpy(&address, umockdev_ioctl_client_get_arg(client)->data, sizeof address);
    for (auto it = pendingIn.begin(); it != pendingIn.end(); ++it)
        if (it->address == address) {
            Finish(*it, -ENOENT, 0);
            pendingIn.erase(it);
            return Answer(client);
        }
    return Answer(client, EINVAL);
}

// umockdev_in_mock_environment() is only meaningful once a testbed exists.
Testbed::Testbed() : testbed(umockdev_testbed_new()), ready(testbed != nullptr && umockdev_in_mock_environment()) {}

Testbed::~Testbed()
{
    for (const auto &instrument : instruments)
        umockdev_testbed_detach_ioctl(testbed, Devnode(instrument->script).c_str(), nullptr);
    g_object_unref(testbed);
}

std::shared_ptr<EmulatedInstrument> Testbed::Plug(const InstrumentScript &script)
{
    auto instrument = std::make_shared<EmulatedInstrument>(script);
    const std::string node = Devnode(script), number = node.substr(node.size() - 3);
    char ids[64];
    std::snprintf(ids, sizeof ids, "A: idVendor=%04x\\n\nA: idProduct=%04x\\n\n", script.vid, script.pid);
    const std::string description =
        "P: " + Syspath(script) + "\nN: bus/usb/001/" + number + "\nE: SUBSYSTEM=usb\nE: DRIVER=usb\n" +
        "E: DEVTYPE=usb_device\nE: BUSNUM=001\nE: DEVNUM=" + number + "\nE: DEVNAME=" + node + "\n" +
        (script.inClass ? "E: OSTREL_INTERFACE_GUIDS={56AC4E2C-9D3B-4A6C-BF25-B3BD6E44FC00}\n" : "") +
        "A: busnum=1\\n\nA: devnum=" + std::to_string(script.devnum) + "\\n\nA: speed=480\\n\n" +
        "A: bConfigurationValue=1\\n\n" + ids + "A: serial=" + script.serial + "\\n\nH: descriptors=" +
        Descriptors(script) + "\n";
    GError *error = nullptr;
    // The handler first: the node must answer as soon as udev announces it.
    if (!umockdev_testbed_attach_ioctl(testbed, node.c_str(), instrument->handler, &error) ||
        !umockdev_testbed_add_from_string(testbed, description.c_str(), &error)) {
        std::fprintf(stderr, "emulating %s: %s\n", node.c_str(), error != nullptr ? error->message : "?");
        g_clear_error(&error);
        return nullptr;
    }
    // Adding a device to the testbed announces nothing; the kernel would.
    umockdev_testbed_uevent(testbed, ("/sys" + Syspath(script)).c_str(), "add");
    instruments.push_back(instrument);
    return instrument;
}

void Testbed::Unplug(const std::shared_ptr<EmulatedInstrument> &instrument)
{
    instrument->Disconnect();
    const std::string syspath = "/sys" + Syspath(instrument->script);
    umockdev_testbed_uevent(testbed, syspath.c_str(), "remove");
    umockdev_testbed_remove_device(testbed, syspath.c_str());
}

} // namespace ostrel::test
