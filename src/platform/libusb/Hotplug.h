// The udev monitor behind the bus's hot-plug listener.
#pragma once

#include "platform/libusb/Instruments.h"

#include <string>
#include <vector>

namespace ostrel::usb {

// True when the monitor has seen this device node removed and not added
// again. udev may still list a device for a moment after its removal event;
// the core must not find it then.
bool SeenRemoved(const std::string &devnode);

// Appends the paths of the instruments in `present` that are not SeenRemoved.
void ListUnremoved(const std::vector<Instrument> &present, std::vector<std::string> &paths);

} // namespace ostrel::usb
