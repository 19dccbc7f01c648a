// The logging and trace switches, the one-time log header and the OS name.
#include "diagnostics/Logger.h"
#include "facade/USB.h"
#include "platform/platform.h"

#include <cstdio>

namespace {

// A switch lives in USB and, as a copy, in Discover; turning either on for the
// first time writes the header.
void Switch(USB &usb, std::atomic<bool> &own, std::atomic<bool> &discovers, bool on, const char *exceptionLine)
{
    try {
        own = on;
        discovers = on;
        if (on)
            usb.WriteLogHeader();
    } catch (...) {
        if (usb.logger != nullptr)
            usb.logger->Log(exceptionLine);
    }
}

} // namespace

void USB::SetLogging(bool on)
{
    Switch(*this, loggingEnabled, discover.loggingEnabled, on, "USB::SetLogging: Exception.");
}

void USB::SetTraceLog(bool on)
{
    Switch(*this, traceEnabled, discover.traceEnabled, on, "USB::SetTraceLog: Exception.");
}

// Written once per process, at the first switch-on, whichever thread gets
// there first.
void USB::WriteLogHeader()
{
    std::lock_guard<std::mutex> lock(headerMutex);
    if (headerWritten || logger == nullptr)
        return;
    const std::string separator = ostrel::platform::kPathSeparator;
    const std::string systemFolder = systemInfo.GetSystemFolder();
    logger->LogFormat(true, "********** Executable Path = %s **********", systemInfo.GetExecutablePath().c_str());
    logger->LogFormat(true, "OS: %s", systemInfo.GetOSName().c_str());
    logger->LogFormat(true, "%s-bit OS, %s-bit mode.", "64", "64");
    logger->LogFormat(true, "System Folder: %s", systemFolder.c_str());

    const std::string libraryCopy = systemFolder + separator + ostrel::platform::kLibraryFileName;
    if (std::FILE *file = std::fopen(libraryCopy.c_str(), "r")) {
        std::fclose(file);
        logger->LogFormat(true, "%s Version %s", libraryCopy.c_str(), systemInfo.GetFileVersion(libraryCopy).c_str());
    } else {
        logger->LogFormat(true, "The USB driver is not installed.  %s does not exist.", libraryCopy.c_str());
    }
    for (const char *pattern : ostrel::platform::kDriverFilePatterns)
        systemInfo.LogInstalledFiles(systemFolder + separator + pattern);
    headerWritten = true;
}

std::string USB::GetOSName()
{
    return systemInfo.GetOSName();
}
