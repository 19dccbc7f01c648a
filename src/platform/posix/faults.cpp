// Injected failures of named calls of the POSIX layer, for the bench's tests.
#include "faults.h"

#include "internal.h"

#include <algorithm>
#include <atomic>
#include <iterator>
#include <mutex>
#include <unordered_map>

namespace ostrel::posix {
namespace {

// Every call declared in winapi_posix.h, so that a fault can name any of them
// (also those implemented over the bus), sorted for the binary search.
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
    "SetupDiDestroyDeviceInfoList",
    "SetupDiEnumDeviceInterfaces",
    "SetupDiGetClassDevsA",
    "SetupDiGetDeviceInterfaceDetailA",
    "Sleep",
    "UnregisterClassA",
    "UnregisterDeviceNotification",
    "VerQueryValueA",
    "VerSetConditionMask",
    "VerifyVersionInfoW",
    "WaitForSingleObject",
    "WinUsb_Free",
    "WinUsb_GetDescriptor",
    "WinUsb_Initialize",
    "WinUsb_QueryInterfaceSettings",
    "WinUsb_QueryPipe",
    "WinUsb_ReadPipe",
    "WinUsb_SetPipePolicy",
    "WinUsb_WritePipe",
};

constexpr bool Before(const char *a, const char *b)
{
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return static_cast<unsigned char>(*a) < static_cast<unsigned char>(*b);
}

constexpr bool SortedByName()
{
    for (size_t i = 1; i < std::size(kCalls); ++i)
        if (!Before(kCalls[i - 1], kCalls[i]))
            return false;
    return true;
}
static_assert(SortedByName(), "the lookup is a binary search");

bool IsKnownCall(const std::string &call)
{
    return std::binary_search(std::begin(kCalls), std::end(kCalls), call.c_str(), Before);
}

struct Fault {
    DWORD error;
    unsigned passesLeft;   // calls that still succeed before the failures
    unsigned failuresLeft; // 0: fails from then on
};

struct FaultTable {
    std::mutex mutex;
    std::unordered_map<std::string, Fault> faults;
    // Lets every call skip the lock while no fault is injected, which is
    // almost always.
    std::atomic<bool> any{false};
};

FaultTable &Faults()
{
    static FaultTable *table = new FaultTable;
    return *table;
}

} // namespace

bool FaultHit(const char *call)
{
    FaultTable &table = Faults();
    if (!table.any.load(std::memory_order_acquire))
        return false;
    DWORD error;
    {
        std::lock_guard<std::mutex> lock(table.mutex);
        auto found = table.faults.find(call);
        if (found == table.faults.end())
            return false;
        Fault &fault = found->second;
        if (fault.passesLeft > 0) {
            --fault.passesLeft;
            return false;
        }
        error = fault.error;
        if (fault.failuresLeft > 0 && --fault.failuresLeft == 0) {
            table.faults.erase(found);
            table.any.store(!table.faults.empty(), std::memory_order_release);
        }
    }
    StoreLastError(error);
    return true;
}

bool InjectFault(const std::string &call, DWORD error, unsigned after, unsigned times)
{
    if (!IsKnownCall(call))
        return false;
    FaultTable &table = Faults();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.faults[call] = Fault{error, after, times};
    table.any.store(true, std::memory_order_release);
    return true;
}

void ClearFaults()
{
    FaultTable &table = Faults();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.faults.clear();
    table.any.store(false, std::memory_order_release);
}

} // namespace ostrel::posix
