// Commands to an instrument and its replies read whole, in as many library reads as it takes.
#include "Transfer.h"

#include "Deadline.h"
#include "Log.h"
#include "Output.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <optional>
#include <vector>

namespace ostrel::tool {
namespace {

using Clock = std::chrono::steady_clock;

// What one library read asks for.
constexpr unsigned kChunk = 64 * 1024;
// Every library read waits at most the pipe's 1000 ms; one that fails much
// sooner did not time out (the instrument is gone, or its key).
constexpr auto kSoonerThanATimeout = std::chrono::milliseconds(500);
// Another read is not started for the last moments before the deadline.
constexpr auto kTooLateForAnotherRead = std::chrono::milliseconds(50);

bool EndsInLineEnd(const std::string &bytes)
{
    return !bytes.empty() && (bytes.back() == '\n' || bytes.back() == '\r');
}

// A short read ends a USB transfer: the instrument has sent all it had.
bool Complete(const ReadRule &rule, const std::string &bytes, unsigned got, unsigned asked)
{
    if (!rule.binary)
        return EndsInLineEnd(bytes);
    return rule.bytes != 0 ? bytes.size() >= rule.bytes : got < asked;
}

Reply Waited(Reply &reply, Reply::Outcome outcome, Clock::time_point start)
{
    reply.waitedMs =
        static_cast<unsigned>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    reply.outcome = outcome;
    return reply;
}

unsigned Asked(const ReadRule &rule, const Reply &reply)
{
    return rule.binary && rule.bytes != 0
               ? std::min<unsigned>(kChunk, rule.bytes - static_cast<unsigned>(reply.bytes.size()))
               : kChunk;
}

// One library read of `asked` bytes, timed.
ReadOutcome LibraryRead(const Api &api, const std::string &key, unsigned asked)
{
    thread_local std::vector<char> buffer(kChunk);
    ReadOutcome outcome;
    unsigned got = 0;
    const Clock::time_point start = Clock::now();
    outcome.ok = api.vorn_usb_read_by_key(key.c_str(), buffer.data(), asked, &got) == 0;
    outcome.took = Clock::now() - start;
    if (outcome.ok)
        outcome.bytes.assign(buffer.data(), got);
    return outcome;
}

// One library read of `asked` bytes, or nullopt when the caller's deadline came first.
using OneRead = std::function<std::optional<ReadOutcome>(unsigned asked)>;

// The reply, in as many library reads as it takes until `deadline`, the
// rule's time-out from now; none is started in the last `margin` before it.
Reply ReadChunks(const ReadRule &rule, Clock::time_point deadline, const OneRead &read, Clock::duration margin)
{
    Reply reply;
    const Clock::time_point start = deadline - std::chrono::milliseconds(rule.timeoutMs);
    for (;;) {
        const unsigned asked = Asked(rule, reply);
        const std::optional<ReadOutcome> got = read(asked);
        if (!got)
            return Waited(reply, reply.bytes.empty() ? Reply::kTimedOut : Reply::kCut, start);
        reply.bytes += got->bytes;
        reply.libraryFailed = reply.libraryFailed || !got->ok;
        if (got->ok && Complete(rule, reply.bytes, static_cast<unsigned>(got->bytes.size()), asked))
            return Waited(reply, Reply::kComplete, start);
        if (!got->ok && rule.binary && rule.bytes == 0 && !reply.bytes.empty())
            return Waited(reply, Reply::kComplete, start); // it stopped sending
        if ((!got->ok && got->took < kSoonerThanATimeout) || (rule.abandon != nullptr && *rule.abandon))
            return Waited(reply, Reply::kFailed, start);
        if (Clock::now() + margin >= deadline)
            return Waited(reply, reply.bytes.empty() ? Reply::kTimedOut : Reply::kCut, start);
    }
}

} // namespace

bool SendCommand(const Api &api, const std::string &key, const std::string &command, bool binary)
{
    std::string data = command;
    data.push_back('\0'); // a valid buffer also for an empty block
    const unsigned length = static_cast<unsigned>(command.size());
    return binary ? api.vorn_usb_write_binary_by_key(key.c_str(), &data[0], length) == 0
                  : api.vorn_usb_write_by_key(key.c_str(), &data[0], length) == 0;
}

Reply ReadReply(const Api &api, const std::string &key, const ReadRule &rule)
{
    const LogMark log;
    // Each library read waited for only until the rule's deadline.
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(rule.timeoutMs);
    Reply reply = ReadChunks(
        rule, deadline,
        [&](unsigned asked) {
            return ReadUntil(api, key, [&api, key, asked] { return LibraryRead(api, key, asked); }, deadline);
        },
        Clock::duration::zero());
    // Until a read of this reply has failed, the log's newest error is another read's: one that the
    // instruments' ADDR? probes left going, say.
    if (reply.outcome != Reply::kComplete && reply.libraryFailed)
        reply.logLine = log.Last({"GetLastError = ", "USB::Read: "});
    return reply;
}

Reply ReadQuietly(const Api &api, const std::string &key, const ReadRule &rule)
{
    return ReadChunks(
        rule, Clock::now() + std::chrono::milliseconds(rule.timeoutMs),
        [&](unsigned asked) { return std::optional<ReadOutcome>(LibraryRead(api, key, asked)); },
        kTooLateForAnotherRead);
}

std::string ReplyText(const Reply &reply)
{
    std::string text = reply.bytes;
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    if (!text.empty() && text.back() == '\r')
        text.pop_back();
    return text;
}

std::string Explain(const Reply &reply, const ReadRule &rule, const std::string &name, const std::string &command)
{
    const std::string from = " from " + name + (command.empty() ? "" : " to '" + Shorten(command) + "'");
    const std::string within = " within " + std::to_string(reply.waitedMs) + " ms";
    std::string message;
    if (reply.outcome == Reply::kFailed)
        message = "the read" + from + " failed";
    else if (reply.outcome == Reply::kTimedOut)
        message = "no reply" + from + within;
    else if (rule.binary)
        message = "the reply" + from + " was cut: " + std::to_string(reply.bytes.size()) + " of " +
                  std::to_string(rule.bytes) + " bytes came" + within;
    else
        message = "the reply" + from + " was cut: " + std::to_string(reply.bytes.size()) +
                  " bytes without a line end came" + within;
    return message + (reply.logLine.empty() ? "" : " (log: " + reply.logLine + ")");
}

} // namespace ostrel::tool
