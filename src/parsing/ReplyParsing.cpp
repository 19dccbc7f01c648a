// Reading instruments' replies.
#include "parsing/ReplyParsing.h"

#include <climits>
#include <cstring>

namespace ostrel {

size_t ReplyTextLength(const char *data, size_t length)
{
    for (size_t i = length; i > 0; --i) {
        char c = data[i - 1];
        if (c != '\r' && c != '\n')
            continue;
        size_t end = i - 1;
        if (end > 0 && data[end - 1] == '\r')
            --end;
        return end;
    }
    return length;
}

namespace {

// Index of the next blank at or after `from`, or `end`.
size_t NextBlank(const char *text, size_t from, size_t end)
{
    while (from < end && text[from] != ' ')
        ++from;
    return from;
}

size_t BoundedLength(const char *text, size_t capacity)
{
    size_t length = 0;
    while (length < capacity && text[length] != '\0')
        ++length;
    return length;
}

} // namespace

std::string ExtractDeviceKey(const char *reply, size_t capacity)
{
    const size_t end = BoundedLength(reply, capacity);
    const size_t firstBlank = NextBlank(reply, 0, end);
    if (firstBlank == end)
        return std::string();
    const size_t modelStart = firstBlank + 1;
    const size_t modelEnd = NextBlank(reply, modelStart, end);
    std::string key(reply + modelStart, modelEnd - modelStart);
    if (modelEnd == end)
        return key;
    // Pass the blanks that end the third and fourth fields; the serial field
    // starts at the last of them, the blank included.
    const size_t thirdEnd = NextBlank(reply, modelEnd + 1, end);
    if (thirdEnd == end)
        return key;
    const size_t fourthEnd = NextBlank(reply, thirdEnd + 1, end);
    key.append(reply + fourthEnd, end - fourthEnd);
    return key;
}

int ParseLeadingInt(const char *text, size_t capacity)
{
    const size_t end = BoundedLength(text, capacity);
    size_t i = 0;
    while (i < end && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < end && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    long long value = 0;
    for (; i < end && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative)
        return static_cast<int>(-value < INT_MIN ? INT_MIN : -value);
    return static_cast<int>(value > INT_MAX ? INT_MAX : value);
}

ModelSerial ParseModelSerial(const std::string &key)
{
    ModelSerial result{.model = ParseLeadingInt(key.c_str(), key.size()), .serial = 0};
    size_t at = key.find(' ');
    if (at == std::string::npos)
        return result;
    at = key.find_first_of("0123456789", at + 1);
    if (at != std::string::npos)
        result.serial = ParseLeadingInt(key.c_str() + at, key.size() - at);
    return result;
}

} // namespace ostrel
