// The path spelling, file names and system name of the POSIX products.
#include "platform/SystemNames.h"

#include <cstring>
#include <string>
#include <sys/utsname.h>

namespace ostrel::platform {

const char *const kPathSeparator = "/";
const char *const kLibraryFileName = "libostrel.so";
const char *const kDriverFilePatterns[2] = {"libusb-1.0*.so*", "libudev*.so*"};

const char *OsFamilyName()
{
    // Callers copy it into a 14-character buffer, as for "Windows Vista".
    static const std::string name = [] {
        utsname system{};
        std::string sysname = uname(&system) == 0 ? system.sysname : "POSIX";
        return sysname.substr(0, 13);
    }();
    return name.c_str();
}

} // namespace ostrel::platform
