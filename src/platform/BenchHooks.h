// Where the simulated products reach into the platform layer: every call of the
// POSIX layer and of the SetupAPI/WinUSB calls over the bus first asks whether
// the bench wants it to fail now, and the bench can say which folder stands for
// the user's documents folder. Only builds with OSTREL_BENCH_HOOKS (those the
// bench is part of) have these hooks; in every other product they are
// constants the compiler removes, so the real products carry none of it.
#pragma once

#include <string>

namespace ostrel::hooks {

#ifdef OSTREL_BENCH_HOOKS

// Called first thing by every call with its own name. True when the call must
// fail now; its error code is then already set. Release calls still release
// before they report the failure, so that a test injecting one can still see
// that nothing leaks. Defined by the bench's layer: sim/PosixBenchLayer.cpp,
// winbench/WindowsBenchLayer.cpp.
bool FaultHit(const char *call);

// The folder the bench set to stand for the user's documents folder. Asking
// fixes it: once the log may sit there, it can no longer change.
bool DocumentsFolder(std::string &folder);

#else

constexpr bool FaultHit(const char *) { return false; }
inline bool DocumentsFolder(std::string &) { return false; }

#endif

} // namespace ostrel::hooks
