// The systemd journal, where the gateway's lines go when systemd runs it:
// each line an entry of its own, never a write that can hold up the gateway.
#pragma once

#include <string>

namespace ostrel::tool::serve {

// True if standard output is the journal's stream (systemd says so in
// JOURNAL_STREAM) and this build can write entries to it.
bool OutputIsJournal();

// One entry; false if the journal did not take it.
bool ToJournal(const std::string &stamp, const std::string &text);

} // namespace ostrel::tool::serve
