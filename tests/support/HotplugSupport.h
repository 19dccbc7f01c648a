// Helpers for the event-mode and stress suites: bench instruments, a recorder
// for the device-event callback and bounded waits.
#pragma once

#include "ostrel.h"

#include <chrono>
#include <condition_variable>
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
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A bench instrument whose key is "2936-R <serial>" and which answers
// "MEAS?" with its serial. `fields` and `replies` are spliced into the object
// and its replies as given.
inline std::string InstrumentJson(const std::string &serial, unsigned pid = 0x2936, const std::string &fields = "",
                                  const std::string &replies = "")
{
    return "{\"vid\": 6699, \"pid\": " + std::to_string(pid) + ", \"serial\": \"" + serial +
           "\", \"replies\": {\"*IDN?\": \"VORN 2936-R 1.0.3 01/02/24 " + serial + "\\r\\n\", \"MEAS?\": \"" +
           serial + "\\r\\n\"" + (replies.empty() ? "" : ", " + replies) + "}" + (fields.empty() ? "" : ", " + fields) +
           "}";
}

inline std::string KeyOf(const std::string &serial)
{
    return "2936-R " + serial;
}

// Sends "MEAS?" to the instrument with this ID and reads its reply: the
// reply's text, or what failed.
inline std::string Measure(int deviceID)
{
    char command[] = "MEAS?";
    if (vorn_usb_send_ascii(deviceID, command, 0) != 0)
        return "<write failed>";
    char reply[64] = {};
    unsigned got = 0;
    if (vorn_usb_get_ascii_by_DeviceID(deviceID, reply, sizeof reply, &got) != 0)
        return "<read failed>";
    return std::string(reply, got);
}

// One call of the device-event callback.
struct DeviceEvent {
    int deviceID;
    int attached;
    std::thread::id thread;
};

// Everything the recording callback has been told, in order.
class EventRecorder {
public:
    void Add(int deviceID, int attached)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            events.push_back({deviceID, attached, std::this_thread::get_id()});
        }
        changed.notify_all();
    }
    std::vector<DeviceEvent> Events()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(mutex);
        events.clear();
    }
    size_t Count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return events.size();
    }
    // Waits until some event matches (deviceID, attached).
    bool WaitFor(int deviceID, int attached, std::chrono::milliseconds limit = kPatience)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, limit, [&] {
            for (const DeviceEvent &event : events)
                if (event.deviceID == deviceID && event.attached == attached)
                    return true;
            return false;
        });
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<DeviceEvent> events;
};

inline EventRecorder &Recorded()
{
    static EventRecorder recorder;
    return recorder;
}

inline void OSTREL_CALL RecordEvent(int deviceID, int attached)
{
    Recorded().Add(deviceID, attached);
}

} // namespace ostrel::test
