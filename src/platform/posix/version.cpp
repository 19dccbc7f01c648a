// Version tests and file version resources, neither of which this system has.
#include "platform/BenchHooks.h"
#include "platform/posix/internal.h"

#include <sys/stat.h>

namespace {

// A file that exists still has no version resource: ELF files carry none.
DWORD VersionResourceError(LPCSTR fileName)
{
    struct stat info {};
    if (fileName == nullptr || stat(fileName, &info) != 0)
        return ERROR_FILE_NOT_FOUND;
    return ERROR_RESOURCE_TYPE_NOT_FOUND;
}

} // namespace

using ostrel::posix::StoreLastError;

// Windows' layout: three bits of condition per field, the field given by the
// bit of its VER_* flag (VER_MINORVERSION at bit 0, VER_MAJORVERSION at 3,
// VER_SERVICEPACKMAJOR at 15, ...).
ULONGLONG WINAPI VerSetConditionMask(ULONGLONG mask, DWORD typeMask, BYTE condition)
{
    if (ostrel::hooks::FaultHit("VerSetConditionMask"))
        return 0;
    if (condition == 0)
        return mask;
    for (unsigned bit = 0; bit < 8; ++bit)
        if (typeMask & (1u << bit))
            mask |= static_cast<ULONGLONG>(condition & 7u) << (3 * bit);
    return mask;
}

// No Windows version runs here, so no test of one can hold.
BOOL WINAPI VerifyVersionInfoW(LPOSVERSIONINFOEXW info, DWORD typeMask, DWORDLONG conditionMask)
{
    if (ostrel::hooks::FaultHit("VerifyVersionInfoW"))
        return FALSE;
    if (info == nullptr || typeMask == 0 || conditionMask == 0) {
        StoreLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    StoreLastError(ERROR_OLD_WIN_VERSION);
    return FALSE;
}

DWORD WINAPI GetFileVersionInfoSizeA(LPCSTR fileName, LPDWORD handle)
{
    if (ostrel::hooks::FaultHit("GetFileVersionInfoSizeA"))
        return 0;
    if (handle != nullptr)
        *handle = 0;
    StoreLastError(VersionResourceError(fileName));
    return 0;
}

BOOL WINAPI GetFileVersionInfoA(LPCSTR fileName, DWORD, DWORD, LPVOID)
{
    if (ostrel::hooks::FaultHit("GetFileVersionInfoA"))
        return FALSE;
    StoreLastError(VersionResourceError(fileName));
    return FALSE;
}

// No call here ever fills a version block, so none can be queried.
BOOL WINAPI VerQueryValueA(LPCVOID, LPCSTR, LPVOID *buffer, PUINT length)
{
    if (ostrel::hooks::FaultHit("VerQueryValueA"))
        return FALSE;
    if (buffer != nullptr)
        *buffer = nullptr;
    if (length != nullptr)
        *length = 0;
    StoreLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return FALSE;
}
