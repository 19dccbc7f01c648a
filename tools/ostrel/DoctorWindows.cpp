// The doctor's checks on Windows: the instruments' interface class and the
// library's copy in the system folder.
#include "Doctor.h"

#include <windows.h>

namespace ostrel::tool {
namespace {

// Windows records a device interface class here once a driver has put a device under it.
const char kClassKey[] = "SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\{56ac4e2c-9d3b-4a6c-bf25-b3bd6e44fc00}";

Finding ClassFinding()
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kClassKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return {false,
                "the instruments' interface class {56AC4E2C-9D3B-4A6C-BF25-B3BD6E44FC00} is not registered: their "
                "driver was never installed (the log says \"GetDevInfoSet: Driver not installed.\")",
                "install the instruments' WinUSB driver package, then plug them in again"};
    RegCloseKey(key);
    return {true, "the instruments' interface class is registered", ""};
}

Finding LibraryCopyFinding()
{
    char folder[MAX_PATH];
    const UINT length = GetSystemDirectoryA(folder, sizeof folder);
    const std::string copy = std::string(folder, length < sizeof folder ? length : 0) + "\\ostrel.dll";
    if (GetFileAttributesA(copy.c_str()) == INVALID_FILE_ATTRIBUTES)
        return {false, copy + " does not exist (the log header says \"The USB driver is not installed.\")",
                "programs that load ostrel.dll from the system folder need it there: copy Ostrel.dll into it"};
    return {true, "the library's copy in the system folder: " + copy, ""};
}

} // namespace

std::vector<Finding> SystemFindings()
{
    return {ClassFinding(), LibraryCopyFinding()};
}

} // namespace ostrel::tool
