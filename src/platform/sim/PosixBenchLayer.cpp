// The bench on the POSIX layer (libostrel-sim.so): the fault hook the layer
// calls (platform/BenchHooks.h) and what the bench's control API asks of the
// layer (sim/BenchLayer.h); the documents folder is sim/DocumentsFolder.cpp's.
#include "platform/BenchHooks.h"
#include "platform/bus/OverBusHost.h"
#include "platform/sim/BenchLayer.h"
#include "platform/sim/FaultTable.h"

namespace ostrel {
namespace {

// Every call of the POSIX layer besides those over the bus (FaultTable knows
// those), so that a fault can name any of them.
constexpr const char *kPosixCalls[] = {
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
    "FreeLibrary",
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
    "GetModuleHandleExW",
    "GetSystemDirectoryA",
    "LocalAlloc",
    "LocalFree",
    "MoveFileExA",
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
sim::FaultTable &Faults()
{
    static sim::FaultTable *table = new sim::FaultTable(kPosixCalls);
    return *table;
}

} // namespace

bool hooks::FaultHit(const char *call)
{
    return Faults().Hit(call, calls::SetError);
}

bool sim::InjectPlatformFault(const std::string &call, DWORD error, unsigned after, unsigned times)
{
    return Faults().Inject(call, error, after, times);
}

void sim::ClearPlatformFaults()
{
    Faults().Clear();
}

int sim::PlatformDeviceHandles()
{
    // CreateFileA goes through bus::Open here, so the bench counts them all.
    return 0;
}

} // namespace ostrel
