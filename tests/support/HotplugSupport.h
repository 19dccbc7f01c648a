// For the suites where instruments come and go while the library runs:
// bounded waits, a recorder for the device-event callback, a query.
#pragma once

#include "ostrel.h"

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ostrel::test {

// Generous enough for a loaded machine under ThreadSanitizer; a wait that
// runs out is a failure, never a hang.
constexpr std::chrono::seconds kPatience{20};

// Polls `done` until it holds or `limit` has passed; true if it held.
template <class Predicate>
bool WaitUntil(Predicate done, std::chrono::milliseconds limit = kPatience)
{
    for (const auto deadline = std::chrono::steady_clock::now() + limit; !done();
         std::this_thread::sleep_for(std::chrono::milliseconds(2)))
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
    return true;
}

// One call of the device-event callback, with the key the device table gave
// the ID during the call.
struct DeviceEvent {
    int deviceID, attached;
    std::string key;
    std::thread::id thread;
};
inline std::mutex recordedMutex;
inline std::vector<DeviceEvent> recorded;

// A device-event callback that records every call.
inline void OSTREL_CALL RecordEvent(int deviceID, int attached)
{
    char key[64] = "";
    vorn_usb_GetDeviceKeyFromDeviceID(deviceID, key);
    std::lock_guard<std::mutex> lock(recordedMutex);
    recorded.push_back({deviceID, attached, key, std::this_thread::get_id()});
}

// The calls recorded so far; with `clear`, they are forgotten.
inline std::vector<DeviceEvent> Recorded(bool clear = false)
{
    std::lock_guard<std::mutex> lock(recordedMutex);
    std::vector<DeviceEvent> events = recorded;
    if (clear)
        recorded.clear();
    return events;
}

// Waits until RecordEvent has been told (deviceID, attached).
inline bool WaitForEvent(int deviceID, int attached)
{
    return WaitUntil([&] {
        for (const DeviceEvent &event : Recorded())
            if (event.deviceID == deviceID && event.attached == attached)
                return true;
        return false;
    });
}

// One ASCII query by device ID: the reply text, or "<failed>".
inline std::string Ask(int deviceID, std::string command)
{
    char reply[64];
    unsigned length = 0;
    if (vorn_usb_send_ascii(deviceID, command.data(), 0) != 0 ||
        vorn_usb_get_ascii_by_DeviceID(deviceID, reply, sizeof reply, &length) != 0)
        return "<failed>";
    return std::string(reply, length);
}

} // namespace ostrel::test
