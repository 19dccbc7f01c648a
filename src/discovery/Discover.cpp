// The face of discovery: lookups with their trace lines, scans, event mode
// and Shutdown, delegated to the session, Scan and the Watcher.
#include "discovery/Discover.h"

#include "diagnostics/Logger.h"
#include "discovery/EventCallback.h"
#include "discovery/Scan.h"
#include "discovery/Session.h"
#include "discovery/Watcher.h"

#include <cstring>

Discover::Discover(WinUSBWrap &winUsb, const LogSwitches &switches)
    : winUsb(winUsb), log(Logger::GetInstance(), switches, LogLines::DataSwitch::LoggingOrTrace),
      session(std::make_shared<Session>(winUsb))
{
}

Discover::~Discover()
{
    Guarded(log, "~Discover", [&] { Shutdown(); });
}

std::shared_ptr<Session> Discover::CurrentSession()
{
    std::lock_guard<std::mutex> lock(stateMutex);
    return session;
}

DWORD Discover::GetDeviceCount()
{
    return Guarded(log, "GetDeviceCount", DWORD{0},
                   [&] { return static_cast<DWORD>(CurrentSession()->table.Count()); });
}

std::vector<std::string> Discover::GetDeviceKeys()
{
    return Guarded(log, "GetDeviceKeys", std::vector<std::string>(), [&] {
        TraceScope trace(log, "GetDeviceKeys");
        return CurrentSession()->table.Keys();
    });
}

std::vector<std::pair<std::string, int>> Discover::GetDeviceKeysAndIDs()
{
    return Guarded(log, "GetDeviceKeysAndIDs", std::vector<std::pair<std::string, int>>(), [&] {
        TraceScope trace(log, "GetDeviceKeysAndIDs");
        return CurrentSession()->table.KeysAndIDs();
    });
}

std::string Discover::GetDeviceKeyFromDeviceID(int deviceID)
{
    return Guarded(log, "GetDeviceKeyFromDeviceID", std::string(), [&] {
        TraceScope trace(log, "GetDeviceKeyFromDeviceID");
        return CurrentSession()->table.KeyOf(deviceID);
    });
}

void Discover::GetDeviceInfo(char *buffer)
{
    Guarded(log, "GetDeviceInfo", [&] {
        TraceScope trace(log, "GetDeviceInfo");
        const std::string info = CurrentSession()->table.Info();
        if (!info.empty())
            std::memcpy(buffer, info.c_str(), info.size() + 1);
    });
}

bool Discover::HasDuplicateDeviceID()
{
    return Guarded(log, "HasDuplicateDeviceID", false, [&] {
        TraceScope trace(log, "HasDuplicateDeviceID");
        return CurrentSession()->table.HasDuplicateID();
    });
}

EntryRef Discover::GetDeviceTableEntry(const std::string &key)
{
    return Guarded(log, "GetDeviceTableEntry", EntryRef(), [&] {
        TraceScope trace(log, "GetDeviceTableEntry");
        return CurrentSession()->table.Find(key);
    });
}

EntryRef Discover::GetDeviceTableEntry(int deviceID)
{
    return Guarded(log, "GetDeviceTableEntry", EntryRef(), [&] {
        TraceScope trace(log, "GetDeviceTableEntry");
        return CurrentSession()->table.Find(deviceID);
    });
}

void Discover::SetProductID(unsigned productID)
{
    CurrentSession()->productID = productID;
}

void Discover::SetUseUSBAddress(bool useUSBAddress)
{
    CurrentSession()->useUSBAddress = useUSBAddress;
}

void Discover::DeviceDiscovery()
{
    RunScan(*CurrentSession(), nullptr);
}

// The scan's arrivals and removals are reported once it has let go of the
// gate, so that a callback may wait for any thread, and any thread may call
// in while a callback waits.
void Discover::RunScan(Session &scanned, const std::atomic<bool> *keepGoing)
{
    Scan(scanned, winUsb, log, keepGoing).DeviceDiscovery();
    scanned.DeliverEvents(log);
}

void Discover::SetEventCallback(DeviceEventCallback callback)
{
    ostrel::events::SetCallback(callback);
}

void Discover::CreateDiscoveryThread()
{
    Guarded(log, "CreateDiscoveryThread", [&] {
        TraceScope trace(log, "CreateDiscoveryThread");
        const std::shared_ptr<Session> current = CurrentSession();
        RunScan(*current, nullptr);
        // Nothing may fall between this scan and the watcher's first
        // notification: once it listens, one more scan reports what was
        // plugged or unplugged while it was setting up.
        const std::shared_ptr<Watcher> started = StartWatcher(current);
        if (started && started->WaitUntilListening()) {
            Scan(*current, winUsb, log).CatchUp();
            current->DeliverEvents(log);
        }
    });
}

// A new watcher for the session, unless one is running (there is one window
// class and one watcher) or the session has been retired meanwhile - by an
// uninit on another thread during the first scan, after which a watcher would
// serve nobody and stop every later start; the new one, or null.
std::shared_ptr<Watcher> Discover::StartWatcher(const std::shared_ptr<Session> &scanned)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    if (scanned != session || (watcher && !watcher->Ended()))
        return nullptr;
    watcher = Watcher::Start([this, scanned](const std::atomic<bool> &running) { RunScan(*scanned, &running); }, log);
    if (!watcher)
        log.Error("CreateDiscoveryThread:  Could not create thread.");
    return watcher;
}

// Returns without waiting for the watcher, which may be held up in the
// application's callback (one that waits for the very thread calling this,
// say). The session it scans for is closed first: no callback starts after
// this returns, and once the one under way returns, the watcher touches
// nothing and ends. A scan under way is waited for, but it only ever does the
// library's own work, whose transfers Close aborts. Whichever of the watcher's
// thread and this object lets go of its state last closes its thread handle
// and stop event.
void Discover::Shutdown()
{
    Guarded(log, "Shutdown", [&] {
        TraceScope trace(log, "Shutdown");
        std::shared_ptr<Session> retired;
        std::shared_ptr<Watcher> stopping;
        {
            std::lock_guard<std::mutex> lock(stateMutex);
            stopping = std::move(watcher);
            retired = std::exchange(session, std::make_shared<Session>(winUsb));
        }
        if (stopping) {
            stopping->Stop();
            // A scan of the watcher's waiting for the gate gives up now.
            retired->gate.Interrupt();
            stopping->Wake();
        }
        retired->Close(log);
    });
}
