// The simulated bench: plugging and unplugging, and the bus functions over it.
#include "platform/sim/Bench.h"

#include "platform/sim/BenchLayer.h"
#include "platform/sim/InstrumentJson.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ostrel::sim {
namespace {
// Outside the bench, so that setting it (the bench on Windows does at load time)
// does not create the bench and read OSTREL_BENCH before the program runs.
std::atomic<bus::HotplugListener> listener{nullptr};
} // namespace

const GUID kInstrumentInterfaceClass = {0x56AC4E2C, 0x9D3B, 0x4A6C, {0xBF, 0x25, 0xB3, 0xBD, 0x6E, 0x44, 0xFC, 0x00}};

Bench &Bench::Get()
{
    // Never destroyed: handles may still be closed while the process exits.
    static Bench *bench = [] {
        Bench *created = new Bench();
        created->PlugEnvironmentBench();
        return created;
    }();
    return *bench;
}

void Bench::PlugEnvironmentBench()
{
    const char *variable = BenchFileVariable();
    const char *path = std::getenv(variable);
    if (path == nullptr || *path == '\0')
        return;
    std::vector<InstrumentConfig> configs;
    std::vector<std::shared_ptr<Instrument>> plugged;
    std::string reason;
    // No caller to hand a failure to: the program's user reads stderr.
    if (!ParseBenchFile(path, configs, reason) || Insert(std::move(configs), plugged, reason) < 0)
        std::fprintf(stderr, "ostrel bench: %s not loaded, the bench is empty: %s\n", variable, reason.c_str());
}

int Bench::Plug(std::vector<InstrumentConfig> configs, std::string &reason)
{
    std::vector<std::shared_ptr<Instrument>> plugged;
    const int first = Insert(std::move(configs), plugged, reason);
    Notify(plugged, true);
    return first;
}

int Bench::Insert(std::vector<InstrumentConfig> configs, std::vector<std::shared_ptr<Instrument>> &plugged,
                  std::string &reason)
{
    std::lock_guard<std::mutex> lock(mutex);
    int slot = nextSlot;
    for (InstrumentConfig &config : configs) {
        if (config.serial.empty())
            config.serial = "SIM" + std::to_string(slot);
        if (config.path.empty())
            config.path = DefaultInterfacePath(config.vid, config.pid, config.serial);
        auto same = [&](const std::shared_ptr<Instrument> &other) { return SamePath(other->Path(), config.path); };
        if (std::any_of(present.begin(), present.end(), same) || std::any_of(plugged.begin(), plugged.end(), same)) {
            reason = "path already plugged: " + config.path;
            plugged.clear();
            return -1;
        }
        plugged.push_back(std::make_shared<Instrument>(slot++, std::move(config)));
    }
    const int first = nextSlot;
    nextSlot = slot;
    present.insert(present.end(), plugged.begin(), plugged.end());
    return first;
}

bool Bench::Unplug(int slot)
{
    std::shared_ptr<Instrument> instrument;
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = std::find_if(present.begin(), present.end(), [&](const auto &i) { return i->Slot() == slot; });
        if (it == present.end())
            return false;
        instrument = *it;
        present.erase(it);
        instrument->Remove();
    }
    Notify({instrument}, false);
    return true;
}

void Bench::UnplugAll()
{
    std::vector<std::shared_ptr<Instrument>> removed;
    {
        std::lock_guard<std::mutex> lock(mutex);
        removed.swap(present);
        for (const auto &instrument : removed)
            instrument->Remove();
    }
    Notify(removed, false);
}

std::shared_ptr<Instrument> Bench::Find(int slot) const
{
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto &instrument : present)
        if (instrument->Slot() == slot)
            return instrument;
    return nullptr;
}

std::shared_ptr<Instrument> Bench::FindPath(const std::string &path) const
{
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto &instrument : present)
        if (SamePath(instrument->Path(), path))
            return instrument;
    return nullptr;
}

std::vector<std::string> Bench::PresentPaths() const
{
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> paths;
    for (const auto &instrument : present)
        paths.push_back(instrument->Path());
    return paths;
}

void Bench::Notify(const std::vector<std::shared_ptr<Instrument>> &instruments, bool arrived) const
{
    for (const auto &instrument : instruments) {
        bus::HotplugListener call = sim::listener.load();
        if (call != nullptr)
            call(kInstrumentInterfaceClass, instrument->Path(), arrived);
    }
}

} // namespace ostrel::sim

namespace ostrel::bus {

using sim::Bench;

DWORD ListInterfaces(const GUID &interfaceClass, bool presentOnly, std::vector<std::string> &paths)
{
    paths.clear();
    if (std::memcmp(&interfaceClass, &sim::kInstrumentInterfaceClass, sizeof(GUID)) == 0)
        paths = Bench::Get().PresentPaths();
    else if (!presentOnly)
        return ERROR_NOT_FOUND;
    return presentOnly && paths.empty() ? ERROR_NO_MORE_ITEMS : ERROR_SUCCESS;
}

DWORD Open(const std::string &path, std::shared_ptr<Device> &device)
{
    std::shared_ptr<sim::Instrument> instrument = Bench::Get().FindPath(path);
    if (instrument == nullptr)
        return ERROR_FILE_NOT_FOUND;
    device = std::make_shared<Device>(std::move(instrument));
    Bench::Get().CountHandles(1);
    return ERROR_SUCCESS;
}

void Close(Device &device)
{
    if (!device.closed.exchange(true))
        Bench::Get().CountHandles(-1);
}

DWORD Claim(Device &device)
{
    if (device.instrument->Removed())
        return ERROR_BAD_COMMAND;
    device.claims.fetch_add(1);
    Bench::Get().CountHandles(1);
    return ERROR_SUCCESS;
}

void Release(Device &device)
{
    int claims = device.claims.load();
    while (claims > 0 && !device.claims.compare_exchange_weak(claims, claims - 1)) {
    }
    if (claims > 0)
        Bench::Get().CountHandles(-1);
}

DWORD GetEndpoints(Device &device, std::vector<Endpoint> &endpoints)
{
    // The interface's descriptors were read at arrival, so they outlive a removal.
    endpoints = device.instrument->Endpoints();
    return ERROR_SUCCESS;
}

DWORD GetDeviceDescriptor(Device &device, uint8_t *buffer, uint32_t length, uint32_t &transferred)
{
    transferred = 0;
    if (device.instrument->Removed())
        return ERROR_BAD_COMMAND;
    transferred = device.instrument->ReadDescriptor(buffer, length);
    return ERROR_SUCCESS;
}

DWORD Transfer(Device &device, uint8_t endpoint, uint8_t *data, uint32_t length, uint32_t timeoutMs,
               uint32_t &transferred)
{
    return device.instrument->Transfer(endpoint, data, length, timeoutMs, transferred);
}

DWORD Abort(Device &device, uint8_t endpoint)
{
    return device.instrument->Abort(endpoint);
}

DWORD Flush(Device &device, uint8_t endpoint)
{
    return device.instrument->Flush(endpoint);
}

void SetHotplugListener(HotplugListener listener)
{
    sim::listener.store(listener);
}

} // namespace ostrel::bus
