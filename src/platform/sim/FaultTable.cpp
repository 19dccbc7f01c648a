// The table of injected faults, for the bench's layers: the POSIX layer and the bench on Windows.
#include "platform/sim/FaultTable.h"

#include <algorithm>
#include <iterator>

namespace ostrel::sim {
namespace {

// The calls of SetupApiOverBus.cpp and WinUsbOverBus.cpp.
const char *const kCallsOverBus[] = {
    "SetupDiDestroyDeviceInfoList",
    "SetupDiEnumDeviceInterfaces",
    "SetupDiGetClassDevsA",
    "SetupDiGetDeviceInterfaceDetailA",
    "WinUsb_AbortPipe",
    "WinUsb_FlushPipe",
    "WinUsb_Free",
    "WinUsb_GetDescriptor",
    "WinUsb_Initialize",
    "WinUsb_QueryInterfaceSettings",
    "WinUsb_QueryPipe",
    "WinUsb_ReadPipe",
    "WinUsb_SetPipePolicy",
    "WinUsb_WritePipe",
};

} // namespace

bool FaultTable::IsKnownCall(const std::string &call) const
{
    return std::find(std::begin(kCallsOverBus), std::end(kCallsOverBus), call) != std::end(kCallsOverBus) ||
           std::find(calls, calls + callCount, call) != calls + callCount;
}

bool FaultTable::Hit(const char *call, void (*setError)(DWORD))
{
    if (!any.load(std::memory_order_acquire))
        return false;
    DWORD error;
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto found = faults.find(call);
        if (found == faults.end())
            return false;
        Fault &fault = found->second;
        if (fault.passesLeft > 0) {
            --fault.passesLeft;
            return false;
        }
        error = fault.error;
        if (fault.failuresLeft > 0 && --fault.failuresLeft == 0) {
            faults.erase(found);
            any.store(!faults.empty(), std::memory_order_release);
        }
    }
    setError(error);
    return true;
}

bool FaultTable::Inject(const std::string &call, DWORD error, unsigned after, unsigned times)
{
    if (!IsKnownCall(call))
        return false;
    std::lock_guard<std::mutex> lock(mutex);
    faults[call] = Fault{error, after, times};
    any.store(true, std::memory_order_release);
    return true;
}

void FaultTable::Clear()
{
    std::lock_guard<std::mutex> lock(mutex);
    faults.clear();
    any.store(false, std::memory_order_release);
}

} // namespace ostrel::sim
