// Fuzzes the address-reply number: atoi's value clamped to int, never reading past the capacity.
#include "FuzzCheck.h"
#include "parsing/ReplyParsing.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Exactly `size` bytes on the heap, usually without a NUL.
    const char *text = reinterpret_cast<const char *>(data);

    // strtoll stops at the first NUL, as the parser must.
    FUZZ_CHECK(ostrel::ParseLeadingInt(text, size) == ostrel::fuzz::ClampedDecimal(std::string(text, size)));

    // A smaller capacity is a shorter text.
    const size_t half = size / 2;
    FUZZ_CHECK(ostrel::ParseLeadingInt(text, half) == ostrel::fuzz::ClampedDecimal(std::string(text, half)));
    return 0;
}
