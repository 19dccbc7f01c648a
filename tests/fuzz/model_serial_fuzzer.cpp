// Fuzzes model and serial numbers read from a device key: atoi's value for each, 0 when a part is missing.
#include "FuzzCheck.h"
#include "parsing/ReplyParsing.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Keys are texts: they end at the first NUL.
    const char *bytes = reinterpret_cast<const char *>(data);
    const std::string key(bytes, strnlen(bytes, size));
    const ostrel::ModelSerial parsed = ostrel::ParseModelSerial(key);

    FUZZ_CHECK(parsed.model == ostrel::fuzz::ClampedDecimal(key));

    const size_t blank = key.find(' ');
    const size_t digit = blank == std::string::npos ? std::string::npos : key.find_first_of("0123456789", blank);
    if (digit == std::string::npos) {
        FUZZ_CHECK(parsed.serial == 0);
    } else {
        // Digits without a sign: never negative.
        FUZZ_CHECK(parsed.serial >= 0);
        FUZZ_CHECK(parsed.serial == ostrel::fuzz::ClampedDecimal(key.substr(digit)));
    }
    return 0;
}
