// Names the core needs that Windows has no call for: how paths are spelled,
// the files the log header looks for and the system's family name. One
// definition per system: posix/system_names.cpp, windows/system_names.cpp.
#pragma once

namespace ostrel::platform {

// Separator between a folder and a name in this system's paths.
extern const char *const kPathSeparator;

// Name of the library's copy that the log header looks for in the system
// folder ("ostrel.dll" on Windows).
extern const char *const kLibraryFileName;

// Wildcard patterns of the USB driver files the log header lists, in order.
extern const char *const kDriverFilePatterns[2];

// Name of the operating system family, used when no Windows version test
// holds: "Windows" on Windows, the kernel's name elsewhere ("Linux"). At most
// 13 characters.
const char *OsFamilyName();

} // namespace ostrel::platform
