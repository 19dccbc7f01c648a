// The caller's device-event function: one for the process, set by
// vorn_usb_event_init and kept across shutdowns; every scan reports the
// instruments it adds to and removes from the device table through it.
#pragma once

#include "ostrel.h"

namespace ostrel::events {

void SetCallback(DeviceEventCallback callback);

// Calls the caller's function, when one is set, on this thread.
void Notify(int deviceID, int attached);

} // namespace ostrel::events
