// Reporting a session's events outside every lock, and closing it without
// waiting on the application.
#include "discovery/Session.h"

#include "diagnostics/LogLines.h"
#include "discovery/EventCallback.h"
#include "transport/WinUSBWrap.h"

void Session::Post(std::vector<DeviceEvent> events)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (closed)
        return;
    for (DeviceEvent &event : events)
        queued.push_back(std::move(event));
}

void Session::DeliverEvents(const LogLines &log)
{
    for (;;) {
        DeviceEvent event;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (delivering || queued.empty())
                return;
            delivering = true;
            event = std::move(queued.front());
            queued.pop_front();
        }
        struct Done {
            Session &session;
            ~Done()
            {
                std::lock_guard<std::mutex> lock(session.mutex);
                session.delivering = false;
            }
        } done{*this};
        DeliverDeviceEvent(event, *this, log);
    }
}

bool Session::Notify(int deviceID, int attached)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (closed)
            return false;
    }
    ostrel::events::Notify(deviceID, attached);
    return !closed;
}

bool Session::Identifying(const DeviceTableEntry *entry)
{
    std::lock_guard<std::mutex> lock(mutex);
    identifying = entry != nullptr;
    if (identifying)
        working = *entry;
    return !closed;
}

void Session::AbortIdentification()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (identifying)
        winUsb.AbortPipes(working.winUsbHandle, working.bulkInPipeID, working.bulkOutPipeID);
}

void Session::Close(const LogLines &log)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        closed = true;
        queued.clear();
    }
    // A scan of this session holds its gate only for the library's own work;
    // one identifying an instrument has its transfers aborted, also one on a
    // pipe without a time-out, until it lets go.
    while (!gate.EnterWithin(std::chrono::milliseconds(20)))
        AbortIdentification();
    table.CloseAll([&] { log.Error("Shutdown Loop: Exception."); });
    knownPaths.clear();
    gate.Leave();
}
