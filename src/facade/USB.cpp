// The USB object: creation, the device count and argument checks.
#include "facade/USB.h"

#include "diagnostics/Logger.h"

#include <atomic>
#include <mutex>

namespace {
std::atomic<USB *> instance{nullptr};
std::mutex creationMutex;
} // namespace

USB::USB()
{
    try {
        logger = Logger::GetInstance();
    } catch (...) {
        logger = nullptr;
    }
}

USB *USB::GetInstance()
{
    USB *existing = instance.load(std::memory_order_acquire);
    if (existing != nullptr)
        return existing;
    try {
        // Guarded, so that threads racing to the first call share one object.
        std::lock_guard<std::mutex> lock(creationMutex);
        existing = instance.load(std::memory_order_relaxed);
        if (existing == nullptr) {
            existing = new USB();
            instance.store(existing, std::memory_order_release);
        }
        return existing;
    } catch (...) {
        if (Logger *log = Logger::GetInstance())
            log->Log("USB::GetInstance: Exception.");
    }
    return nullptr;
}

int USB::GetDeviceCount()
{
    try {
        return static_cast<int>(discover.GetDeviceCount());
    } catch (...) {
        if (logger != nullptr)
            logger->Log("USB::GetDeviceCount: Exception.");
    }
    return 0;
}

bool USB::ArgumentPresent(const char *function, const char *argument, const void *pointer)
{
    if (pointer != nullptr)
        return true;
    if (logger != nullptr)
        logger->LogFormat(true, "%s: %s is null.", function, argument);
    return false;
}
