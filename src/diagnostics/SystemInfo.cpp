// The system queries behind the log header and the OS name.
#include "diagnostics/SystemInfo.h"

#include "diagnostics/Logger.h"
#include "platform/SystemNames.h"

#include <cstdio>
#include <vector>

bool SystemInfo::IsVersionAtLeast(WORD major, WORD minor) const
{
    OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    version.dwMajorVersion = major;
    version.dwMinorVersion = minor;
    version.wServicePackMajor = 0;
    DWORDLONG condition = 0;
    condition = VerSetConditionMask(condition, VER_MAJORVERSION, VER_GREATER_EQUAL);
    condition = VerSetConditionMask(condition, VER_MINORVERSION, VER_GREATER_EQUAL);
    condition = VerSetConditionMask(condition, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    return VerifyVersionInfoW(&version, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR, condition) !=
           FALSE;
}

std::string SystemInfo::GetOSName() const
{
    static const struct {
        WORD major;
        WORD minor;
        const char *name;
    } versions[] = {
        {.major = 10, .minor = 0, .name = "Windows 10"}, {.major = 6, .minor = 2, .name = "Windows 8"},
        {.major = 6, .minor = 1, .name = "Windows 7"},   {.major = 6, .minor = 0, .name = "Windows Vista"},
        {.major = 5, .minor = 1, .name = "Windows XP"},
    };
    for (const auto &version : versions)
        if (IsVersionAtLeast(version.major, version.minor))
            return version.name;
    return ostrel::platform::OsFamilyName();
}

std::string SystemInfo::GetExecutablePath() const
{
    char path[MAX_PATH] = {};
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    return std::string(path, length < MAX_PATH ? length : MAX_PATH - 1);
}

std::string SystemInfo::GetSystemFolder() const
{
    char path[MAX_PATH] = {};
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    return length < MAX_PATH ? std::string(path, length) : std::string();
}

std::string SystemInfo::GetFileVersion(const std::string &path) const
{
    DWORD unused = 0;
    DWORD size = GetFileVersionInfoSizeA(path.c_str(), &unused);
    if (size == 0)
        return std::string();
    std::vector<unsigned char> block(size);
    VS_FIXEDFILEINFO *info = nullptr;
    UINT infoLength = 0;
    if (!GetFileVersionInfoA(path.c_str(), 0, size, block.data()) ||
        !VerQueryValueA(block.data(), "\\", reinterpret_cast<LPVOID *>(&info), &infoLength) || infoLength == 0 ||
        info == nullptr)
        return std::string();
    char text[64];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", HIWORD(info->dwFileVersionMS), LOWORD(info->dwFileVersionMS),
                  HIWORD(info->dwFileVersionLS), LOWORD(info->dwFileVersionLS));
    return text;
}

void SystemInfo::LogInstalledFiles(const std::string &pattern) const
{
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (Logger *logger = Logger::GetInstance())
            logger->LogFormat(true, "%s is installed.", found.cFileName);
    } while (FindNextFileA(search, &found));
    FindClose(search);
}
