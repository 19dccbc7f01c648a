// Telling an instrument's answers from the replies it held from before, by
// their order alone.
#include "discovery/ReplyStream.h"

#include <gtest/gtest.h>

namespace {

using Q = ReplyStream::Question;
const std::string kIdentity = "VORN 2936-R 1.0.3 01/02/24 SN12345\r\n";

ReplyStream Heard(std::initializer_list<std::pair<Q, std::string>> exchanges)
{
    ReplyStream stream;
    for (const auto &[asked, reply] : exchanges)
        stream.Heard(asked, reply);
    return stream;
}

TEST(ReplyStream, HeldRepliesAreCountedByTheLagOfTheAnswers)
{
    // A measurement written before the scan and answered late: its reply has
    // fields enough to make a key, yet it answers no *IDN?.
    ReplyStream late = Heard({{Q::Identity, "0 1 2 3 4 5\r\n"}, {Q::Identity, kIdentity}, {Q::Identity, kIdentity}});
    EXPECT_TRUE(late.Agrees());
    EXPECT_EQ(late.HeldFromBefore(kIdentity), 1u);
    EXPECT_EQ(late.BytesOfFirst(1), 13u);
    EXPECT_EQ(late.BytesHeard(), 13u + 2 * kIdentity.size());

    // Two held, with an ADDR? asked in between: its answer comes two replies later.
    ReplyStream mixed = Heard({{Q::Identity, "old\r\n"}, {Q::Address, "older\r\n"}, {Q::Identity, kIdentity},
                               {Q::Identity, "5\r\n"}});
    EXPECT_EQ(mixed.HeldFromBefore(kIdentity), 2u);

    // Nothing held: every reply answers its own question.
    ReplyStream clean = Heard({{Q::Address, "5\r\n"}, {Q::Identity, kIdentity}});
    EXPECT_EQ(clean.HeldFromBefore(kIdentity), 0u);
    EXPECT_FALSE(clean.Agrees()) << "one identity reply is not yet an agreement";
}

TEST(ReplyStream, AgreementNeedsAKeyAndMoreRepeatsWithoutALineEnd)
{
    const std::string piece = "VORN 2936-R";
    EXPECT_FALSE(Heard({{Q::Identity, piece}, {Q::Identity, piece}}).Agrees());
    EXPECT_TRUE(Heard({{Q::Identity, piece}, {Q::Identity, piece}, {Q::Identity, piece}, {Q::Identity, piece}}).Agrees());
    EXPECT_FALSE(Heard({{Q::Identity, "1.234\r\n"}, {Q::Identity, "1.234\r\n"}}).Agrees()) << "a measurement keys nothing";
    EXPECT_FALSE(Heard({{Q::Identity, "\r\n"}, {Q::Identity, "\r\n"}}).Agrees());
    EXPECT_FALSE(Heard({{Q::Identity, kIdentity}, {Q::Identity, "VORN 2936-R 1.0.3 01/02/24 SN1\r\n"}}).Agrees());
    EXPECT_EQ(ReplyStream::QuestionOf("*IDN?"), Q::Identity);
    EXPECT_EQ(ReplyStream::QuestionOf("ADDR?"), Q::Address);
}

} // namespace
