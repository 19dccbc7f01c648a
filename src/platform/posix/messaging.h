// Hot-plug delivery of the POSIX messaging layer, as the bus listener it installs.
#pragma once

#include "platform/posix/winapi_posix.h"

#include <string>

namespace ostrel::posix {

// Queues a device-change notification of `path` for every window registered
// (RegisterDeviceNotificationA) for `interfaceClass`, to be delivered inside
// its thread's PeekMessageA, and wakes that thread's MsgWaitForMultipleObjects.
// Never blocks; any thread may call it, also from inside a window procedure.
// It is the listener given to bus::SetHotplugListener.
void DeliverDeviceChange(const GUID &interfaceClass, const std::string &path, bool arrived);

} // namespace ostrel::posix
