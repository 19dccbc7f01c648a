// Standard output as the gateway's log writer uses it: the descriptor itself,
// never stdio, whose lock a write blocked on a full pipe would hold through
// the process's exit.
#pragma once

#include <cerrno>
#include <cstddef>
#include <unistd.h>

namespace ostrel::tool::serve {

// Some of the bytes written: how many, or 0 once the reader has gone.
inline size_t WriteSomeOutput(const char *bytes, size_t count)
{
    for (;;) {
        const ssize_t written = write(STDOUT_FILENO, bytes, count);
        if (written >= 0 || errno != EINTR)
            return written > 0 ? static_cast<size_t>(written) : 0;
    }
}

} // namespace ostrel::tool::serve
