// The path spelling, file names and system name of the Windows product.
#include "platform/SystemNames.h"

namespace ostrel::platform {

const char *const kPathSeparator = "\\";

const char *const kLibraryFileName = "ostrel.dll";

// The WDF co-installer and the WinUSB driver: the files that decide whether
// an instrument bound to WinUSB can be opened at all.
const char *const kDriverFilePatterns[2] = {"WdfCoInstaller*.dll", "winusb*.dll"};

const char *OsFamilyName() { return "Windows"; }

} // namespace ostrel::platform
