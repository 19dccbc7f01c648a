// Injected failures of the shims' SetupAPI and WinUSB calls.
#include "platform/sim/windows/ShimFaults.h"

#include <algorithm>
#include <atomic>
#include <iterator>
#include <map>
#include <mutex>

namespace ostrel::shim {
namespace {

const char *const kCalls[] = {
    "SetupDiDestroyDeviceInfoList",
    "SetupDiEnumDeviceInterfaces",
    "SetupDiGetClassDevsA",
    "SetupDiGetDeviceInterfaceDetailA",
    "WinUsb_Free",
    "WinUsb_GetDescriptor",
    "WinUsb_Initialize",
    "WinUsb_QueryInterfaceSettings",
    "WinUsb_QueryPipe",
    "WinUsb_ReadPipe",
    "WinUsb_SetPipePolicy",
    "WinUsb_WritePipe",
};

struct Fault {
    DWORD error;
    unsigned passesLeft;   // calls that still succeed before the failures
    unsigned failuresLeft; // 0: fails from then on
};

struct FaultTable {
    std::mutex mutex;
    std::map<std::string, Fault> faults;
    // Lets every call skip the lock while nothing is injected.
    std::atomic<bool> any{false};
};

FaultTable &Faults()
{
    // Never destroyed: calls may still arrive while the process exits.
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
    SetLastError(error);
    return true;
}

bool InjectFault(const std::string &call, DWORD error, unsigned after, unsigned times)
{
    if (std::find(std::begin(kCalls), std::end(kCalls), call) == std::end(kCalls))
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

} // namespace ostrel::shim
