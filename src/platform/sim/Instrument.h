// One simulated instrument: its description, and the pipes it answers on.
#pragma once

#include "platform/bus/Bus.h"
#include "platform/sim/InstrumentState.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel::sim {

// A fixed reply, and how long after the command it can be read.
struct ReplyConfig {
    std::string bytes;
    uint32_t delayMs = 0;
};

// A command's replies, given in turn, one per time it is written; once they
// are used up the last one repeats, as a recorded measurement that settled.
using ReplyTurns = std::vector<ReplyConfig>;

// What an instrument's JSON says, validated. Strings hold bytes, one per code
// point U+0000..U+00FF of the JSON text.
struct InstrumentConfig {
    uint16_t vid = 0;
    uint16_t pid = 0;
    std::string serial;                        // empty: the slot's default
    std::string path;                          // empty: made from vid, pid and serial
    // Command without line end -> its replies (never empty); looked up by the
    // written bytes themselves, without a copy.
    std::map<std::string, ReplyTurns, std::less<>> replies;
    std::vector<PropertyConfig> properties;
    bool echo = false;
    uint32_t replyDelayMs = 0; // of every reply without a delay of its own
    std::vector<bus::Endpoint> endpoints;
    uint8_t descriptorLength = 18;
};

// The interface path an instrument gets when its JSON names none.
std::string DefaultInterfacePath(uint16_t vid, uint16_t pid, const std::string &serial);

// The paths Windows hands out are compared without regard to case.
bool SamePath(const std::string &a, const std::string &b);

class Instrument {
public:
    // `config` must be complete: serial and path filled in.
    Instrument(int slot, InstrumentConfig config);

    int Slot() const { return slot; }
    const std::string &Path() const { return config.path; }
    const std::vector<bus::Endpoint> &Endpoints() const { return config.endpoints; }

    // Copies up to `length` bytes of the device descriptor, as far as the
    // instrument sends it; returns how many.
    uint32_t ReadDescriptor(uint8_t *buffer, uint32_t length) const;

    // A transfer in the direction given by bit 7 of the endpoint address.
    DWORD Transfer(uint8_t endpoint, uint8_t *data, uint32_t length, uint32_t timeoutMs,
                   uint32_t &transferred);

    // Fails the reads waiting on the endpoint now (ERROR_OPERATION_ABORTED).
    DWORD Abort(uint8_t endpoint);
    // Drops the part of a reply that an earlier read left unread.
    DWORD Flush(uint8_t endpoint);

    // Marks the instrument unplugged and wakes every blocked read.
    void Remove();
    bool Removed() const;

    // What was written to the OUT pipes since plugging: the most recent
    // kReceivedKept bytes.
    std::string Received() const;
    static constexpr size_t kReceivedKept = 64 * 1024;

private:
    using Clock = std::chrono::steady_clock;

    // A reply leaves the device as one transfer, so a read never joins two
    // replies; what does not fit stays for the next read.
    struct PendingReply {
        Clock::time_point readyAt;
        std::string bytes;
        size_t taken = 0;
    };

    const bus::Endpoint *FindEndpoint(uint8_t address) const;
    DWORD Write(const uint8_t *data, uint32_t length, uint32_t &transferred);
    DWORD Read(uint8_t *data, uint32_t length, uint32_t timeoutMs, uint32_t &transferred);
    // The rest hold the lock.
    void Remember(std::string_view written);
    void Answer(std::string_view command, std::string_view written);
    void Queue(std::string_view reply, uint32_t delayMs);
    const ReplyConfig &NextTurn(const ReplyTurns &turns);

    const int slot;
    const InstrumentConfig config;
    std::array<uint8_t, 18> descriptor{};

    mutable std::mutex mutex;
    std::condition_variable changed; // a reply queued, or the instrument removed
    std::deque<PendingReply> pending;
    // A finished reply's buffer, kept for the next one: large binary blocks
    // then cost a copy, not a fresh allocation and its page faults.
    std::string spare;
    std::string received; // grows to twice kReceivedKept, then drops the oldest
    InstrumentState state;
    // How many turns each command of more than one reply has had.
    std::map<const ReplyTurns *, size_t> turnsTaken;
    bool removed = false;
    // Counts the aborts: a read fails when it changes while the read waits.
    unsigned aborts = 0;
};

} // namespace ostrel::sim
