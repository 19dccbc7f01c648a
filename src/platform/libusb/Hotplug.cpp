// Arrivals and removals of instruments, and the interface listing that agrees with them.
// A udev monitor thread calls the bus's hot-plug listener.
#include "platform/ExceptionBoundary.h"
#include "platform/libusb/Hotplug.h"

#include "platform/libusb/BenchVariable.h"
#include "platform/libusb/Instruments.h"
#include "platform/libusb/UsbDevice.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <libudev.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <set>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace ostrel::usb {
namespace {

struct Announced {
    std::string path;
    std::string devnode;
};

struct Monitor {
    std::mutex control; // serialises starting and stopping the thread
    std::thread thread;
    int wakeFd = -1;
    std::atomic<bus::HotplugListener> listener{nullptr};

    std::mutex mutex; // guards the two below
    std::set<std::string> gone;                 // device nodes removed and not added again
    std::map<std::string, Announced> announced; // instruments present, by syspath
};

// Never destroyed: the thread may still be waiting in poll() while the
// process exits, and this is all it touches besides what it owns.
Monitor &State()
{
    static Monitor *monitor = new Monitor;
    return *monitor;
}

bool Is(const char *action, const char *name)
{
    return action != nullptr && std::strcmp(action, name) == 0;
}

// Decides what an event means for the instruments; false if nothing to tell.
bool Interpret(udev_device *device, std::string &path, std::string &devnode, bool &arrived)
{
    const char *action = udev_device_get_action(device);
    const char *syspath = udev_device_get_syspath(device);
    if (syspath == nullptr)
        return false;
    Instrument instrument;
    const bool isInstrument = DescribeInstrument(device, instrument);
    Monitor &monitor = State();
    std::lock_guard<std::mutex> lock(monitor.mutex);
    auto known = monitor.announced.find(syspath);
    // A "change" that drops the class (rules edited, then re-triggered) ends
    // the instrument as a removal would.
    if (Is(action, "remove") || (Is(action, "change") && !isInstrument && known != monitor.announced.end())) {
        if (known != monitor.announced.end()) {
            path = known->second.path;
            devnode = known->second.devnode;
            monitor.announced.erase(known);
        } else if (isInstrument) {
            path = instrument.path;
            devnode = instrument.devnode;
        } else {
            return false;
        }
        monitor.gone.insert(devnode);
        arrived = false;
        return true;
    }
    if (!isInstrument || !(Is(action, "add") || Is(action, "change") || Is(action, "bind")))
        return false;
    monitor.gone.erase(instrument.devnode);
    if (known != monitor.announced.end() && known->second.path == instrument.path)
        return false;
    path = instrument.path;
    devnode = instrument.devnode;
    monitor.announced[syspath] = Announced{.path = path, .devnode = devnode};
    arrived = true;
    return true;
}

void Dispatch(udev_device *device)
{
    std::string path, devnode;
    bool arrived = false;
    bool interpreted = false;
    // Out of memory, the change is lost as a missed notification would be.
    CatchAll(
        [&] {
            interpreted = Interpret(device, path, devnode, arrived);
            // Transfers on the gone device must fail before the core hears of it.
            if (interpreted && !arrived)
                MarkRemoved(devnode);
        },
        [] {});
    if (!interpreted)
        return;
    if (bus::HotplugListener listener = State().listener.load())
        listener(kInstrumentInterfaceClass, path, arrived);
}

// Blocks in poll() on the monitor and the wake-up fd; owns `context` and
// `udevMonitor` and frees them when told to stop.
void Watch(udev *context, udev_monitor *udevMonitor, int wakeFd)
{
    pollfd fds[2] = {{.fd = udev_monitor_get_fd(udevMonitor), .events = POLLIN, .revents = 0},
                     {.fd = wakeFd, .events = POLLIN, .revents = 0}};
    for (;;) {
        int ready = poll(fds, 2, -1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0 || fds[1].revents != 0 || (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
            break;
        if ((fds[0].revents & POLLIN) == 0)
            continue;
        if (udev_device *device = udev_monitor_receive_device(udevMonitor)) {
            Dispatch(device);
            udev_device_unref(device);
        }
    }
    udev_monitor_unref(udevMonitor);
    udev_unref(context);
}

void Seed(udev *context)
{
    std::vector<Instrument> present = PresentInstruments(context);
    Monitor &monitor = State();
    std::lock_guard<std::mutex> lock(monitor.mutex);
    monitor.announced.clear();
    for (Instrument &instrument : present)
        monitor.announced[instrument.syspath] = Announced{.path = instrument.path, .devnode = instrument.devnode};
}

// Caller holds monitor.control.
void Start(Monitor &monitor)
{
    udev *context = udev_new();
    udev_monitor *udevMonitor = context != nullptr ? udev_monitor_new_from_netlink(context, "udev") : nullptr;
    int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (udevMonitor == nullptr || wakeFd < 0 ||
        udev_monitor_filter_add_match_subsystem_devtype(udevMonitor, "usb", "usb_device") < 0 ||
        udev_monitor_enable_receiving(udevMonitor) < 0) {
        if (wakeFd >= 0)
            close(wakeFd);
        udev_monitor_unref(udevMonitor);
        udev_unref(context);
        return;
    }
    CatchAll(
        [&] {
            // Listed after the monitor listens, so that nothing falls in between.
            Seed(context);
            monitor.thread = std::thread(Watch, context, udevMonitor, wakeFd);
            monitor.wakeFd = wakeFd;
        },
        [&] {
            close(wakeFd);
            udev_monitor_unref(udevMonitor);
            udev_unref(context);
        });
}

// Caller holds monitor.control.
void Stop(Monitor &monitor)
{
    if (!monitor.thread.joinable())
        return;
    const uint64_t one = 1;
    ssize_t written = write(monitor.wakeFd, &one, sizeof one);
    (void)written; // a full eventfd has woken the thread already
    // A listener that unsets itself from inside its call cannot wait for itself.
    // Its wake-up fd then stays open: the thread still polls it on its way out.
    if (monitor.thread.get_id() == std::this_thread::get_id()) {
        monitor.thread.detach();
    } else {
        monitor.thread.join();
        close(monitor.wakeFd);
    }
    monitor.wakeFd = -1;
}

} // namespace

bool SeenRemoved(const std::string &devnode)
{
    Monitor &monitor = State();
    std::lock_guard<std::mutex> lock(monitor.mutex);
    return monitor.gone.count(devnode) != 0;
}

// Also forgets removals of nodes udev no longer lists: their number may come
// back with another device, announced or not.
void ListUnremoved(const std::vector<Instrument> &present, std::vector<std::string> &paths)
{
    Monitor &monitor = State();
    std::lock_guard<std::mutex> lock(monitor.mutex);
    std::set<std::string> listed;
    for (const Instrument &instrument : present) {
        listed.insert(instrument.devnode);
        if (monitor.gone.count(instrument.devnode) == 0)
            paths.push_back(instrument.path);
    }
    for (auto it = monitor.gone.begin(); it != monitor.gone.end();)
        it = listed.count(*it) != 0 ? std::next(it) : monitor.gone.erase(it);
}

} // namespace ostrel::usb

namespace ostrel::bus {

DWORD ListInterfaces(const GUID &interfaceClass, bool presentOnly, std::vector<std::string> &paths)
{
    paths.clear();
    usb::SayBenchVariableUnused();
    if (std::memcmp(&interfaceClass, &usb::kInstrumentInterfaceClass, sizeof(GUID)) != 0)
        return presentOnly ? ERROR_NO_MORE_ITEMS : ERROR_NOT_FOUND;
    udev *context = udev_new();
    if (context == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    std::vector<usb::Instrument> present = usb::PresentInstruments(context);
    udev_unref(context);
    usb::ListUnremoved(present, paths);
    if (presentOnly)
        return paths.empty() ? ERROR_NO_MORE_ITEMS : ERROR_SUCCESS;
    // The class is known once a rules file gives it to devices, or a device
    // has it anyway; without either, no instrument can ever show up.
    return !paths.empty() || usb::RulesSetClass(usb::RulesDirectories()) ? ERROR_SUCCESS : ERROR_NOT_FOUND;
}

void SetHotplugListener(HotplugListener listener)
{
    usb::Monitor &monitor = usb::State();
    std::lock_guard<std::mutex> lock(monitor.control);
    monitor.listener.store(listener);
    if (listener != nullptr && !monitor.thread.joinable())
        usb::Start(monitor);
    else if (listener == nullptr)
        usb::Stop(monitor);
}

} // namespace ostrel::bus
