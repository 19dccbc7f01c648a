// The caller's device-event function.
#include "discovery/EventCallback.h"

#include <atomic>

namespace ostrel::events {
namespace {
std::atomic<DeviceEventCallback> callback{nullptr};
} // namespace

void SetCallback(DeviceEventCallback function)
{
    callback = function;
}

void Notify(int deviceID, int attached)
{
    if (DeviceEventCallback function = callback.load())
        function(deviceID, attached);
}

} // namespace ostrel::events
