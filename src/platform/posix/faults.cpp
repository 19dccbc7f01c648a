// Injected failures of named calls of the POSIX layer, for the bench's tests.
#include "faults.h"

#include "internal.h"
#include "platform/bus/FaultTable.h"

namespace ostrel::posix {
namespace {

// Every further call declared in winapi_posix.h, so that a fault can name any
// of them (FaultTable adds those implemented over the bus).
constexpr const char *kCalls[] = {
    "CloseHandle",
    "CreateDirectoryA",
    "CreateEventA",
    "CreateFileA",
    "CreateThread",
    "CreateWindowExA",
    "DefWindowProcA",
    "DestroyWindow",
    "FindClose",
    "FindFirstFileA",
    "FindNextFileA",
    "FormatMessageA",
    "GetCurrentProcessId",
    "GetCurrentThreadId",
    "GetExitCodeThread",
    "GetFileVersionInfoA",
    "GetFileVersionInfoSizeA",
    "GetFullPathNameA",
    "GetLastError",
    "GetLocalTime",
    "GetModuleFileNameA",
    "GetModuleHandleA",
    "GetSystemDirectoryA",
    "LocalAlloc",
    "LocalFree",
    "MsgWaitForMultipleObjects",
    "PeekMessageA",
    "RegisterClassExA",
    "RegisterDeviceNotificationA",
    "ResetEvent",
    "SHGetFolderPathA",
    "SetEvent",
    "SetLastError",
    "Sleep",
    "UnregisterClassA",
    "UnregisterDeviceNotification",
    "VerQueryValueA",
    "VerSetConditionMask",
    "VerifyVersionInfoW",
    "WaitForSingleObject",
};

// Never destroyed: calls may still arrive while the process exits.
calls::FaultTable &Faults()
{
    static calls::FaultTable *table = new calls::FaultTable(kCalls);
    return *table;
}

} // namespace

bool FaultHit(const char *call)
{
    return Faults().Hit(call, StoreLastError);
}

bool InjectFault(const std::string &call, DWORD error, unsigned after, unsigned times)
{
    return Faults().Inject(call, error, after, times);
}

void ClearFaults()
{
    Faults().Clear();
}

} // namespace ostrel::posix
