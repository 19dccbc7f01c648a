// The USB object: creation, the device count and the device-event callback.
#include "facade/USB.h"

#include "diagnostics/Logger.h"

#include <atomic>
#include <mutex>

namespace {
std::atomic<USB *> instance{nullptr};
std::mutex creationMutex;
} // namespace

USB::USB()
    : log(Logger::GetInstance(), switches, LogLines::DataSwitch::Logging), discover(winUsb, switches)
{
}

USB *USB::GetInstance()
{
    USB *existing = instance.load(std::memory_order_acquire);
    if (existing != nullptr)
        return existing;
    // Guarded, so that threads racing to the first call share one object.
    ostrel::CatchAll(
        [&] {
            std::lock_guard<std::mutex> lock(creationMutex);
            existing = instance.load(std::memory_order_relaxed);
            if (existing == nullptr) {
                existing = new USB();
                instance.store(existing, std::memory_order_release);
            }
        },
        [] { LogLines(Logger::GetInstance()).Error("USB::GetInstance: Exception."); });
    return existing;
}

void USB::SetEventCallback(DeviceEventCallback callback)
{
    Discover::SetEventCallback(callback);
}

int USB::GetDeviceCount()
{
    return Guarded(log, "USB::GetDeviceCount", 0, [&] { return static_cast<int>(discover.GetDeviceCount()); });
}
