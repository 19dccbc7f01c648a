// Instruments emulated in-process with umockdev, for tests and benchmarks of libostrel.so.
// Each has sysfs and udev entries and a usbdevfs that answers libusb's ioctls
// from a script of commands and replies.
#pragma once

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

std::string IdnReply(const std::string &model, const std::string &serial);

class EmulatedInstrument {
public:
    explicit EmulatedInstrument(InstrumentScript script);
    ~EmulatedInstrument();

    const InstrumentScript script;

    // Every byte the host wrote to the OUT endpoint so far.
    std::string Received()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return received;
    }
    // From now on every I/O fails as on a device that is gone.
    void Disconnect();
    // How many files this process has open on the device node.
    int OpenFiles() const;

    // Runs on umockdev's thread.
    bool HandleIoctl(UMockdevIoctlClient *client);

    UMockdevIoctlBase *handler = nullptr;

private:
    struct Urb {
        UMockdevIoctlData *urb;    // the client's struct usbdevfs_urb
        UMockdevIoctlData *buffer; // its data buffer
        unsigned long address;     // the client's address of the urb, which DISCARD names
    };
    // All with the mutex held.
    bool Submit(UMockdevIoctlClient *client);
    bool Reap(UMockdevIoctlClient *client);
    bool Discard(UMockdevIoctlClient *client);
    void Finish(Urb urb, int status, int actualLength);

    std::mutex mutex;
    bool gone = false;
    std::string line; // the command being received
    std::string received;
    std::deque<std::string> replies; // answers not yet read, one transfer each
    std::deque<Urb> pendingIn;       // reads waiting for a reply
    std::deque<Urb> done;            // ready to be reaped
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
