// Emulated instruments: what the kernel's usbdevfs would do with libusb's URBs.
// Replies come from each instrument's script.
#include "usb/EmulatedInstrument.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <limits.h>
#include <thread>
#include <unistd.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

namespace ostrel::test {
namespace {

constexpr uint8_t kInEndpoint = 0x81;
constexpr uint8_t kOutEndpoint = 0x02;

std::string Hex(const std::vector<uint8_t> &bytes)
{
    std::string text;
    char two[3];
    for (uint8_t byte : bytes) {
        std::snprintf(two, sizeof two, "%02x", byte);
        text += two;
    }
    return text;
}

void Little16(std::vector<uint8_t> &bytes, uint16_t value)
{
    bytes.push_back(static_cast<uint8_t>(value));
    bytes.push_back(static_cast<uint8_t>(value >> 8));
}

// Device descriptor and one configuration: interface 0, vendor class, one bulk
// IN and one bulk OUT endpoint - what the instruments present to WinUSB.
std::vector<uint8_t> Descriptors(const InstrumentScript &script)
{
    std::vector<uint8_t> d = {18, 1, 0x00, 0x02, 0, 0, 0, 64};
    Little16(d, script.vid);
    Little16(d, script.pid);
    d.insert(d.end(), {0x00, 0x01, 1, 2, 3, 1});
    d.insert(d.end(), {9, 2, 32, 0, 1, 1, 0, 0x80, 50});
    d.insert(d.end(), {9, 4, 0, 0, 2, 0xFF, 0, 0, 0});
    d.insert(d.end(), {7, 5, kInEndpoint, 2});
    Little16(d, script.maxPacket);
    d.push_back(0);
    d.insert(d.end(), {7, 5, kOutEndpoint, 2});
    Little16(d, script.maxPacket);
    d.push_back(0);
    return d;
}

gboolean OnIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer instrument)
{
    return static_cast<EmulatedInstrument *>(instrument)->HandleIoctl(client) ? TRUE : FALSE;
}

// The files of this process open on `node` (umockdev keeps the node's own
// path as the link target next to its socket).
int OpenFilesOn(const std::string &node)
{
    int count = 0;
    DIR *fds = opendir("/proc/self/fd");
    if (fds == nullptr)
        return -1;
    while (dirent *entry = readdir(fds)) {
        char target[PATH_MAX];
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
        if (length <= 0)
            continue;
        const std::string text(target, static_cast<size_t>(length));
        if (text.size() >= node.size() && text.compare(text.size() - node.size(), node.size(), node) == 0)
            ++count;
    }
    closedir(fds);
    return count;
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

std::string EmulatedInstrument::Devnode() const
{
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03u", script.devnum);
    return node;
}

std::string EmulatedInstrument::Syspath() const
{
    return "/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(script.port);
}

std::string EmulatedInstrument::InterfacePath() const
{
    char head[80];
    std::snprintf(head, sizeof head, "%s#vid_%04x&pid_%04x#", Devnode().c_str(), script.vid, script.pid);
    std::string path = head + script.serial + "#{56ac4e2c-9d3b-4a6c-bf25-b3bd6e44fc00}";
    for (char &c : path)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return path;
}

std::vector<uint8_t> EmulatedInstrument::Received()
{
    std::lock_guard<std::mutex> lock(mutex);
    return received;
}

bool EmulatedInstrument::WaitForOpenFiles(int count, std::chrono::milliseconds limit)
{
    // umockdev tells the handler of no close, so look at this process's files.
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (OpenFilesOn(Devnode()) == count)
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void EmulatedInstrument::Disconnect()
{
    std::lock_guard<std::mutex> lock(mutex);
    gone = true;
    // As the kernel does at a disconnect: every URB in flight comes back failed.
    while (!pendingIn.empty()) {
        Urb urb = pendingIn.front();
        pendingIn.pop_front();
        Finish(urb, -ENODEV, 0);
        done.push_back(urb);
    }
}

bool EmulatedInstrument::HandleIoctl(UMockdevIoctlClient *client)
{
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    std::lock_guard<std::mutex> lock(mutex);
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData *caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr);
        const uint32_t value = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                               USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;
        std::memcpy(caps->data, &value, sizeof value);
        g_object_unref(caps);
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    }
    case USBDEVFS_GETDRIVER:
        // No kernel driver holds the interface.
        umockdev_ioctl_client_complete(client, -1, ENODATA);
        return true;
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_DISCONNECT_CLAIM:
    case USBDEVFS_IOCTL:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
    case USBDEVFS_RESET:
        umockdev_ioctl_client_complete(client, gone ? -1 : 0, gone ? ENODEV : 0);
        return true;
    case USBDEVFS_SUBMITURB:
        return Submit(client);
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        return Reap(client);
    case USBDEVFS_DISCARDURB:
        return Discard(client);
    default:
        std::fprintf(stderr, "emulated instrument: unexpected ioctl 0x%lx\n", request);
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return true;
    }
}

// Caller holds the mutex.
bool EmulatedInstrument::Submit(UMockdevIoctlClient *client)
{
    if (gone) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return true;
    }
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData *urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    auto *urb = reinterpret_cast<usbdevfs_urb *>(urbData->data);
    UMockdevIoctlData *buffer = umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer),
                                                            static_cast<gsize>(urb->buffer_length), nullptr);
    const bool in = (urb->endpoint & 0x80) != 0;
    if (urb->type != USBDEVFS_URB_TYPE_BULK || (urb->endpoint != kInEndpoint && urb->endpoint != kOutEndpoint)) {
        g_object_unref(buffer);
        g_object_unref(urbData);
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return true;
    }
    // The client's address of the urb is what DISCARD names.
    Urb entry{.urb = urbData, .buffer = buffer, .address = urbData->client_addr, .in = in};
    if (in) {
        pendingIn.push_back(entry);
    } else {
        Consume(buffer->data, static_cast<size_t>(urb->buffer_length));
        Finish(entry, 0, urb->buffer_length);
        done.push_back(entry);
    }
    // A read may be answered by what is queued already.
    while (!pendingIn.empty() && !replies.empty()) {
        Urb read = pendingIn.front();
        pendingIn.pop_front();
        Complete(read);
    }
    umockdev_ioctl_client_complete(client, 0, 0);
    return true;
}

// Caller holds the mutex. One reply is one transfer: what does not fit the
// read stays for the next.
void EmulatedInstrument::Complete(Urb urb)
{
    std::string &reply = replies.front();
    const size_t room = static_cast<size_t>(reinterpret_cast<usbdevfs_urb *>(urb.urb->data)->buffer_length);
    const size_t count = std::min(room, reply.size());
    std::memcpy(urb.buffer->data, reply.data(), count);
    reply.erase(0, count);
    if (reply.empty())
        replies.pop_front();
    Finish(urb, 0, static_cast<int>(count));
    done.push_back(urb);
}

void EmulatedInstrument::Finish(Urb &urb, int status, int actualLength)
{
    auto *data = reinterpret_cast<usbdevfs_urb *>(urb.urb->data);
    data->status = status;
    data->actual_length = actualLength;
}

// Caller holds the mutex.
void EmulatedInstrument::Consume(const uint8_t *data, size_t length)
{
    received.insert(received.end(), data, data + length);
    for (size_t i = 0; i < length; ++i) {
        const char c = static_cast<char>(data[i]);
        if (c != '\r' && c != '\n') {
            line += c;
            continue;
        }
        auto reply = script.replies.find(line);
        if (!line.empty() && reply != script.replies.end())
            replies.push_back(reply->second);
        line.clear();
    }
}

// Caller holds the mutex.
bool EmulatedInstrument::Reap(UMockdevIoctlClient *client)
{
    if (done.empty()) {
        umockdev_ioctl_client_complete(client, -1, gone ? ENODEV : EAGAIN);
        return true;
    }
    Urb urb = done.front();
    done.pop_front();
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData *pointer = umockdev_ioctl_data_resolve(arg, 0, sizeof(gpointer), nullptr);
    umockdev_ioctl_data_set_ptr(pointer, 0, urb.urb);
    umockdev_ioctl_client_complete(client, 0, 0);
    g_object_unref(pointer);
    g_object_unref(urb.buffer);
    g_object_unref(urb.urb);
    return true;
}

// Caller holds the mutex.
bool EmulatedInstrument::Discard(UMockdevIoctlClient *client)
{
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    unsigned long address = 0;
    std::memcpy(&address, arg->data, sizeof address);
    for (auto it = pendingIn.begin(); it != pendingIn.end(); ++it) {
        if (it->address != address)
            continue;
        Urb urb = *it;
        pendingIn.erase(it);
        Finish(urb, -ENOENT, 0);
        done.push_back(urb);
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    }
    umockdev_ioctl_client_complete(client, -1, EINVAL);
    return true;
}

Testbed::Testbed()
{
    testbed = umockdev_testbed_new();
    // Only meaningful once a testbed exists.
    ready = testbed != nullptr && umockdev_in_mock_environment();
}

Testbed::~Testbed()
{
    for (const auto &instrument : instruments) {
        std::string node = instrument->Devnode();
        umockdev_testbed_detach_ioctl(testbed, node.c_str(), nullptr);
    }
    g_object_unref(testbed);
}

std::shared_ptr<EmulatedInstrument> Testbed::Plug(const InstrumentScript &script)
{
    auto instrument = std::make_shared<EmulatedInstrument>(script);
    const std::string node = instrument->Devnode();
    GError *error = nullptr;
    // The handler first: the node must answer as soon as udev announces it.
    if (!umockdev_testbed_attach_ioctl(testbed, node.c_str(), instrument->handler, &error)) {
        std::fprintf(stderr, "attach_ioctl %s: %s\n", node.c_str(), error != nullptr ? error->message : "?");
        g_clear_error(&error);
        return nullptr;
    }
    char number[8];
    std::snprintf(number, sizeof number, "%03u", script.devnum);
    char ids[64];
    std::snprintf(ids, sizeof ids, "A: idVendor=%04x\\n\nA: idProduct=%04x\\n\n", script.vid, script.pid);
    std::string description = "P: " + instrument->Syspath() + "\n" + "N: bus/usb/001/" + number + "\n" +
                              "E: SUBSYSTEM=usb\nE: DRIVER=usb\nE: DEVTYPE=usb_device\nE: BUSNUM=001\n" +
                              "E: DEVNUM=" + number + "\nE: DEVNAME=" + node + "\n" +
                              (script.inClass ? "E: OSTREL_INTERFACE_GUIDS={56AC4E2C-9D3B-4A6C-BF25-B3BD6E44FC00}\n"
                                              : "") +
                              "A: busnum=1\\n\nA: devnum=" + std::to_string(script.devnum) + "\\n\n" +
                              "A: speed=480\\n\nA: bConfigurationValue=1\\n\n" + ids + "A: serial=" +
                              script.serial + "\\n\n" + "H: descriptors=" + Hex(Descriptors(script)) + "\n";
    if (!umockdev_testbed_add_from_string(testbed, description.c_str(), &error)) {
        std::fprintf(stderr, "add_from_string: %s\n", error != nullptr ? error->message : "?");
        g_clear_error(&error);
        return nullptr;
    }
    // Adding a device to the testbed announces nothing; the kernel would.
    umockdev_testbed_uevent(testbed, ("/sys" + instrument->Syspath()).c_str(), "add");
    instruments.push_back(instrument);
    return instrument;
}

void Testbed::Unplug(const std::shared_ptr<EmulatedInstrument> &instrument)
{
    instrument->Disconnect();
    const std::string syspath = "/sys" + instrument->Syspath();
    umockdev_testbed_uevent(testbed, syspath.c_str(), "remove");
    umockdev_testbed_remove_device(testbed, syspath.c_str());
}

} // namespace ostrel::test
