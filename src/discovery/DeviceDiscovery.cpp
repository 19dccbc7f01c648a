// The scan: find the interface paths that are new since the last scan, open
// and identify each one, and enter the instruments in the device table.
#include "diagnostics/Logger.h"
#include "discovery/Discover.h"
#include "discovery/ReplyParsing.h"

#include <cstring>

void Discover::DeviceDiscovery()
{
    ScanWithGate(nullptr);
}

void Discover::ScanWithGate(const std::atomic<bool> *keepWaiting)
{
    ScanGate::Hold hold(scanGate, keepWaiting);
    if (!hold)
        return;
    try {
        Trace("DeviceDiscovery: Enter.");
        HDEVINFO deviceInfoSet = winUsb.GetDevInfoSet();
        CopyDevicePaths(previousDevicePaths, currentDevicePaths);
        LogDevicePaths("Previous = ", previousDevicePaths);
        winUsb.GetDevicePaths(deviceInfoSet, currentDevicePaths);
        LogDevicePaths("Current = ", currentDevicePaths);
        CreateNewlyDiscoveredList();

        DeviceTableEntry working{};
        for (const std::string &path : newlyDiscoveredPaths) {
            // A watcher that is being stopped leaves the rest to Shutdown.
            if (keepWaiting != nullptr && !*keepWaiting)
                return;
            ExamineNewPath(path, working);
        }
        CheckDeviceDiscoveryChanges();
        Trace("DeviceDiscovery: Exit.");
    } catch (...) {
        if (logger != nullptr)
            logger->Log("DeviceDiscovery: Exception.");
    }
}

// Opens one new path and enters its instrument in the table; anything refused
// is closed again, so only table entries hold handles.
void Discover::ExamineNewPath(const std::string &path, DeviceTableEntry &working)
{
    bool handlesOpen = false;
    try {
        working = DeviceTableEntry{};
        if (logger != nullptr)
            logger->LogFormat(DataLines(), "Device Path = %s", path.c_str());
        if (!winUsb.CreateDeviceHandles(path, working.deviceHandle, working.winUsbHandle))
            return;
        handlesOpen = true;

        std::string key;
        if (IdentifyDevice(working, key)) {
            working.devicePath = path;
            working.io = std::make_shared<DeviceIo>();
            std::lock_guard<std::mutex> lock(tableMutex);
            handlesOpen = !deviceTable.emplace(key, working).second;
        }
    } catch (...) {
        if (logger != nullptr)
            logger->Log("DeviceDiscovery Loop: Exception.");
    }
    if (handlesOpen)
        winUsb.CloseDeviceHandles(working.deviceHandle, working.winUsbHandle);
}

// Pipes, descriptor, product filter, time-outs, device ID and key of an opened
// device; false refuses it.
bool Discover::IdentifyDevice(DeviceTableEntry &working, std::string &key)
{
    if (!winUsb.GetPipeIDs(working.winUsbHandle, working.bulkInPipeID, working.bulkOutPipeID))
        return false;
    USB_DEVICE_DESCRIPTOR descriptor{};
    if (!winUsb.GetDeviceDescriptor(working.winUsbHandle, descriptor))
        return false;
    if (logger != nullptr)
        logger->LogFormat(DataLines(), "VID = %04X, PID = %04X", descriptor.idVendor, descriptor.idProduct);
    const unsigned wanted = productID;
    if (wanted != 0 && wanted != descriptor.idProduct)
        return false;
    working.productID = descriptor.idProduct;

    // Every transfer with the instrument, the identification included, then
    // waits at most a second.
    ULONG timeoutMs = 1000;
    winUsb.SetPipePolicy(working.winUsbHandle, working.bulkInPipeID, PIPE_TRANSFER_TIMEOUT, sizeof timeoutMs, &timeoutMs);
    winUsb.SetPipePolicy(working.winUsbHandle, working.bulkOutPipeID, PIPE_TRANSFER_TIMEOUT, sizeof timeoutMs, &timeoutMs);

    if (!GenerateDeviceID(working) || !GenerateDeviceKey(working, key))
        return false;
    if (logger != nullptr)
        logger->LogFormat(DataLines(), "Device Key = %s", key.c_str());
    return true;
}

void Discover::LogDevicePaths(const char *label, std::vector<std::string> &paths)
{
    if (!traceEnabled || logger == nullptr)
        return;
    for (const std::string &path : paths)
        logger->LogFormat(true, "%s%s", label, path.c_str());
}

bool Discover::GenerateDeviceID(DeviceTableEntry &entry)
{
    try {
        Trace("GenerateDeviceID: Enter.");
        if (!useUSBAddress) {
            entry.deviceID = nextDeviceID++;
            if (traceEnabled && logger != nullptr)
                logger->LogFormat(true, "GenerateDeviceID: Exit.  ID = '%d'", entry.deviceID);
            return true;
        }
        char reply[64] = {};
        if (!Query(entry, "ADDR?\r", reply)) {
            Trace("GenerateDeviceID: Exit.  ADDR? query failed.");
            return false;
        }
        if (logger != nullptr)
            logger->LogFormat(DataLines(), "ADDR? Response = '%s'", reply);
        entry.deviceID = ostrel::ParseLeadingInt(reply, sizeof reply);
        Trace("GenerateDeviceID: Exit.");
        return true;
    } catch (...) {
        if (logger != nullptr)
            logger->Log("GenerateDeviceID: Exception.");
    }
    return false;
}

bool Discover::GenerateDeviceKey(DeviceTableEntry &entry, std::string &key)
{
    try {
        Trace("GenerateDeviceKey: Enter.");
        if (!Query(entry, "*IDN?\r", entry.idnResponse)) {
            Trace("GenerateDeviceKey: Exit.  *IDN? query failed.");
            return false;
        }
        if (logger != nullptr)
            logger->LogFormat(DataLines(), "*IDN? Response = '%s'", entry.idnResponse);
        key += ostrel::ExtractDeviceKey(entry.idnResponse, sizeof entry.idnResponse);
        if (traceEnabled && logger != nullptr)
            logger->LogFormat(true, "GenerateDeviceKey: Exit.  Device Key = '%s'", key.c_str());
        return true;
    } catch (...) {
        if (logger != nullptr)
            logger->Log("GenerateDeviceKey: Exception.");
    }
    return false;
}

bool Discover::Query(DeviceTableEntry &entry, std::string command, char (&reply)[64])
{
    try {
        Trace("Query: Enter.");
        if (traceEnabled && logger != nullptr)
            logger->LogFormat(true, "Discover::Query  Cmd = '%s'", command.c_str());
        ULONG transferred = 0;
        bool done = winUsb.WritePipe(entry.winUsbHandle, entry.bulkOutPipeID,
                                     reinterpret_cast<PUCHAR>(&command[0]), static_cast<ULONG>(command.size()),
                                     transferred);
        if (done) {
            transferred = 0;
            done = winUsb.ReadPipe(entry.winUsbHandle, entry.bulkInPipeID, reinterpret_cast<PUCHAR>(reply),
                                   sizeof reply, transferred);
        }
        if (!done) {
            Trace("Query: Exit.  Write or Read failed.");
            return false;
        }
        // A reply that fills the buffer without a line end keeps its first 63
        // chars: the text must end inside the buffer.
        size_t end = ostrel::ReplyTextLength(reply, transferred);
        if (end >= sizeof reply)
            end = sizeof reply - 1;
        reply[end] = '\0';
        if (traceEnabled && logger != nullptr)
            logger->LogFormat(true, "Discover::Query  Response = '%s'", reply);
        Trace("Query: Exit.");
        return true;
    } catch (...) {
        if (logger != nullptr)
            logger->Log("Query: Exception.");
    }
    return false;
}
