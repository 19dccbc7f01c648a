// Fuzzes the device key cut from an identity reply: bounded by the reply, read no further than its capacity or NUL.
#include "FuzzCheck.h"
#include "parsing/ReplyParsing.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

// The same cut spelled with std::string searches: the model field, then the
// reply from the blank before its fifth field on.
std::string ExpectedKey(const std::string &text)
{
    const size_t first = text.find(' ');
    if (first == std::string::npos)
        return std::string();
    const size_t modelEnd = text.find(' ', first + 1);
    const std::string model = text.substr(first + 1, modelEnd == std::string::npos ? std::string::npos
                                                                                   : modelEnd - first - 1);
    if (modelEnd == std::string::npos)
        return model;
    const size_t thirdEnd = text.find(' ', modelEnd + 1);
    if (thirdEnd == std::string::npos)
        return model;
    const size_t fourthEnd = text.find(' ', thirdEnd + 1);
    if (fourthEnd == std::string::npos)
        return model;
    return model + text.substr(fourthEnd);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The block is exactly `size` bytes, often without a NUL: the parser must
    // stop at the capacity.
    const char *reply = reinterpret_cast<const char *>(data);
    const std::string key = ostrel::ExtractDeviceKey(reply, size);

    const std::string text(reply, strnlen(reply, size));
    FUZZ_CHECK(key.size() <= text.size());
    FUZZ_CHECK(key.find('\0') == std::string::npos);
    FUZZ_CHECK(key == ExpectedKey(text));
    return 0;
}
