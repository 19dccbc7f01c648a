// Fault injection into the test-only SetupAPI and WinUSB calls, so that the
// Windows suites reach the library's error paths as the Linux ones do.
#pragma once

#include "platform/bus/FaultTable.h"

namespace ostrel::shim {

// Only the calls the shims implement can be made to fail: kernel32 and user32
// are Wine's own, so Inject refuses any other name.
calls::FaultTable &Faults();

} // namespace ostrel::shim
