// Fault injection into the test-only SetupAPI and WinUSB calls, so that the
// Windows suites reach the library's error paths as the Linux ones do.
#pragma once

#include "platform/winapi.h"

#include <string>

namespace ostrel::shim {

// Called first thing by every shim call with its own name. True when the call
// must fail now; its error code is then already set (SetLastError). The two
// release calls (SetupDiDestroyDeviceInfoList, WinUsb_Free) still release
// before they report the failure, so that a test can still see no leak.
bool FaultHit(const char *call);

// Only the calls the shims implement can be made to fail: kernel32 and user32
// are Wine's own. False for any other name.
bool InjectFault(const std::string &call, DWORD error, unsigned after, unsigned times);

void ClearFaults();

} // namespace ostrel::shim
