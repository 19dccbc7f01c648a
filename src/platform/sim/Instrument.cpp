// One simulated instrument: replies to whole writes, blocking reads, removal.
#include "platform/sim/Instrument.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ostrel::sim {
namespace {

// OSTREL_BENCH_TIMING: "recorded" (the default) keeps every reply's time,
// "fast" answers at once, a factor such as 0.5 or 2 scales the times.
double ReadDelayScale()
{
    const char *timing = std::getenv("OSTREL_BENCH_TIMING");
    if (timing == nullptr || *timing == '\0' || std::strcmp(timing, "recorded") == 0)
        return 1.0;
    if (std::strcmp(timing, "fast") == 0)
        return 0.0;
    char *end = nullptr;
    const double factor = std::strtod(timing, &end);
    if (*end == '\0' && factor >= 0.0 && factor <= 1000.0)
        return factor;
    std::fprintf(stderr, "ostrel bench: OSTREL_BENCH_TIMING=%s is not recorded, fast or a factor from 0 to 1000; "
                         "replies keep their times\n", timing);
    return 1.0;
}

uint32_t Scaled(uint32_t delayMs)
{
    static const double scale = ReadDelayScale();
    return static_cast<uint32_t>(delayMs * scale + 0.5);
}

} // namespace

std::string DefaultInterfacePath(uint16_t vid, uint16_t pid, const std::string &serial)
{
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, "\\\\?\\USB#VID_%04X&PID_%04X#", vid, pid);
    return prefix + serial + "#{56AC4E2C-9D3B-4A6C-BF25-B3BD6E44FC00}";
}

bool SamePath(const std::string &a, const std::string &b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

Instrument::Instrument(int slot, InstrumentConfig config)
    : slot(slot), config(std::move(config)), state(this->config.properties)
{
    const InstrumentConfig &c = this->config;
    descriptor = {
        18,   // bLength
        0x01, // bDescriptorType: device
        0x00, 0x02, // bcdUSB 2.00
        0x00, 0x00, 0x00, // class, subclass, protocol: per interface
        64,   // bMaxPacketSize0
        static_cast<uint8_t>(c.vid & 0xFF), static_cast<uint8_t>(c.vid >> 8),
        static_cast<uint8_t>(c.pid & 0xFF), static_cast<uint8_t>(c.pid >> 8),
        0x00, 0x01, // bcdDevice 1.00
        1, 2, 3,    // manufacturer, product and serial-number strings
        1,          // bNumConfigurations
    };
}

uint32_t Instrument::ReadDescriptor(uint8_t *buffer, uint32_t length) const
{
    uint32_t count = std::min<uint32_t>(length, config.descriptorLength);
    std::memcpy(buffer, descriptor.data(), count);
    return count;
}

const bus::Endpoint *Instrument::FindEndpoint(uint8_t address) const
{
    for (const bus::Endpoint &endpoint : config.endpoints)
        if (endpoint.address == address)
            return &endpoint;
    return nullptr;
}

DWORD Instrument::Transfer(uint8_t endpoint, uint8_t *data, uint32_t length, uint32_t timeoutMs,
                           uint32_t &transferred)
{
    transferred = 0;
    const bus::Endpoint *found = FindEndpoint(endpoint);
    // Control and isochronous pipes carry no command traffic on these instruments.
    if (found == nullptr || (found->type != UsbdPipeTypeBulk && found->type != UsbdPipeTypeInterrupt))
        return ERROR_INVALID_PARAMETER;
    if ((endpoint & 0x80) != 0)
        return Read(data, length, timeoutMs, transferred);
    return Write(data, length, transferred);
}

DWORD Instrument::Write(const uint8_t *data, uint32_t length, uint32_t &transferred)
{
    const std::string_view written(reinterpret_cast<const char *>(data), length);
    // A command matches whatever line end the caller terminated it with.
    std::string_view command = written;
    if (!command.empty() && command.back() == '\n')
        command.remove_suffix(1);
    if (!command.empty() && command.back() == '\r')
        command.remove_suffix(1);

    std::lock_guard<std::mutex> lock(mutex);
    if (removed)
        return ERROR_BAD_COMMAND;
    Remember(written);
    Answer(command, written);
    transferred = length;
    return ERROR_SUCCESS;
}

void Instrument::Remember(std::string_view written)
{
    if (written.size() >= kReceivedKept) {
        received.assign(written.substr(written.size() - kReceivedKept));
        return;
    }
    received.append(written);
    if (received.size() > 2 * kReceivedKept)
        received.erase(0, received.size() - kReceivedKept);
}

// Fixed replies first, then the settings and the error queue, then the echo.
void Instrument::Answer(std::string_view command, std::string_view written)
{
    auto reply = config.replies.find(command);
    if (reply != config.replies.end()) {
        const ReplyConfig &turn = NextTurn(reply->second);
        return Queue(turn.bytes, turn.delayMs);
    }
    std::string stateReply;
    if (state.Handle(command, stateReply))
        return Queue(stateReply, config.replyDelayMs);
    if (config.echo)
        return Queue(written, config.replyDelayMs);
    state.Unknown();
}

const ReplyConfig &Instrument::NextTurn(const ReplyTurns &turns)
{
    if (turns.size() == 1)
        return turns.front();
    size_t &taken = turnsTaken[&turns];
    return turns[std::min(taken++, turns.size() - 1)];
}

void Instrument::Queue(std::string_view reply, uint32_t delayMs)
{
    if (reply.empty())
        return;
    std::string bytes;
    bytes.swap(spare);
    bytes.assign(reply.data(), reply.size());
    // An instrument works through its commands one after another: a reply's
    // time starts once the reply before it is ready.
    Clock::time_point start = Clock::now();
    if (!pending.empty())
        start = std::max(start, pending.back().readyAt);
    pending.push_back({start + std::chrono::milliseconds(Scaled(delayMs)), std::move(bytes), 0});
    changed.notify_all();
}

DWORD Instrument::Read(uint8_t *data, uint32_t length, uint32_t timeoutMs, uint32_t &transferred)
{
    const bool limited = timeoutMs != 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(mutex);
    const unsigned abortsBefore = aborts;
    for (;;) {
        if (removed)
            return ERROR_BAD_COMMAND;
        if (aborts != abortsBefore)
            return ERROR_OPERATION_ABORTED;
        const Clock::time_point now = Clock::now();
        if (!pending.empty() && pending.front().readyAt <= now) {
            PendingReply &reply = pending.front();
            size_t count = std::min<size_t>(length, reply.bytes.size() - reply.taken);
            if (count != 0)
                std::memcpy(data, reply.bytes.data() + reply.taken, count);
            reply.taken += count;
            if (reply.taken == reply.bytes.size()) {
                if (reply.bytes.capacity() > spare.capacity())
                    spare.swap(reply.bytes);
                pending.pop_front();
            }
            transferred = static_cast<uint32_t>(count);
            return ERROR_SUCCESS;
        }
        if (limited && now >= deadline)
            return ERROR_SEM_TIMEOUT;
        if (!pending.empty()) {
            Clock::time_point wake = pending.front().readyAt;
            changed.wait_until(lock, limited ? std::min(wake, deadline) : wake);
        } else if (limited) {
            changed.wait_until(lock, deadline);
        } else {
            changed.wait(lock);
        }
    }
}

DWORD Instrument::Abort(uint8_t endpoint)
{
    if (FindEndpoint(endpoint) == nullptr)
        return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(mutex);
    if (removed)
        return ERROR_BAD_COMMAND;
    // Only reads wait on these instruments; a write is done when it returns.
    if ((endpoint & 0x80) != 0) {
        ++aborts;
        changed.notify_all();
    }
    return ERROR_SUCCESS;
}

DWORD Instrument::Flush(uint8_t endpoint)
{
    if (FindEndpoint(endpoint) == nullptr)
        return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(mutex);
    if (removed)
        return ERROR_BAD_COMMAND;
    if ((endpoint & 0x80) != 0 && !pending.empty() && pending.front().taken != 0)
        pending.pop_front();
    return ERROR_SUCCESS;
}

void Instrument::Remove()
{
    std::lock_guard<std::mutex> lock(mutex);
    removed = true;
    changed.notify_all();
}

bool Instrument::Removed() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return removed;
}

std::string Instrument::Received() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return received.size() > kReceivedKept ? received.substr(received.size() - kReceivedKept) : received;
}

} // namespace ostrel::sim
