// Refusal lines, at most one a second per client address, so that a client
// retrying without pause cannot fill the log: the lines held back are
// counted, and the count is said when that second is over.
#pragma once

#include <string>

namespace ostrel::tool::serve {

void NoteRefusal(const std::string &address, const std::string &text);

// Says the counts of the seconds that are over; called every so often.
void NoteHeldRefusals();

} // namespace ostrel::tool::serve
