// The bench's C control API (ostrel_sim_*): argument checks and reasons, over Bench.
#include "platform/export.h"

#include "ostrel_sim.h"

#include "platform/sim/Bench.h"
#include "platform/sim/BenchLayer.h"
#include "platform/sim/InstrumentJson.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <exception>

namespace {

using ostrel::sim::Bench;

// Per thread, so that one thread's failure never changes another's reason.
thread_local std::string lastError;

int Fail(const std::string &reason)
{
    lastError = reason;
    return -1;
}

// No exception may cross the C boundary; the only ones left are out of memory.
template <class Body>
int Guarded(Body body)
{
    try {
        return body();
    } catch (const std::exception &e) {
        return Fail(std::string("internal error: ") + e.what());
    }
}

int InjectFault(const char *text)
{
    ostrel::sim::FaultConfig fault;
    std::string reason;
    if (!ostrel::sim::ParseFault(text, fault, reason))
        return Fail(reason);
    if (!ostrel::sim::InjectPlatformFault(fault.call, fault.error, fault.after, fault.times))
        return Fail("unknown platform call \"" + fault.call + "\"");
    return 0;
}

} // namespace

extern "C" {

OSTREL_API int ostrel_sim_plug(const char *instrument_json)
{
    return Guarded([&] {
        ostrel::sim::InstrumentConfig config;
        std::string reason;
        if (!ostrel::sim::ParseInstrument(instrument_json, config, reason))
            return Fail(reason);
        std::vector<ostrel::sim::InstrumentConfig> configs;
        configs.push_back(std::move(config));
        int slot = Bench::Get().Plug(std::move(configs), reason);
        return slot < 0 ? Fail(reason) : slot;
    });
}

OSTREL_API int ostrel_sim_unplug(int slot)
{
    return Guarded([&] {
        return Bench::Get().Unplug(slot) ? 0 : Fail("no instrument plugged in slot " + std::to_string(slot));
    });
}

OSTREL_API int ostrel_sim_load_bench(const char *path)
{
    return Guarded([&] {
        std::vector<ostrel::sim::InstrumentConfig> configs;
        std::string reason;
        if (!ostrel::sim::ParseBenchFile(path, configs, reason))
            return Fail(reason);
        int count = static_cast<int>(configs.size());
        if (count != 0 && Bench::Get().Plug(std::move(configs), reason) < 0)
            return Fail(reason);
        return count;
    });
}

OSTREL_API void ostrel_sim_reset(void)
{
    Guarded([] {
        Bench::Get().UnplugAll();
        ostrel::sim::ClearPlatformFaults();
        return 0;
    });
}

OSTREL_API int ostrel_sim_inject_fault(const char *fault_json)
{
    return Guarded([&] { return InjectFault(fault_json); });
}

OSTREL_API int ostrel_sim_open_handles(void)
{
    return Bench::Get().OpenHandles() + ostrel::sim::PlatformDeviceHandles();
}

OSTREL_API int ostrel_sim_received(int slot, char *buffer, unsigned length)
{
    return Guarded([&] {
        std::shared_ptr<ostrel::sim::Instrument> instrument = Bench::Get().Find(slot);
        if (instrument == nullptr)
            return Fail("no instrument plugged in slot " + std::to_string(slot));
        if (buffer == nullptr && length != 0)
            return Fail("no buffer given (null)");
        std::string received = instrument->Received();
        size_t count = std::min<size_t>({received.size(), length, INT_MAX});
        if (count != 0)
            std::memcpy(buffer, received.data(), count);
        return static_cast<int>(count);
    });
}

OSTREL_API const char *ostrel_sim_last_error(void)
{
    return lastError.c_str();
}

OSTREL_API int ostrel_sim_set_documents_folder(const char *path)
{
    return Guarded([&] {
        if (path == nullptr)
            return Fail("no folder given (null)");
        std::string refused = ostrel::sim::SetPlatformDocumentsFolder(path);
        return refused.empty() ? 0 : Fail(refused);
    });
}

} // extern "C"
