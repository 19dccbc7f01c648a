// The gateway's log: one timestamped line per connect, refusal, lock and
// change, on stdout (or the journal) through the log writer.
#pragma once

#include "../ostrel/Output.h"
#include "LogWriter.h"

#include <string>

namespace ostrel::tool::serve {

inline void Note(const std::string &text)
{
    QueueLogLine(Timestamp(), text);
}

} // namespace ostrel::tool::serve
