// Identification of a newly opened instrument: its device ID (ADDR? or the next
// sequential number) and its device key (from its *IDN? reply).
#include "diagnostics/LogLines.h"
#include "discovery/Scan.h"
#include "discovery/Session.h"
#include "parsing/ReplyParsing.h"
#include "transport/WinUSBWrap.h"

#include <chrono>

namespace {

// How long, and how much, an instrument may go on sending what it held before
// it is given up on.
constexpr auto kDiscardTime = std::chrono::milliseconds(500);
constexpr size_t kDiscardBytes = 64 * 1024;
// A read that gets nothing within this says the instrument has fallen silent.
constexpr ULONG kSilenceMs = 20;
constexpr ULONG kTransferTimeoutMs = 1000;

} // namespace

// A reply the instrument still holds from before - one a program wrote for
// and never read - would be taken for the answer to the scan's query. What
// the host holds of it is flushed, and what the instrument still sends is
// read and dropped until it falls silent.
bool Scan::DiscardStaleReplies(DeviceTableEntry &entry)
{
    winUsb.FlushPipe(entry.winUsbHandle, entry.bulkInPipeID);
    ULONG timeoutMs = kSilenceMs;
    // Without the short time-out a read could wait for ever: leave it be.
    if (!winUsb.SetPipePolicy(entry.winUsbHandle, entry.bulkInPipeID, PIPE_TRANSFER_TIMEOUT, sizeof timeoutMs,
                              &timeoutMs))
        return true;
    const auto deadline = std::chrono::steady_clock::now() + kDiscardTime;
    size_t discarded = 0;
    bool silent = false;
    while (!silent && discarded < kDiscardBytes && std::chrono::steady_clock::now() < deadline) {
        UCHAR bytes[64];
        ULONG count = 0;
        silent = winUsb.ReadQuietly(entry.winUsbHandle, entry.bulkInPipeID, bytes, sizeof bytes, count) !=
                 ERROR_SUCCESS;
        discarded += count;
    }
    timeoutMs = kTransferTimeoutMs;
    winUsb.SetPipePolicy(entry.winUsbHandle, entry.bulkInPipeID, PIPE_TRANSFER_TIMEOUT, sizeof timeoutMs, &timeoutMs);
    if (discarded != 0)
        log.Data("DeviceDiscovery: Discarded %u bytes the instrument held from before.",
                 static_cast<unsigned>(discarded));
    if (!silent)
        log.Error("DeviceDiscovery: The instrument does not stop sending; it is not identified.");
    return silent;
}

bool Scan::GenerateDeviceID(DeviceTableEntry &entry)
{
    return Guarded(log, "GenerateDeviceID", false, [&] {
        log.Enter("GenerateDeviceID");
        if (!session.useUSBAddress) {
            // The number is used up even if the device is refused later.
            entry.deviceID = session.nextDeviceID++;
            log.TraceFormat("GenerateDeviceID: Exit.  ID = '%d'", entry.deviceID);
            return true;
        }
        char reply[64] = {};
        if (!Query(entry, "ADDR?\r", reply)) {
            log.Trace("GenerateDeviceID: Exit.  ADDR? query failed.");
            return false;
        }
        log.Data("ADDR? Response = '%s'", reply);
        entry.deviceID = ostrel::ParseLeadingInt(reply, sizeof reply);
        log.Exit("GenerateDeviceID");
        return true;
    });
}

bool Scan::GenerateDeviceKey(DeviceTableEntry &entry, std::string &key)
{
    return Guarded(log, "GenerateDeviceKey", false, [&] {
        log.Enter("GenerateDeviceKey");
        if (!Query(entry, "*IDN?\r", entry.idnResponse)) {
            log.Trace("GenerateDeviceKey: Exit.  *IDN? query failed.");
            return false;
        }
        log.Data("*IDN? Response = '%s'", entry.idnResponse);
        key += ostrel::ExtractDeviceKey(entry.idnResponse, sizeof entry.idnResponse);
        log.TraceFormat("GenerateDeviceKey: Exit.  Device Key = '%s'", key.c_str());
        return true;
    });
}

bool Scan::Query(DeviceTableEntry &entry, std::string command, char (&reply)[64])
{
    return Guarded(log, "Query", false, [&] {
        log.Enter("Query");
        log.TraceFormat("Discover::Query  Cmd = '%s'", command.c_str());
        ULONG transferred = 0;
        bool done = winUsb.WritePipe(entry.winUsbHandle, entry.bulkOutPipeID, reinterpret_cast<PUCHAR>(&command[0]),
                                     static_cast<ULONG>(command.size()), transferred);
        if (done) {
            transferred = 0;
            done = winUsb.ReadPipe(entry.winUsbHandle, entry.bulkInPipeID, reinterpret_cast<PUCHAR>(reply),
                                   sizeof reply, transferred);
        }
        if (!done) {
            log.Trace("Query: Exit.  Write or Read failed.");
            return false;
        }
        // A reply that fills the buffer without a line end keeps its first 63
        // chars: the text must end inside the buffer.
        size_t end = ostrel::ReplyTextLength(reply, transferred);
        if (end >= sizeof reply)
            end = sizeof reply - 1;
        reply[end] = '\0';
        log.TraceFormat("Discover::Query  Response = '%s'", reply);
        log.Exit("Query");
        return true;
    });
}
