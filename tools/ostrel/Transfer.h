// Commands to an instrument and its replies read whole: to the line end, to a
// byte count or until it stops sending, in as many library reads as it takes.
#pragma once

#include "Library.h"

#include <atomic>
#include <string>

namespace ostrel::tool {

// How a reply is read.
struct ReadRule {
    bool binary = false;
    unsigned bytes = 0;        // binary: this many (0: until the instrument stops sending)
    unsigned timeoutMs = 1000; // reads are repeated until this has passed
    const std::atomic<bool> *abandon = nullptr; // when set, no further read is started: kFailed
};

struct Reply {
    enum Outcome { kComplete, kTimedOut, kCut, kFailed };
    Outcome outcome = kTimedOut;
    std::string bytes;   // what came, line end included
    std::string logLine; // the log's line about the read that failed last
    unsigned waitedMs = 0; // how long ReadReply waited for it
    bool libraryFailed = false; // a library read for it failed (rather than still going on)
};

// An ASCII command line (the library adds the CR), or bytes with `binary`.
bool SendCommand(const Api &api, const std::string &key, const std::string &command, bool binary);

// Waits no longer than the rule's time-out, however long the library's reads
// wait (Deadline.h): what comes later is the next read's.
Reply ReadReply(const Api &api, const std::string &key, const ReadRule &rule);

// The same without the log's line about a failure: for callers that read
// often and explain nothing (looking the log up costs a file scan).
Reply ReadQuietly(const Api &api, const std::string &key, const ReadRule &rule);

// A complete text reply without its line end.
std::string ReplyText(const Reply &reply);

// Why a reply is not complete, in the log's words: "no reply from <name> to
// '<command>' within <ms> ms (log: ...)", with the time really waited.
std::string Explain(const Reply &reply, const ReadRule &rule, const std::string &name, const std::string &command);

} // namespace ostrel::tool
