// Standard output as the gateway's log writer uses it: the C runtime's
// descriptor, never stdio, whose lock a blocked write would hold through the
// process's exit.
#pragma once

#include <climits>
#include <cstddef>
#include <io.h>

namespace ostrel::tool::serve {

// Some of the bytes written: how many, or 0 once the reader has gone.
inline size_t WriteSomeOutput(const char *bytes, size_t count)
{
    const unsigned chunk = count > static_cast<size_t>(INT_MAX) ? static_cast<unsigned>(INT_MAX)
                                                                : static_cast<unsigned>(count);
    const int written = _write(1, bytes, chunk);
    return written > 0 ? static_cast<size_t>(written) : 0;
}

} // namespace ostrel::tool::serve
