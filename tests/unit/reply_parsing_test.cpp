// Reply parsers against the replies instruments give, malformed ones included, each read from a buffer of exactly its size.
#include "discovery/ReplyParsing.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string>

namespace ostrel {
namespace {

// A heap copy without a terminator, so that AddressSanitizer catches any read
// before or past the bytes given.
class Exact {
public:
    explicit Exact(const std::string &bytes) : size(bytes.size()), data(new char[bytes.size()])
    {
        std::memcpy(data.get(), bytes.data(), size);
    }
    const char *get() const { return data.get(); }
    const size_t size;

private:
    std::unique_ptr<char[]> data;
};

TEST(ReplyParsing, TextEndsAtTheLastLineEndTakingACrBeforeIt)
{
    struct Case {
        std::string reply;
        size_t length;
    };
    const Case cases[] = {
        {.reply = "abc\r\n", .length = 3},   {.reply = "abc\r", .length = 3},
        {.reply = "abc\n", .length = 3},     {.reply = "a\r\nb", .length = 1},
        {.reply = "\r\n", .length = 0},      {.reply = "\r", .length = 0},
        {.reply = "\n", .length = 0},        {.reply = "abc", .length = 3},
        {.reply = "", .length = 0},          {.reply = "abc\r\r", .length = 3},
        {.reply = "abc\n\r", .length = 4},   {.reply = "a\nb\r\nc", .length = 3},
        {.reply = "\r\nabc", .length = 0},   {.reply = std::string("a\0b\n", 4), .length = 3},
        {.reply = std::string(64, 'x'), .length = 64},
    };
    for (const Case &c : cases) {
        Exact reply(c.reply);
        EXPECT_EQ(ReplyTextLength(reply.get(), reply.size), c.length) << '"' << c.reply << '"';
    }
}

TEST(ReplyParsing, KeyIsTheModelAndEverythingFromTheBlankBeforeTheFifthField)
{
    struct Case {
        std::string reply;
        std::string key;
    };
    const Case cases[] = {
        {.reply = "VORN 2936-R 1.0.3 01/02/24 SN12345", .key = "2936-R SN12345"},
        {.reply = "p q r s t", .key = "q t"},
        {.reply = "p q r s t u", .key = "q t u"},
        // Fewer fields: keyed by those found.
        {.reply = "", .key = ""},
        {.reply = "VORN", .key = ""},
        {.reply = "VORN 2936-R", .key = "2936-R"},
        {.reply = "VORN 2936-R 1.0.3", .key = "2936-R"},
        {.reply = "VORN 2936-R 1.0.3 01/02/24", .key = "2936-R"},
        {.reply = "VORN 2936-R 1.0.3 01/02/24 ", .key = "2936-R "},
        {.reply = " 2936-R", .key = "2936-R"},
        {.reply = "VORN ", .key = ""},
        // Nothing is trimmed, and only 0x20 separates fields.
        {.reply = "p q\tr s t", .key = "q\tr"},
        {.reply = "p q r s  t", .key = "q  t"},
        // The text ends at its NUL, whatever follows.
        {.reply = std::string("p q r s t\0 x y", 14), .key = "q t"},
        {.reply = std::string("p q\0 r s t", 10), .key = "q"},
    };
    for (const Case &c : cases) {
        Exact reply(c.reply);
        EXPECT_EQ(ExtractDeviceKey(reply.get(), reply.size), c.key) << '"' << c.reply << '"';
    }

    // A full 64-char reply without a NUL: every step stops at the capacity.
    Exact fieldsToTheEnd("p q r s " + std::string(56, 'x'));
    EXPECT_EQ(ExtractDeviceKey(fieldsToTheEnd.get(), 64), "q " + std::string(56, 'x'));
    for (const std::string &full : {std::string(64, 'x'), "p " + std::string(62, 'q'), "p q " + std::string(60, 'r'),
                                    std::string(64, ' ')}) {
        Exact reply(full);
        EXPECT_LE(ExtractDeviceKey(reply.get(), reply.size).size(), 64u);
    }
    Exact shorter("p q r s t");
    EXPECT_EQ(ExtractDeviceKey(shorter.get(), 7), "q");
}

TEST(ReplyParsing, LeadingIntReadsLikeAtoiAndClampsInsteadOfOverflowing)
{
    struct Case {
        std::string text;
        int value;
    };
    const Case cases[] = {
        {.text = "5", .value = 5},
        {.text = "X", .value = 0},
        {.text = " 12abc", .value = 12},
        {.text = "", .value = 0},
        {.text = "-7", .value = -7},
        {.text = "+8", .value = 8},
        {.text = " \t\n\v\f\r9", .value = 9},
        {.text = "007", .value = 7},
        {.text = "0x1F", .value = 0},
        {.text = "- 5", .value = 0},
        {.text = "--5", .value = 0},
        {.text = "+", .value = 0},
        {.text = "1 2", .value = 1},
        {.text = "2147483647", .value = INT_MAX},
        {.text = "2147483648", .value = INT_MAX},
        {.text = "-2147483648", .value = INT_MIN},
        {.text = "-2147483649", .value = INT_MIN},
        {.text = "99999999999999999999999999999999", .value = INT_MAX},
        {.text = "-99999999999999999999999999999999", .value = INT_MIN},
        {.text = std::string(63, '9'), .value = INT_MAX},
        {.text = std::string("4\0" "2", 3), .value = 4},
    };
    for (const Case &c : cases) {
        Exact text(c.text);
        EXPECT_EQ(ParseLeadingInt(text.get(), text.size), c.value) << '"' << c.text << '"';
    }
    Exact digits("12345");
    EXPECT_EQ(ParseLeadingInt(digits.get(), 2), 12);
    EXPECT_EQ(ParseLeadingInt(digits.get(), 0), 0);
    Exact sixtyFour(std::string(64, '1'));
    EXPECT_EQ(ParseLeadingInt(sixtyFour.get(), sixtyFour.size), INT_MAX);
}

TEST(ReplyParsing, ModelIsTheLeadingNumberAndSerialTheFirstDigitsAfterTheBlank)
{
    struct Case {
        std::string key;
        int model;
        int serial;
    };
    const Case cases[] = {
        {.key = "25 SN678", .model = 25, .serial = 678},
        {.key = "ABC 12", .model = 0, .serial = 12},
        {.key = "2936-R SN12345", .model = 2936, .serial = 12345},
        {.key = "2936", .model = 2936, .serial = 0},
        {.key = "25 SN", .model = 25, .serial = 0},
        {.key = "25 ", .model = 25, .serial = 0},
        {.key = "", .model = 0, .serial = 0},
        {.key = " 7", .model = 7, .serial = 7},
        {.key = "25 A1B2", .model = 25, .serial = 1},
        {.key = "25 X Y 9", .model = 25, .serial = 9},
        // The serial's digits are taken without a sign in front of them.
        {.key = "25 SN-678", .model = 25, .serial = 678},
        {.key = "-25 SN99999999999", .model = -25, .serial = INT_MAX},
    };
    for (const Case &c : cases) {
        ModelSerial parsed = ParseModelSerial(c.key);
        EXPECT_EQ(parsed.model, c.model) << '"' << c.key << '"';
        EXPECT_EQ(parsed.serial, c.serial) << '"' << c.key << '"';
    }
}

} // namespace
} // namespace ostrel
