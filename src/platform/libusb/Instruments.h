// Which USB devices udev marks as instruments, and the interface path each one gets.
#pragma once

#include "platform/posix/winapi_posix.h"

#include <cstdint>
#include <string>
#include <vector>

struct udev;
struct udev_device;

namespace ostrel::usb {

// The device interface class of the instruments, and how udev tells it: the
// device property below lists the class GUIDs of the device (set by a rules
// file such as packaging/linux/70-ostrel.rules).
extern const GUID kInstrumentInterfaceClass;
extern const char kClassProperty[];  // "OSTREL_INTERFACE_GUIDS"
extern const char kClassGuidText[];  // "{56AC4E2C-9D3B-4A6C-BF25-B3BD6E44FC00}"

struct Instrument {
    std::string syspath;
    std::string devnode; // /dev/bus/usb/BBB/DDD
    unsigned busnum = 0;
    unsigned devnum = 0;
    uint16_t vid = 0;
    uint16_t pid = 0;
    std::string serial;
    std::string path; // the interface path the core sees
};

// True if a property value (a list of GUIDs in any separator and case) names
// the instruments' class.
bool NamesInstrumentClass(const char *guids);

// The interface path of an instrument: its device node first (the bus number
// and address make a re-plugged instrument a new path), then VID, PID and
// serial, then the class, in the shape of a Windows interface path.
std::string InterfacePath(const Instrument &instrument);

// Fills `instrument` from a udev usb_device; false for anything else and for
// a device not in the instruments' class.
bool DescribeInstrument(udev_device *device, Instrument &instrument);

// The instruments udev lists now, in enumeration order.
std::vector<Instrument> PresentInstruments(udev *context);

// Whether a rules file that udev would read from `directories` (in their
// order of precedence: a file name found earlier hides the same name later)
// sets the class property to the instruments' GUID on a line that is not a
// comment.
bool RulesSetClass(const std::vector<std::string> &directories);

// The directories udev reads rules from, first wins.
const std::vector<std::string> &RulesDirectories();

// ASCII case-insensitive equality, as Windows compares interface paths.
bool SamePath(const std::string &a, const std::string &b);

} // namespace ostrel::usb
