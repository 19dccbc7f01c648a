// Where a client's (or an instrument's) messages end in the bytes it sends, as
// an IEEE 488.2 parser sees them, and a message gathered from the parts it is
// written in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace ostrel::tool::serve {

// A message ends at a newline, except inside a block: `#<n><length>` says how
// many bytes follow, whatever they are; `#0` runs to the message's END, which
// only a channel with an END of its own has (on a raw socket the newline is
// the only end, so there `#0` ends at it). A '#' inside a quoted string starts
// no block, but a newline ends even an unclosed string, so a stray quote
// costs one message, not the connection's step.
class MessageScanner {
public:
    explicit MessageScanner(bool endFlag) : endFlag(endFlag) {}

    // How many of the `size` bytes belong to the message under way; Ended()
    // says whether its end was among them.
    size_t Take(const char *data, size_t size);
    bool Ended() const { return state == State::kEnded; }
    // A '?' outside blocks and strings: the message asks for a reply.
    bool Asks() const { return asks; }
    // Inside a block whose header promises more bytes than came.
    bool InBlock() const;
    // The next message starts (also when END ended this one).
    void Start();

private:
    enum class State { kText, kQuoted, kHash, kDigits, kData, kIndefinite, kEnded };

    void Text(char byte);
    void Header(char byte);

    const bool endFlag;
    State state = State::kText;
    char quote = 0;
    unsigned digits = 0;     // of the length, still to come
    uint64_t remaining = 0; // the length, then the block's bytes still to come
    bool asks = false;
};

// A link's message, gathered until it ends; each message goes on whole, as
// the instrument is to see it. One longer than the bound is refused whole,
// up to its end: none of it goes on.
class MessageGatherer {
public:
    // The message and whether it asks; 0, or an error that stops the gathering.
    using Deliver = std::function<int(const std::string &message, bool asks)>;
    enum : int { kOverBound = -1 };

    MessageGatherer(size_t bound, bool endFlag) : bound(bound), scanner(endFlag) {}

    // `end`: these bytes end the message (VXI-11's END). 0; the first error a
    // delivery returned (the rest is dropped); or kOverBound.
    int Add(const char *data, size_t size, bool end, const Deliver &deliver);
    void Clear();
    // Bytes of a message already refused are still coming.
    bool Refusing() const { return refusing; }
    // A message has begun and not ended.
    bool Partial() const { return !message.empty() || refusing; }

private:
    int Finish(const Deliver &deliver);

    const size_t bound;
    MessageScanner scanner;
    std::string message;
    bool refusing = false;
};

} // namespace ostrel::tool::serve
