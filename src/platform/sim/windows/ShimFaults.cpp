// Injected failures of the shims' SetupAPI and WinUSB calls.
#include "platform/sim/windows/ShimFaults.h"

#include "platform/bus/CallSupport.h"

namespace ostrel::shim {

calls::FaultTable &Faults()
{
    // Never destroyed: calls may still arrive while the process exits. No
    // calls of its own: the shims have only those over the bus.
    static calls::FaultTable *table = new calls::FaultTable;
    return *table;
}

} // namespace ostrel::shim

bool ostrel::calls::FaultHit(const char *call)
{
    return shim::Faults().Hit(call, SetError);
}
