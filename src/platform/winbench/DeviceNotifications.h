// Device-interface arrival and removal messages for the library's watcher window.
#pragma once

#include <string>

namespace ostrel::winbench {

// Sends WM_DEVICECHANGE (DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE) with a
// DEV_BROADCAST_DEVICEINTERFACE_A naming `path` to every watcher window of
// this process, one after another from a thread of its own (see the .cpp).
// No call of user32 tells which windows called RegisterDeviceNotificationA,
// so the windows are found by the class name of the library's watcher.
void SendDeviceChange(const std::string &path, bool arrived);

} // namespace ostrel::winbench
