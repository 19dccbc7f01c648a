// What the fuzz targets share: a check that stops the run on a broken invariant, and atoi's value computed the long way.
#pragma once

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

// libFuzzer keeps the input that made the process abort.
#define FUZZ_CHECK(condition)                                                                          \
    do {                                                                                               \
        if (!(condition)) {                                                                            \
            std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #condition);    \
            std::abort();                                                                              \
        }                                                                                              \
    } while (0)

namespace ostrel::fuzz {

// strtoll saturates at the long long range; clamping that to int is the value
// an address or model number must get.
inline int ClampedDecimal(const std::string &text)
{
    long long value = std::strtoll(text.c_str(), nullptr, 10);
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

} // namespace ostrel::fuzz
