// A raw SCPI socket to one instrument, through a link of its own: it waits for
// another link's lock like any request that may, and replies go back whole.
#include "RawChannel.h"

#include "Network.h"

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

// The reply to a line that asks, read to its end; false if the client has gone.
bool Answer(Socket fd, const Client &client, long link, const RawSettings &settings)
{
    const Waits waits{.lockMs = settings.replyMs, .ioMs = settings.replyMs, .waitLock = true};
    for (;;) {
        const ReadResult read = settings.gateway->Read(client, link, waits, kMessageMax, -1);
        // A client that is not answered in time gives up on its own, as with any instrument.
        if (read.error != kErrNone)
            return true;
        if (!SendAll(fd, read.data))
            return false;
        if ((read.reason & kReasonEnd) != 0)
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
    std::string line;
    std::string why;
    char bytes[4096];
    for (;;) {
        if (WaitReadable(fd, settings.idleSeconds * 1000) == Wait::kIdle) {
            why = "idle for " + std::to_string(settings.idleSeconds) + " s";
            break;
        }
        const long count = ReceiveSome(fd, bytes, sizeof bytes);
        if (count <= 0)
            break;
        line.append(bytes, static_cast<size_t>(count));
        size_t end;
        bool open = true;
        while (open && (end = line.find('\n')) != std::string::npos) {
            const std::string command = line.substr(0, end + 1);
            line.erase(0, end + 1);
            open = gateway.Write(client, link, waits, true, command) != kErrNone ||
                   command.find('?') == std::string::npos || Answer(fd, client, link, settings);
        }
        // A line longer than a message goes on in parts, as a link's writes without END do.
        if (open && line.size() >= kMessageMax) {
            gateway.Write(client, link, waits, false, line);
            line.clear();
        }
        if (!open)
            break;
    }
    gateway.DestroyLink(client, link);
    return why;
}

} // namespace ostrel::tool::serve
