// Instruments emulated in-process with umockdev, for tests and benchmarks of libostrel.so.
// Each has sysfs and udev entries and a usbdevfs that answers libusb's ioctls
// from a script of commands and replies.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlData UMockdevIoctlData;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;

namespace ostrel::test {

struct InstrumentScript {
    uint16_t vid = 0x1A2B;
    uint16_t pid = 0x2936;
    std::string serial = "SN12345";
    unsigned devnum = 2; // the address on bus 1; a re-plugged instrument gets a new one
    unsigned port = 1;   // where on bus 1 it is plugged (its sysfs name)
    uint16_t maxPacket = 64;
    bool inClass = true; // the udev property that makes it an instrument
    // Each command line (without its line end) and the bytes it answers.
    std::map<std::string, std::string> replies;
};

// The IDN reply of an instrument with this model and serial.
std::string IdnReply(const std::string &model, const std::string &serial);

class EmulatedInstrument {
public:
    explicit EmulatedInstrument(InstrumentScript script);
    ~EmulatedInstrument();
    EmulatedInstrument(const EmulatedInstrument &) = delete;
    EmulatedInstrument &operator=(const EmulatedInstrument &) = delete;

    const InstrumentScript script;
    std::string Devnode() const;
    std::string Syspath() const; // relative to the testbed's /sys
    // The interface path libostrel.so gives it, lower-cased as the core stores it.
    std::string InterfacePath() const;

    // Every byte the host wrote to the OUT endpoint so far.
    std::vector<uint8_t> Received();
    // From now on every I/O fails as on a device that is gone.
    void Disconnect();
    // True once exactly `count` files of this process are open on the device
    // node (waits at most `limit`).
    bool WaitForOpenFiles(int count, std::chrono::milliseconds limit);

    // The ioctl handler (runs on umockdev's thread).
    bool HandleIoctl(UMockdevIoctlClient *client);

    UMockdevIoctlBase *handler = nullptr;

private:
    struct Urb {
        UMockdevIoctlData *urb;    // the client's struct usbdevfs_urb
        UMockdevIoctlData *buffer; // its data buffer
        unsigned long address;     // the client's address of the urb
        bool in;
    };
    bool Submit(UMockdevIoctlClient *client);
    bool Reap(UMockdevIoctlClient *client);
    bool Discard(UMockdevIoctlClient *client);
    void Consume(const uint8_t *data, size_t length);
    void Finish(Urb &urb, int status, int actualLength);
    void Complete(Urb urb);

    std::mutex mutex;
    bool gone = false;
    std::string line;            // the command being received
    std::vector<uint8_t> received;
    std::deque<std::string> replies; // answers not yet read, one transfer each
    std::deque<Urb> pendingIn;   // reads waiting for a reply
    std::deque<Urb> done;        // ready to be reaped
};

// The testbed of one test process. Tests must run under umockdev-wrapper.
class Testbed {
public:
    Testbed();
    ~Testbed();
    bool Ready() const { return ready; }

    std::shared_ptr<EmulatedInstrument> Plug(const InstrumentScript &script);
    // Removal as the kernel reports it: the event, then the device disappears.
    void Unplug(const std::shared_ptr<EmulatedInstrument> &instrument);

private:
    UMockdevTestbed *testbed = nullptr;
    bool ready = false;
    std::vector<std::shared_ptr<EmulatedInstrument>> instruments; // kept until the end: libusb may still hold fds
};

} // namespace ostrel::test
