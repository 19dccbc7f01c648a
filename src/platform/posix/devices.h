// The object behind a device handle from CreateFileA, shared by the file and WinUSB calls.
#pragma once

#include "platform/posix/handles.h"
#include "platform/bus/Bus.h"

#include <memory>

namespace ostrel::posix {

// A device opened on the bus; CloseHandle gives the bus its handle back.
class DeviceFile : public HandleObject {
public:
    explicit DeviceFile(std::shared_ptr<bus::Device> device) : device(std::move(device)) {}
    void Release() override { bus::Close(*device); }

    const std::shared_ptr<bus::Device> device;
};

} // namespace ostrel::posix
