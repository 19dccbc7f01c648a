// What the bench's control API asks of the layer the library's calls go through:
// the POSIX layer on Linux, the SetupAPI and WinUSB calls over the bench on Windows.
#pragma once

#include "platform/bus/Bus.h"

#include <string>

namespace ostrel::sim {

// The named call of the layer fails with `error` after `after` more successful
// calls, `times` times (0: from then on). False for a name the layer does not
// implement, since a fault that can never fire would make a test pass for
// the wrong reason.
bool InjectPlatformFault(const std::string &call, DWORD error, unsigned after, unsigned times);

// Removes every injected fault.
void ClearPlatformFaults();

// Makes `path` the folder the layer reports as the user's documents folder.
// Empty on success, otherwise the reason it refused.
std::string SetPlatformDocumentsFolder(const char *path);

// Device handles on bench instruments that the layer counts itself instead of
// through bus::Open and bus::Close (those the bench counts).
int PlatformDeviceHandles();

// The environment variable naming the bench file that the bench plugs when it
// is first used: OSTREL_BENCH. (The test-only DLLs that stand Ostrel.dll on the
// bench name another, as the tool refuses OSTREL_BENCH with a library of real
// instruments.)
const char *BenchFileVariable();

} // namespace ostrel::sim
