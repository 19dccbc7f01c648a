// A raw SCPI socket to one instrument, through a link of its own: it waits for
// another link's lock like any request that may, messages go to the instrument
// whole, and replies come back whole.
#include "RawChannel.h"

#include "Messages.h"
#include "Network.h"
#include "Note.h"

namespace ostrel::tool::serve {
namespace {

bool SendAll(Socket fd, const std::string &bytes)
{
    for (size_t sent = 0; sent < bytes.size();) {
        const long count = SendSome(fd, bytes.data() + sent, bytes.size() - sent);
        if (count <= 0)
            return false;
        sent += static_cast<size_t>(count);
    }
    return true;
}

// The reply to a message that asks, read to its end; false if the client has
// gone. A block in it is read by its header, also past the end of a transfer.
bool Answer(Socket fd, const Client &client, long link, const RawSettings &settings)
{
    const Waits waits{.lockMs = settings.replyMs, .ioMs = settings.replyMs, .waitLock = true};
    MessageScanner reply(true);
    for (;;) {
        const ReadResult read = settings.gateway->Read(client, link, waits, kMessageMax, -1);
        // A client that is not answered in time gives up on its own, as with any instrument.
        if (read.error != kErrNone)
            return true;
        if (!SendAll(fd, read.data))
            return false;
        for (size_t at = 0; at < read.data.size();) {
            at += reply.Take(read.data.data() + at, read.data.size() - at);
            if (reply.Ended())
                reply.Start();
        }
        if ((read.reason & kReasonEnd) != 0 && !reply.InBlock())
            return true;
    }
}

} // namespace

std::string ServeRaw(Socket fd, const Client &client, const RawSettings &settings)
{
    Gateway &gateway = *settings.gateway;
    long link = 0;
    if (int error = gateway.CreateLink(settings.instrument, client, false, 0, link))
        return error == kErrNotAccessible ? settings.instrument + " is not plugged in" : "no link to be had";
    const Waits waits{.lockMs = settings.replyMs, .ioMs = settings.replyMs, .waitLock = true};
    // A socket has no END: a message ends at its newline, or after its block.
    MessageGatherer gatherer(kMessageMax, false);
    bool open = true;
    bool delivered = false;
    const auto deliver = [&](const std::string &message, bool asks) {
        delivered = true;
        open = gateway.Write(client, link, waits, true, message) != kErrNone || !asks ||
               Answer(fd, client, link, settings);
        return open ? 0 : 1;
    };
    const std::string idle = "idle for " + std::to_string(settings.idleSeconds) + " s";
    std::string why;
    char bytes[4096];
    while (open) {
        if (WaitReadable(fd, settings.idleSeconds * 1000) == Wait::kIdle) {
            why = idle;
            break;
        }
        const long count = ReceiveSome(fd, bytes, sizeof bytes);
        if (count <= 0)
            break;
        const bool wasPartial = gatherer.Partial();
        delivered = false;
        // Nothing tells a socket's client that a message was refused: the log says it, once per message.
        const bool refusedBefore = gatherer.Refusing();
        if (gatherer.Add(bytes, static_cast<size_t>(count), false, deliver) == MessageGatherer::kOverBound &&
            !refusedBefore)
            Note("refused a message over " + std::to_string(kMessageMax) + " bytes to " + settings.instrument +
                 " from " + client.peer);
        // A message must be whole within the idle time from its first byte, as
        // a VXI-11 record must: one that trickles in holds its slot no longer.
        if (client.expiry != nullptr && !gatherer.Partial())
            client.expiry->Never();
        else if (client.expiry != nullptr && (!wasPartial || delivered))
            client.expiry->In(settings.idleSeconds * 1000);
    }
    if (client.expiry != nullptr && client.expiry->Expired())
        why = idle;
    gateway.DestroyLink(client, link);
    return why;
}

} // namespace ostrel::tool::serve
