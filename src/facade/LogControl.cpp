// The logging and trace switches, the one-time log header and the OS name.
#include "facade/USB.h"

#include "diagnostics/Logger.h"
#include "platform/SystemNames.h"

#include <cstdio>

void USB::SetLogging(bool on)
{
    Switch(switches.logging, on, "USB::SetLogging");
}

void USB::SetTraceLog(bool on)
{
    Switch(switches.trace, on, "USB::SetTraceLog");
}

// Turning either switch on for the first time writes the header.
void USB::Switch(std::atomic<bool> &which, bool on, const char *method)
{
    Guarded(log, method, [&] {
        which = on;
        if (on)
            WriteLogHeader();
    });
}

// Written once per process, at the first switch-on, whichever thread gets
// there first.
void USB::WriteLogHeader()
{
    std::lock_guard<std::mutex> lock(headerMutex);
    Logger *logger = Logger::GetInstance();
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
