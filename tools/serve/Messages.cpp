// Messages found by their ends, blocks by their headers, and gathered whole.
#include "Messages.h"

#include <algorithm>

namespace ostrel::tool::serve {

size_t MessageScanner::Take(const char *data, size_t size)
{
    size_t at = 0;
    while (at < size && state != State::kEnded) {
        if (state == State::kData) {
            // A block's bytes are skipped by its length, newlines and all.
            const size_t skipped = static_cast<size_t>(std::min<uint64_t>(remaining, size - at));
            at += skipped;
            remaining -= skipped;
            if (remaining == 0)
                state = State::kText;
        } else if (state == State::kIndefinite) {
            at = size;
        } else if (state == State::kHash || state == State::kDigits) {
            Header(data[at++]);
        } else {
            Text(data[at++]);
        }
    }
    return at;
}

void MessageScanner::Text(char byte)
{
    if (byte == '\n') {
        state = State::kEnded;
    } else if (state == State::kQuoted) {
        if (byte == quote)
            state = State::kText;
    } else if (byte == '"' || byte == '\'') {
        quote = byte;
        state = State::kQuoted;
    } else if (byte == '#') {
        state = State::kHash;
    } else if (byte == '?') {
        asks = true;
    }
}

// `#<n>` then n digits of length. Anything else after '#' is text again (a
// non-decimal number such as #H1F, or no block at all), that byte included.
void MessageScanner::Header(char byte)
{
    if (byte < '0' || byte > '9') {
        state = State::kText;
        Text(byte);
        return;
    }
    const unsigned value = static_cast<unsigned>(byte - '0');
    if (state == State::kHash) {
        digits = value;
        remaining = 0;
        state = value != 0 ? State::kDigits : endFlag ? State::kIndefinite : State::kText;
        return;
    }
    remaining = remaining * 10 + value;
    if (--digits == 0)
        state = remaining != 0 ? State::kData : State::kText;
}

bool MessageScanner::InBlock() const
{
    return state == State::kDigits || state == State::kData;
}

void MessageScanner::Start()
{
    state = State::kText;
    quote = 0;
    digits = 0;
    remaining = 0;
    asks = false;
}

int MessageGatherer::Add(const char *data, size_t size, bool end, const Deliver &deliver)
{
    bool overBound = refusing;
    bool finished = false;
    for (size_t at = 0; at < size;) {
        const size_t taken = scanner.Take(data + at, size - at);
        if (!refusing && message.size() + taken > bound) {
            refusing = overBound = true;
            message.clear();
        }
        if (!refusing)
            message.append(data + at, taken);
        at += taken;
        if (scanner.Ended()) {
            finished = true;
            if (int error = Finish(deliver))
                return error;
        }
    }
    // An empty message with END is still a message.
    if (end && (!message.empty() || refusing || !finished)) {
        if (int error = Finish(deliver))
            return error;
    }
    return overBound || refusing ? kOverBound : 0;
}

int MessageGatherer::Finish(const Deliver &deliver)
{
    const bool refused = refusing;
    const bool asks = scanner.Asks();
    std::string whole;
    whole.swap(message);
    Clear();
    return refused ? 0 : deliver(whole, asks);
}

void MessageGatherer::Clear()
{
    message.clear();
    refusing = false;
    scanner.Start();
}

} // namespace ostrel::tool::serve
