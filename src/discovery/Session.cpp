// Closing a session without waiting on the application.
#include "discovery/Session.h"

#include "diagnostics/LogLines.h"
#include "discovery/EventCallback.h"
#include "transport/WinUSBWrap.h"

bool Session::Notify(int deviceID, int attached)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (closed)
            return false;
        gate.BeginCallback();
    }
    struct End {
        ScanGate &gate;
        ~End() { gate.EndCallback(); }
    } end{gate};
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
    }
    auto closeTable = [&] { table.CloseAll([&] { log.Error("Shutdown Loop: Exception."); }); };
    for (;;) {
        switch (gate.EnterUnlessInCallback(std::chrono::milliseconds(20))) {
        case ScanGate::Wait::Held:
            closeTable();
            knownPaths.clear();
            gate.Leave();
            return;
        case ScanGate::Wait::HolderInCallback:
            // Its scan stops when the callback returns, touching nothing.
            closeTable();
            return;
        case ScanGate::Wait::TimedOut:
            // A scan identifying an instrument: its transfers end now, also
            // one on a pipe without a time-out.
            AbortIdentification();
            break;
        }
    }
}
