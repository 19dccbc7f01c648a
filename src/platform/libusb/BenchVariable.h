// OSTREL_BENCH under the library of real instruments.
#pragma once

namespace ostrel::usb {

// The variable belongs to the bench's library, which a program chooses when it is linked; linked
// against this one, it would seem to be ignored. Says so on stderr, once per process, when it is set.
void SayBenchVariableUnused();

} // namespace ostrel::usb
