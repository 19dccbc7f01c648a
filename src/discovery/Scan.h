// One scan of the USB devices: the interface paths present now against those
// of the last scan, every new one opened and identified ("*IDN?", "ADDR?") and
// entered in the device table, and the changes reported.
#pragma once

#include "discovery/ChangeDetection.h"
#include "discovery/DeviceTableEntry.h"
#include "discovery/ReplyStream.h"

#include <atomic>
#include <string>

class LogLines;
class WinUSBWrap;
class Session;

class Scan {
public:
    // A scan with `keepGoing` (a watcher's) gives up as soon as it reads false,
    // also while it waits for another thread's scan to end.
    Scan(Session &session, WinUSBWrap &winUsb, const LogLines &log, const std::atomic<bool> *keepGoing = nullptr)
        : session(session), winUsb(winUsb), log(log), keepGoing(keepGoing)
    {
    }

    // The whole scan, one at a time per session. Its arrivals and removals are
    // posted to the session, to be delivered once the gate is free
    // (Session::DeliverEvents).
    void DeviceDiscovery();
    // A scan only when the interface paths present differ from the last
    // scan's: otherwise it writes nothing and calls nobody.
    void CatchUp();

private:
    bool Stopped() const;
    PathChanges FindPathChanges();
    void LogDevicePaths(const char *label, const std::vector<std::string> &paths);
    void ExamineNewPath(const std::string &path);
    bool IdentifyDevice(DeviceTableEntry &working, std::string &key);
    bool SetPipeTimeouts(DeviceTableEntry &entry);
    bool IdentifyInOrder(DeviceTableEntry &entry, std::string &key);
    bool Confirmed(DeviceTableEntry &entry);
    bool Resynchronise(DeviceTableEntry &entry);
    bool Ask(DeviceTableEntry &entry, ReplyStream::Question question);
    bool Listen(DeviceTableEntry &entry, std::string &reply);
    bool GenerateDeviceID(DeviceTableEntry &entry);
    bool GenerateDeviceKey(DeviceTableEntry &entry, std::string &key);
    bool Query(DeviceTableEntry &entry, std::string command, char (&reply)[64]);
    void Record(const DeviceTableEntry &entry);

    Session &session;
    WinUSBWrap &winUsb;
    const LogLines &log;
    const std::atomic<bool> *keepGoing;
    // What the identification under way has asked and heard.
    ReplyStream stream;
};
