// The tool's system services on Windows: LoadLibrary, the environment, the log's place.
#include "System.h"

#include <windows.h>
#include <shlobj.h>

#include <cstdlib>

namespace ostrel::tool::os {
namespace {


} // namespace

std::vector<std::string> LibraryNames(bool bench)
{
    if (bench)
        return {"OstrelSim.dll"};
    return {"Ostrel.dll"};
}

void *OpenLibrary(const std::string &name, std::string &error)
{
    HMODULE library = LoadLibraryA(name.c_str());
    if (library == nullptr) {
        char text[256] = "";
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, GetLastError(), 0, text,
                       sizeof text, nullptr);
        error = name + ": " + text;
        while (!error.empty() && (error.back() == '\n' || error.back() == '\r'))
            error.pop_back();
    }
    return reinterpret_cast<void *>(library);
}

void *FindFunction(void *library, const char *name)
{
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(library), name));
}

std::string LibraryFile(void *library)
{
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(static_cast<HMODULE>(library), path, sizeof path);
    return std::string(path, length < sizeof path ? length : 0);
}

void Unset(const char *variable)
{
    _putenv_s(variable, "");
}

unsigned long ProcessId()
{
    return GetCurrentProcessId();
}

std::string LogFolderByRule()
{
    const char *chosen = std::getenv("OSTREL_LOG_DIR");
    if (chosen != nullptr && *chosen != '\0')
        return std::string(chosen) + "\\";
    char documents[MAX_PATH];
    if (SUCCEEDED(SHGetFolderPathA(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, documents)))
        return std::string(documents) + "\\Log\\";
    char here[MAX_PATH];
    return std::string(GetCurrentDirectoryA(sizeof here, here) != 0 ? here : ".") + "\\";
}

std::string OpenLogFile()
{
    // Windows does not list a process's open files cheaply; the rule holds.
    return "";
}

} // namespace ostrel::tool::os
