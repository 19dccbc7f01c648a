// A build without libsystemd (Windows, or libsystemd-dev missing): the lines
// go to standard output, also under systemd, whose journal then takes them as
// plain output.
#include "Journal.h"

namespace ostrel::tool::serve {

bool OutputIsJournal()
{
    return false;
}

bool ToJournal(const std::string &, const std::string &)
{
    return false;
}

} // namespace ostrel::tool::serve
