// Reply parsers against the replies instruments give, malformed ones included, each read from a buffer of
// exactly its size.
#include "parsing/ReplyParsing.h"

#include <gtest/gtest.h>

#include <climits>
#include <vector>
#include <string>

namespace ostrel {
namespace {

// A heap copy without a terminator, so that AddressSanitizer catches any read before or past the bytes given.
std::vector<char> Exact(const std::string &bytes) { return {bytes.begin(), bytes.end()}; }

using namespace std::string_literals; // for the replies with a NUL inside

TEST(ReplyParsing, TextEndsAtTheLastLineEndTakingACrBeforeIt)
{
    const std::pair<std::string, size_t> cases[] = {
        {"abc\r\n", 3}, {"abc\r", 3}, {"abc\n", 3}, {"a\r\nb", 1}, {"\r\n", 0}, {"\r", 0}, {"\n", 0}, {"abc", 3},
        {"", 0}, {"abc\r\r", 3}, {"abc\n\r", 4}, {"a\nb\r\nc", 3}, {"\r\nabc", 0}, {"a\0b\n"s, 3},
        {std::string(64, 'x'), 64},
    };
    for (const auto &[reply, length] : cases)
        EXPECT_EQ(ReplyTextLength(Exact(reply).data(), reply.size()), length) << '"' << reply << '"';
}

TEST(ReplyParsing, KeyIsTheModelAndEverythingFromTheBlankBeforeTheFifthField)
{
    const std::pair<std::string, std::string> cases[] = {
        {"VORN 2936-R 1.0.3 01/02/24 SN12345", "2936-R SN12345"}, {"p q r s t", "q t"}, {"p q r s t u", "q t u"},
        // Fewer fields: keyed by those found.
        {"", ""}, {"VORN", ""}, {"VORN 2936-R", "2936-R"}, {"VORN 2936-R 1.0.3 01/02/24", "2936-R"},
        {"VORN 2936-R 1.0.3 01/02/24 ", "2936-R "}, {" 2936-R", "2936-R"}, {"VORN ", ""},
        // Nothing is trimmed, only 0x20 separates fields, and the text ends at its NUL.
        {"p q\tr s t", "q\tr"}, {"p q r s  t", "q  t"}, {"p q r s t\0 x y"s, "q t"}, {"p q\0 r s t"s, "q"},
        // A full 64-char reply without a NUL: every step stops at the capacity.
        {"p q r s " + std::string(56, 'x'), "q " + std::string(56, 'x')}, {std::string(64, 'x'), ""},
        {"p " + std::string(62, 'q'), std::string(62, 'q')},
    };
    for (const auto &[reply, key] : cases)
        EXPECT_EQ(ExtractDeviceKey(Exact(reply).data(), reply.size()), key) << '"' << reply << '"';
    EXPECT_EQ(ExtractDeviceKey(Exact("p q r s t").data(), 7), "q");
    EXPECT_LE(ExtractDeviceKey(Exact(std::string(64, ' ')).data(), 64).size(), 64u); // within the bytes given
}

TEST(ReplyParsing, LeadingIntReadsLikeAtoiAndClampsInsteadOfOverflowing)
{
    const std::pair<std::string, int> cases[] = {
        {"5", 5}, {"X", 0}, {" 12abc", 12}, {"", 0}, {"-7", -7}, {"+8", 8}, {" \t\n\v\f\r9", 9}, {"007", 7},
        {"0x1F", 0}, {"- 5", 0}, {"--5", 0}, {"+", 0}, {"1 2", 1}, {"2147483647", INT_MAX}, {"2147483648", INT_MAX},
        {"-2147483648", INT_MIN}, {"-2147483649", INT_MIN}, {std::string(63, '9'), INT_MAX},
        {"-" + std::string(40, '9'), INT_MIN},
        {"4\0002"s, 4}, {std::string(64, '1'), INT_MAX},
    };
    for (const auto &[text, value] : cases)
        EXPECT_EQ(ParseLeadingInt(Exact(text).data(), text.size()), value) << '"' << text << '"';
    EXPECT_EQ(ParseLeadingInt(Exact("12345").data(), 2), 12);
    EXPECT_EQ(ParseLeadingInt(Exact("12345").data(), 0), 0);
}

TEST(ReplyParsing, ModelIsTheLeadingNumberAndSerialTheFirstDigitsAfterTheBlank)
{
    const struct {
        std::string key;
        int model, serial;
    } cases[] = {
        {"25 SN678", 25, 678}, {"ABC 12", 0, 12}, {"2936-R SN12345", 2936, 12345}, {"2936", 2936, 0},
        {"25 SN", 25, 0}, {"25 ", 25, 0}, {"", 0, 0}, {" 7", 7, 7}, {"25 A1B2", 25, 1}, {"25 X Y 9", 25, 9},
        // The serial's digits are taken without a sign in front of them.
        {"25 SN-678", 25, 678}, {"-25 SN99999999999", -25, INT_MAX},
    };
    for (const auto &c : cases) {
        const ModelSerial parsed = ParseModelSerial(c.key);
        EXPECT_EQ(std::make_pair(parsed.model, parsed.serial), std::make_pair(c.model, c.serial)) << c.key;
    }
}

} // namespace
} // namespace ostrel
