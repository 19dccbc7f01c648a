// Fuzzes where a gateway client's messages end: the same messages whatever
// pieces the bytes arrive in, every byte in exactly one message, and a message
// over the bound dropped whole, never delivered in part.
#include "../../tools/serve/Messages.h"
#include "FuzzCheck.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

namespace {

using ostrel::tool::serve::MessageGatherer;

// The messages delivered from `bytes` fed in pieces of `piece` bytes, the last one with END.
std::vector<std::string> Gather(const std::string &bytes, size_t piece, size_t bound, bool endFlag)
{
    std::vector<std::string> messages;
    MessageGatherer gatherer(bound, endFlag);
    const MessageGatherer::Deliver keep = [&](const std::string &message, bool) {
        messages.push_back(message);
        return 0;
    };
    if (bytes.empty())
        gatherer.Add(bytes.data(), 0, true, keep);
    for (size_t at = 0; at < bytes.size(); at += piece)
        gatherer.Add(bytes.data() + at, std::min(piece, bytes.size() - at), at + piece >= bytes.size(), keep);
    return messages;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    // The first byte picks the channel, the pieces and the bound.
    const bool endFlag = (data[0] & 1) != 0;
    const size_t piece = 1 + (data[0] >> 1) % 16;
    const size_t bound = data[0] >> 3;
    const std::string bytes(reinterpret_cast<const char *>(data) + 1, size - 1);

    const std::vector<std::string> whole = Gather(bytes, bytes.size() + 1, SIZE_MAX, endFlag);
    std::string joined;
    for (const std::string &message : whole)
        joined += message;
    FUZZ_CHECK(joined == bytes);
    FUZZ_CHECK(Gather(bytes, 1, SIZE_MAX, endFlag) == whole);
    FUZZ_CHECK(Gather(bytes, piece, SIZE_MAX, endFlag) == whole);

    std::vector<std::string> within;
    std::copy_if(whole.begin(), whole.end(), std::back_inserter(within),
                 [&](const std::string &message) { return message.size() <= bound; });
    FUZZ_CHECK(Gather(bytes, piece, bound, endFlag) == within);
    return 0;
}
