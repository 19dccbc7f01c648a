// Identification of a newly opened instrument: its device ID (ADDR? or the next
// sequential number) and its device key (from its *IDN? reply), told apart from
// any reply the instrument still held from before by the order in which
// instruments answer, never by waiting for silence.
#include "diagnostics/LogLines.h"
#include "discovery/Scan.h"
#include "discovery/Session.h"
#include "parsing/ReplyParsing.h"
#include "transport/WinUSBWrap.h"

#include <chrono>

namespace {

const char kIdentityCommand[] = "*IDN?\r";
// How long, and how much, an instrument may go on sending what it held before
// it is given up on.
constexpr auto kResynchroniseTime = std::chrono::seconds(1);
constexpr size_t kResynchroniseBytes = 64 * 1024;

} // namespace

// The logged queries run as they always have; one more "*IDN?", unlogged,
// confirms the identity (see ReplyStream::Agrees). An instrument with nothing held from before answers
// both with the same identity, and has nothing left to send. One that held
// replies answered the logged queries with those: the stream is brought back in
// step and the queries asked again.
bool Scan::IdentifyInOrder(DeviceTableEntry &entry, std::string &key)
{
    // What the host itself holds of an earlier reply goes first.
    winUsb.FlushPipe(entry.winUsbHandle, entry.bulkInPipeID);
    if (!GenerateDeviceID(entry))
        return false;
    for (int round = 0;; ++round) {
        key.clear();
        if (!GenerateDeviceKey(entry, key))
            return false;
        if (Confirmed(entry))
            return true;
        if (round == 1) {
            log.Error("DeviceDiscovery: The instrument does not stop sending; it is not identified.");
            return false;
        }
        if (!Resynchronise(entry))
            return false;
        stream.Clear();
        // A sequential ID is kept; an address is asked again, in step now.
        if (session.useUSBAddress && !GenerateDeviceID(entry))
            return false;
    }
}

// The identity reply just heard is confirmed when the next "*IDN?" gets it
// again (the next three, for one that does not look like an identity).
bool Scan::Confirmed(DeviceTableEntry &entry)
{
    const std::string heard = stream.Last();
    for (int asked = 0; !stream.Agrees(); ++asked)
        if (asked == 3 || !Ask(entry, ReplyStream::Question::Identity) || stream.Last() != heard)
            return false;
    return true;
}

// Asks "*IDN?" until the replies agree on an identity; the replies before
// them that the instrument held from before tell how many answers are still
// to come, which are read and dropped. Bounded: an instrument that never stops
// sending, or whose identity gives no device key, is refused.
bool Scan::Resynchronise(DeviceTableEntry &entry)
{
    const auto deadline = std::chrono::steady_clock::now() + kResynchroniseTime;
    while (!stream.Agrees()) {
        if (stream.BytesHeard() >= kResynchroniseBytes || std::chrono::steady_clock::now() >= deadline) {
            log.Error(Complete(stream.Last())
                          ? "DeviceDiscovery: The instrument's reply to *IDN? gives no device key; it is not identified."
                          : "DeviceDiscovery: The instrument does not stop sending; it is not identified.");
            return false;
        }
        if (!Ask(entry, ReplyStream::Question::Identity))
            return false;
    }
    const size_t held = stream.HeldFromBefore(stream.Last());
    for (size_t i = 0; i < held; ++i) {
        std::string answer;
        if (!Listen(entry, answer))
            return false;
    }
    if (const size_t discarded = stream.BytesOfFirst(held))
        log.Data("DeviceDiscovery: Discarded %u bytes the instrument held from before.",
                 static_cast<unsigned>(discarded));
    return true;
}

// One unlogged exchange; a failed transfer still writes its own lines.
bool Scan::Ask(DeviceTableEntry &entry, ReplyStream::Question question)
{
    std::string command = question == ReplyStream::Question::Identity ? kIdentityCommand : "ADDR?\r";
    ULONG written = 0;
    std::string reply;
    if (!winUsb.WritePipe(entry.winUsbHandle, entry.bulkOutPipeID, reinterpret_cast<PUCHAR>(&command[0]),
                          static_cast<ULONG>(command.size()), written) ||
        !Listen(entry, reply))
        return false;
    stream.Heard(question, std::move(reply));
    return true;
}

// One read of at most a reply buffer's worth.
bool Scan::Listen(DeviceTableEntry &entry, std::string &reply)
{
    UCHAR bytes[64];
    ULONG count = 0;
    if (!winUsb.ReadPipe(entry.winUsbHandle, entry.bulkInPipeID, bytes, sizeof bytes, count))
        return false;
    reply.assign(reinterpret_cast<const char *>(bytes), count);
    return true;
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
        if (!Query(entry, kIdentityCommand, entry.idnResponse)) {
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
        stream.Heard(ReplyStream::QuestionOf(command), std::string(reply, transferred));
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
