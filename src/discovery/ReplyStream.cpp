// Telling an instrument's answers from the replies it held from before.
#include "discovery/ReplyStream.h"

#include "parsing/ReplyParsing.h"

namespace {

const std::string &NoReply()
{
    static const std::string none;
    return none;
}

} // namespace

ReplyStream::Question ReplyStream::QuestionOf(const std::string &command)
{
    return command.rfind("*IDN?", 0) == 0 ? Question::Identity : Question::Address;
}

void ReplyStream::Heard(Question asked, std::string reply)
{
    exchanges.push_back({asked, std::move(reply)});
}

bool ReplyStream::Agrees() const
{
    // A reply without a line end ("VORN M7") may as well be one piece of a
    // longer one left from before: it has to come more often.
    if (!Keyed(Last()))
        return false;
    const size_t needed = Complete(Last()) ? 2 : 4;
    const size_t n = exchanges.size();
    if (n < needed)
        return false;
    for (size_t i = n - needed; i < n; ++i)
        if (exchanges[i].reply != Last())
            return false;
    return true;
}

const std::string &ReplyStream::Last() const
{
    return exchanges.empty() ? NoReply() : exchanges.back().reply;
}

const std::string *ReplyStream::LastReplyTo(Question asked) const
{
    for (auto exchange = exchanges.rbegin(); exchange != exchanges.rend(); ++exchange)
        if (exchange->asked == asked)
            return &exchange->reply;
    return nullptr;
}

size_t ReplyStream::BytesHeard() const
{
    return BytesOfFirst(exchanges.size());
}

size_t ReplyStream::HeldFromBefore(const std::string &identity) const
{
    const size_t n = exchanges.size();
    for (size_t held = 0; held < n; ++held) {
        bool answers = true;
        for (size_t i = held; answers && i < n; ++i) {
            const bool isIdentity = exchanges[i].reply == identity;
            answers = (exchanges[i - held].asked == Question::Identity) == isIdentity;
        }
        if (answers)
            return held;
    }
    return n;
}

size_t ReplyStream::BytesOfFirst(size_t count) const
{
    size_t bytes = 0;
    for (size_t i = 0; i < count && i < exchanges.size(); ++i)
        bytes += exchanges[i].reply.size();
    return bytes;
}

bool Complete(const std::string &reply)
{
    return ostrel::ReplyTextLength(reply.data(), reply.size()) != reply.size();
}

bool Keyed(const std::string &reply)
{
    const size_t text = ostrel::ReplyTextLength(reply.data(), reply.size());
    return !ostrel::ExtractDeviceKey(reply.data(), text).empty();
}
