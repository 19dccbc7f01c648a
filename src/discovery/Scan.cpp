// The scan: find the interface paths that are new since the last scan, open
// and identify each one, and enter the instruments in the device table.
#include "discovery/Scan.h"

#include "diagnostics/LogLines.h"
#include "discovery/Session.h"
#include "recording/Recorder.h"
#include "transport/WinUSBWrap.h"

bool Scan::Stopped() const
{
    return session.Closed() || (keepGoing != nullptr && !*keepGoing);
}

void Scan::DeviceDiscovery()
{
    ScanGate::Hold hold(session.gate, keepGoing);
    if (!hold || session.Closed())
        return;
    Guarded(log, "DeviceDiscovery", [&] {
        log.Enter("DeviceDiscovery");
        const PathChanges changes = FindPathChanges();
        for (const std::string &path : changes.added) {
            // A watcher that is being stopped, or a session that Shutdown has
            // closed, leaves the rest alone.
            if (Stopped())
                return;
            ExamineNewPath(path);
        }
        session.Post(CheckDeviceDiscoveryChanges(changes, session, log));
        log.Exit("DeviceDiscovery");
    });
}

// The last scan's paths become the previous ones, the present ones the current.
PathChanges Scan::FindPathChanges()
{
    PathChanges changes;
    HDEVINFO deviceInfoSet = winUsb.GetDevInfoSet();
    CopyDevicePaths(changes.previous, session.knownPaths, log);
    LogDevicePaths("Previous = ", changes.previous);
    winUsb.GetDevicePaths(deviceInfoSet, changes.current);
    session.knownPaths = changes.current;
    LogDevicePaths("Current = ", changes.current);
    changes.added = CreateNewlyDiscoveredList(changes.previous, changes.current, log);
    return changes;
}

void Scan::CatchUp()
{
    ScanGate::Hold hold(session.gate, keepGoing);
    if (!hold || Stopped() || winUsb.PresentPathsQuietly() == session.knownPaths)
        return;
    DeviceDiscovery();
}

void Scan::LogDevicePaths(const char *label, const std::vector<std::string> &paths)
{
    for (const std::string &path : paths)
        log.TraceFormat("%s%s", label, path.c_str());
}

// Opens one new path and enters its instrument in the table; anything refused
// is closed again, so only table entries hold handles.
void Scan::ExamineNewPath(const std::string &path)
{
    DeviceTableEntry working{};
    bool handlesOpen = false;
    stream.Clear();
    GuardedLine(log, "DeviceDiscovery Loop: Exception.", [&] {
        log.Data("Device Path = %s", path.c_str());
        if (!winUsb.CreateDeviceHandles(path, working.deviceHandle, working.winUsbHandle))
            return;
        handlesOpen = true;
        std::string key;
        if (IdentifyDevice(working, key)) {
            working.devicePath = path;
            handlesOpen = !session.table.Insert(key, working);
            if (!handlesOpen)
                Record(working);
        }
    });
    session.Identifying(nullptr);
    if (handlesOpen)
        winUsb.CloseDeviceHandles(working.deviceHandle, working.winUsbHandle);
}

// Pipes, descriptor, product filter, time-outs, device ID and key of an opened
// device; false refuses it.
bool Scan::IdentifyDevice(DeviceTableEntry &working, std::string &key)
{
    // From here on Shutdown can abort the identification's transfers.
    if (!winUsb.GetPipeIDs(working.winUsbHandle, working.bulkInPipeID, working.bulkOutPipeID) ||
        !session.Identifying(&working))
        return false;
    USB_DEVICE_DESCRIPTOR descriptor{};
    if (!winUsb.GetDeviceDescriptor(working.winUsbHandle, descriptor))
        return false;
    log.Data("VID = %04X, PID = %04X", descriptor.idVendor, descriptor.idProduct);
    const unsigned wanted = session.productID;
    if (wanted != 0 && wanted != descriptor.idProduct)
        return false;
    working.vendorID = descriptor.idVendor;
    working.productID = descriptor.idProduct;
    if (!SetPipeTimeouts(working) || !IdentifyInOrder(working, key))
        return false;
    log.Data("Device Key = %s", key.c_str());
    return true;
}

// Every transfer with the instrument, the identification included, waits at
// most a second; a pipe without that bound could hold a read for ever, so an
// instrument whose time-outs cannot be set is refused.
bool Scan::SetPipeTimeouts(DeviceTableEntry &entry)
{
    ULONG timeoutMs = 1000;
    return winUsb.SetPipePolicy(entry.winUsbHandle, entry.bulkInPipeID, PIPE_TRANSFER_TIMEOUT, sizeof timeoutMs,
                                &timeoutMs) &&
           winUsb.SetPipePolicy(entry.winUsbHandle, entry.bulkOutPipeID, PIPE_TRANSFER_TIMEOUT, sizeof timeoutMs,
                                &timeoutMs);
}

// A recording keeps the identity the instrument was identified by, not every
// reply identification heard on the way to it.
void Scan::Record(const DeviceTableEntry &entry)
{
    using ostrel::recording::Recorder;
    Recorder *recorder = Recorder::Active();
    if (recorder == nullptr)
        return;
    ostrel::recording::Instrument found;
    found.vendorID = entry.vendorID;
    found.productID = entry.productID;
    found.path = entry.devicePath;
    found.identity = stream.Last();
    if (const std::string *address = stream.LastReplyTo(ReplyStream::Question::Address)) {
        found.askedAddress = true;
        found.address = *address;
    }
    recorder->Identified(std::move(found));
}
