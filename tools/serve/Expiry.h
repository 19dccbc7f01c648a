// The time by which a connection's record must be whole: its channel sets it
// while a record comes in and clears it while the gateway carries the request
// out; the acceptor closes the connection once the time has passed, so that
// half a record, or one sent a byte at a time, cannot hold a slot.
#pragma once

#include <atomic>
#include <chrono>

namespace ostrel::tool::serve {

class Expiry {
public:
    using Clock = std::chrono::steady_clock;

    void In(unsigned ms) { at = (Clock::now() + std::chrono::milliseconds(ms)).time_since_epoch().count(); }
    void Never() { at = 0; }

    // True once the time has passed, and from then on Expired(): the caller
    // closes the connection.
    bool Due()
    {
        Clock::rep when = at;
        if (when == 0 || Clock::now().time_since_epoch().count() < when)
            return false;
        // A channel that has just set another time keeps it.
        if (!at.compare_exchange_strong(when, 0))
            return false;
        expired = true;
        return true;
    }

    bool Expired() const { return expired; }

private:
    std::atomic<Clock::rep> at{0}; // 0: no time set
    std::atomic<bool> expired{false};
};

} // namespace ostrel::tool::serve
