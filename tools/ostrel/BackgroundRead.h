// A reply read on a thread of its own, so that whoever waits for it stops at
// its own deadline: each library read waits up to a second, longer than many
// callers' time-outs, and cannot be cut short. What a read brings after its
// caller has gone is the next caller's. The gateway and the tool both wait
// for their instruments through it.
#pragma once

#include "Transfer.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace ostrel::tool {

class BackgroundRead {
public:
    using Clock = std::chrono::steady_clock;

    BackgroundRead(const Api &api, std::string key);
    // Waits for the library read under way (at most its second).
    ~BackgroundRead();
    BackgroundRead(const BackgroundRead &) = delete;
    BackgroundRead &operator=(const BackgroundRead &) = delete;

    // Starts reading one reply by `rule` (its `abandon` is this reader's own);
    // false while a read is under way or its reply has not been taken.
    bool Start(const ReadRule &rule);
    // Starts `call` instead, a library call of the caller's own whose outcome
    // is the reply; false as Start.
    bool Start(std::function<Reply()> call);
    // Until the read has ended (true), `deadline` passes or `giveUp` says so,
    // which is asked every few milliseconds.
    bool Wait(Clock::time_point deadline, const std::function<bool()> &giveUp = {});
    bool Reading() const;
    // The reply of a read that has ended (kTimedOut and nothing when none has);
    // the reader is free again.
    Reply Take();
    // The read under way starts no further library read.
    void Abandon();

private:
    void Run();

    enum class State { kIdle, kReading, kEnded };
    const Api &api;
    const std::string key;
    mutable std::mutex mutex;
    std::condition_variable changed;
    State state = State::kIdle;
    bool quitting = false;
    ReadRule rule;
    std::function<Reply()> call; // when set, run in place of a read by `rule`
    Reply reply;
    std::atomic<bool> abandoned{false};
    std::thread worker;
};

} // namespace ostrel::tool
