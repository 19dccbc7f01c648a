// Device-interface arrival and removal messages for the library's watcher window.
#pragma once

#include <string>

namespace ostrel::shim {

// Sends WM_DEVICECHANGE (DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE) with a
// DEV_BROADCAST_DEVICEINTERFACE_A naming `path` to every watcher window of
// this process, and returns once each has handled it (or a time limit has
// passed). Wine's user32 cannot tell us which windows called
// RegisterDeviceNotificationA, so the windows are found by the library's
// window class name instead.
void SendDeviceChange(const std::string &path, bool arrived);

} // namespace ostrel::shim
