// What identification asks an instrument and hears back, in order. An
// instrument answers its commands in order, so what a host hears is first the
// replies the instrument still held from before - a program that wrote and
// never read, however late those replies come - and then the answers to what
// it asked, one each. Once the identity is known (every "*IDN?" is answered
// with it), the order tells how many replies were held: the fewest for which
// every later reply answers its own question. Pure bookkeeping: the scan does
// the transfers.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

class ReplyStream {
public:
    enum class Question { Identity, Address };

    // The question a command asks.
    static Question QuestionOf(const std::string &command);

    // One command written and the bytes of the one read after it.
    void Heard(Question asked, std::string reply);
    void Clear() { exchanges.clear(); }

    // True when the last replies are the same reply that gives a device key:
    // two of a line, four of one without a line end.
    bool Agrees() const;
    // The last reply heard (empty if none).
    const std::string &Last() const;
    // The last reply heard after `asked`; null if it was not asked.
    const std::string *LastReplyTo(Question asked) const;
    size_t BytesHeard() const;

    // How many of the replies heard the instrument held from before, given its
    // identity reply: the fewest for which each later reply answers the
    // question asked that many exchanges earlier (an identity question with
    // the identity, an address question with anything else). As many answers
    // are still to come.
    size_t HeldFromBefore(const std::string &identity) const;
    // The bytes of the first `count` replies.
    size_t BytesOfFirst(size_t count) const;

private:
    struct Exchange {
        Question asked;
        std::string reply;
    };
    std::vector<Exchange> exchanges;
};

// A reply that holds a line end.
bool Complete(const std::string &reply);
// A reply whose text gives a device key; a measurement ("1.234\r\n") or a
// blank line does not, and no instrument is identified by one.
bool Keyed(const std::string &reply);
