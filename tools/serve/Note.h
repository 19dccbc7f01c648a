// The gateway's log: one timestamped line on stdout per connect, refusal, lock and change.
#pragma once

#include "../ostrel/Output.h"

#include <string>

namespace ostrel::tool::serve {

inline void Note(const std::string &text)
{
    Say(Timestamp() + "  " + text);
}

} // namespace ostrel::tool::serve
