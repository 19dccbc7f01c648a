// The bench on Windows (OstrelSim.dll, and the test-only DLLs that put Ostrel.dll
// on it): the fault hook of the SetupAPI and WinUSB calls over the bench, what
// the bench's control API asks of the layer, and the bench's plugging reaching
// the library as pipes appearing and WM_DEVICECHANGE messages.
#include "platform/BenchHooks.h"
#include "platform/ExceptionBoundary.h"
#include "platform/bus/OverBusHost.h"
#include "platform/sim/BenchLayer.h"
#include "platform/sim/FaultTable.h"
#include "platform/winbench/DeviceNotifications.h"
#include "platform/winbench/DevicePipes.h"

#include <exception>

namespace {

// Only the calls over the bench can be made to fail: kernel32 and user32 are
// the system's own, so Inject refuses any other name. Never destroyed: calls
// may still arrive while the process exits.
ostrel::sim::FaultTable &Faults()
{
    static ostrel::sim::FaultTable *table = new ostrel::sim::FaultTable;
    return *table;
}

} // namespace

bool ostrel::hooks::FaultHit(const char *call)
{
    return Faults().Hit(call, calls::SetError);
}

namespace ostrel::sim {

bool InjectPlatformFault(const std::string &call, DWORD error, unsigned after, unsigned times)
{
    return Faults().Inject(call, error, after, times);
}

void ClearPlatformFaults()
{
    Faults().Clear();
}

int PlatformDeviceHandles()
{
    int open = -1; // out of memory: a count that makes any leak check fail
    CatchAll([&] { open = winbench::DevicePipes::Get().OpenClients(); }, [] {});
    return open;
}

} // namespace ostrel::sim

namespace {

// On the plugging thread, after the bench shows the change (Bus.h): the pipe
// first, so that the library can open what the message announces.
void OnHotplug(const GUID &interfaceClass, const std::string &benchPath, bool arrived)
{
    (void)interfaceClass;
    // Out of memory, the library misses this change, as it would miss a lost
    // notification on Windows; its next scan still sees the bench.
    ostrel::CatchAll(
        [&] {
            ostrel::winbench::DevicePipes &pipes = ostrel::winbench::DevicePipes::Get();
            const std::string path = arrived ? pipes.Arrived(benchPath) : pipes.Removed(benchPath);
            if (!path.empty())
                ostrel::winbench::SendDeviceChange(path, arrived);
        },
        [] {});
}

// Before the first plug: the DLL is loaded before the program can plug.
[[maybe_unused]] const bool listening = (ostrel::bus::SetHotplugListener(OnHotplug), true);

} // namespace
