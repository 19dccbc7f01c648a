// The device interface class under which the instruments' driver registers
// them: {56AC4E2C-9D3B-4A6C-BF25-B3BD6E44FC00}.
#pragma once

#include "platform/winapi.h"

inline const GUID DeviceInterfaceGuid = {0x56AC4E2C, 0x9D3B, 0x4A6C, {0xBF, 0x25, 0xB3, 0xBD, 0x6E, 0x44, 0xFC, 0x00}};
