// What the SetupAPI and WinUSB calls over the bus need from the build they are
// part of: its last-error code, its handle table, the interface paths and the
// device behind a device handle.
//
// SetupApiOverBus.cpp and WinUsbOverBus.cpp are compiled into two builds, and
// each defines these functions once: the POSIX layer (posix/OverBusHost.cpp),
// and the bench on Windows (winbench/OverBusHost.cpp), which OstrelSim.dll and
// the test-only DLLs that put Ostrel.dll on the bench under Wine are made of.
#pragma once

#include "platform/bus/Bus.h"
#include "platform/bus/HandleTable.h"

#include <memory>
#include <string>
#include <vector>

namespace ostrel::calls {

// Sets the calling thread's last error.
void SetError(DWORD error);

// The table of the handles the calls hand out (device information sets,
// WinUSB interfaces).
HandleTable &Handles();

// The device interface paths SetupDiGetClassDevsA puts in a set, with the
// errors of bus::ListInterfaces.
DWORD InterfacePaths(const GUID &interfaceClass, bool presentOnly, std::vector<std::string> &paths);

// The bus device behind a device handle that CreateFileA opened on one of
// those paths, for WinUsb_Initialize; fails with WinUSB's error for a handle
// that is not such a device's.
DWORD DeviceOf(HANDLE file, std::shared_ptr<bus::Device> &device);

} // namespace ostrel::calls
