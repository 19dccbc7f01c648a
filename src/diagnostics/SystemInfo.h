// What the log header and vorn_usb_GetOSName say about the machine: the OS,
// the executable, the system folder and the files installed there.
#pragma once

#include "platform/winapi.h"

#include <string>

class SystemInfo {
public:
    // Whether the running Windows is at least version major.minor.
    bool IsVersionAtLeast(WORD major, WORD minor) const;
    // "Windows 10", "Windows 8", "Windows 7", "Windows Vista", "Windows XP",
    // or the system's family name when no Windows version test holds (at most
    // 13 characters).
    std::string GetOSName() const;
    std::string GetExecutablePath() const;
    std::string GetSystemFolder() const;
    // "major.minor.build.revision", or empty when the file has no version.
    std::string GetFileVersion(const std::string &path) const;
    // One "<name> is installed." line for every file matching the pattern.
    void LogInstalledFiles(const std::string &pattern) const;
};
