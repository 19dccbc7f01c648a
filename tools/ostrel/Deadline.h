// Waiting for a library read only until a deadline. The library's reads wait
// up to the pipe's full second and cannot be cut short, so each runs on the
// instrument's background reader (BackgroundRead.h); a caller whose deadline
// passes goes on without it, and what the read brings when it ends is the
// instrument's pending reply, handed to the next read of the same instrument.
#pragma once

#include "Library.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace ostrel::tool {

using DeadlineClock = std::chrono::steady_clock;

// One library read: whether it succeeded, the bytes it brought, how long it took
// (the read times itself).
struct ReadOutcome {
    bool ok = false;
    std::string bytes;
    DeadlineClock::duration took{};
};

// The outcome of the read under way for `key`, or of `read` started now if
// none is; nullopt when it has not ended by `deadline`, in which case it goes
// on and the next call for `key` gets its outcome.
std::optional<ReadOutcome> ReadUntil(const Api &api, const std::string &key, const std::function<ReadOutcome()> &read,
                                     DeadlineClock::time_point deadline);

// Waits for every read still under way; call it once the library has been
// shut down, which ends them at once.
void FinishReads();

} // namespace ostrel::tool
