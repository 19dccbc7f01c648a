// Fuzzes where a reply's text ends: always inside the bytes received, at the last line end (a CR before it going too).
#include "FuzzCheck.h"
#include "parsing/ReplyParsing.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // libFuzzer hands over a heap block of exactly `size` bytes: a read on
    // either side of it is reported.
    const char *reply = reinterpret_cast<const char *>(data);
    const size_t length = ostrel::ReplyTextLength(reply, size);
    FUZZ_CHECK(length <= size);

    const std::string bytes(reply, size);
    const size_t last = bytes.find_last_of("\r\n");
    if (last == std::string::npos) {
        FUZZ_CHECK(length == size);
    } else {
        const size_t expected = last > 0 && bytes[last - 1] == '\r' ? last - 1 : last;
        FUZZ_CHECK(length == expected);
    }
    return 0;
}
