// Fault injection into the POSIX layer: the bench can make a named call fail
// with a Windows error code, so that tests reach the error paths of the core.
#pragma once

#include "winapi_posix.h"

#include <string>

namespace ostrel::posix {

// Called first thing by every call of the layer with its own name. True when
// the call must fail now; the error code is then already set (SetLastError).
// Release calls (CloseHandle, LocalFree, FindClose, DestroyWindow,
// UnregisterClassA, UnregisterDeviceNotification, SetupDiDestroyDeviceInfoList,
// WinUsb_Free) still release before they report the failure, so that a test
// injecting one can still check that nothing leaks.
bool FaultHit(const char *call);

// The named call fails with `error` after `after` more successful calls,
// `times` times (0: from then on). False for a name that is not a call of the
// layer.
bool InjectFault(const std::string &call, DWORD error, unsigned after, unsigned times);

// Removes every injected fault.
void ClearFaults();

} // namespace ostrel::posix
