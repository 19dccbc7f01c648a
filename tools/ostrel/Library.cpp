// Loading the Ostrel library at run time and finding its functions.
#include "Library.h"

#include "System.h"

#include <cstdlib>

namespace ostrel::tool {
namespace {

template <class Function>
void Find(void *module, const char *name, Function &function, std::string &missing)
{
    function = reinterpret_cast<Function>(os::FindFunction(module, name));
    if (function == nullptr)
        missing += std::string(missing.empty() ? "" : ", ") + name;
}

std::string BindApi(void *module, Api &api)
{
    std::string missing;
    Find(module, "vorn_usb_open_devices", api.vorn_usb_open_devices, missing);
    Find(module, "vorn_usb_event_init", api.vorn_usb_event_init, missing);
    Find(module, "vorn_usb_uninit_system", api.vorn_usb_uninit_system, missing);
    Find(module, "vorn_usb_GetDeviceCount", api.vorn_usb_GetDeviceCount, missing);
    Find(module, "vorn_usb_GetDeviceKeys", api.vorn_usb_GetDeviceKeys, missing);
    Find(module, "vorn_usb_GetDeviceKeyFromDeviceID", api.vorn_usb_GetDeviceKeyFromDeviceID, missing);
    Find(module, "vorn_usb_get_device_info", api.vorn_usb_get_device_info, missing);
    Find(module, "GetInstrumentList", api.GetInstrumentList, missing);
    Find(module, "vorn_usb_write_by_key", api.vorn_usb_write_by_key, missing);
    Find(module, "vorn_usb_write_binary_by_key", api.vorn_usb_write_binary_by_key, missing);
    Find(module, "vorn_usb_read_by_key", api.vorn_usb_read_by_key, missing);
    Find(module, "vorn_usb_SetLogging", api.vorn_usb_SetLogging, missing);
    Find(module, "vorn_usb_SetTraceLog", api.vorn_usb_SetTraceLog, missing);
    return missing;
}

bool BindBench(void *module, BenchApi &bench)
{
    std::string missing;
    Find(module, "ostrel_sim_load_bench", bench.ostrel_sim_load_bench, missing);
    Find(module, "ostrel_sim_plug", bench.ostrel_sim_plug, missing);
    Find(module, "ostrel_sim_unplug", bench.ostrel_sim_unplug, missing);
    Find(module, "ostrel_sim_last_error", bench.ostrel_sim_last_error, missing);
    std::string optional;
    Find(module, "ostrel_sim_open_handles", bench.ostrel_sim_open_handles, optional);
    return missing.empty();
}

} // namespace

bool LoadOstrel(bool bench, Library &library, std::string &error)
{
    const char *chosen = std::getenv("OSTREL_LIBRARY");
    const std::vector<std::string> names =
        chosen != nullptr && *chosen != '\0' ? std::vector<std::string>{chosen} : os::LibraryNames(bench);
    error.clear();
    for (const std::string &name : names) {
        std::string reason;
        void *module = os::OpenLibrary(name, reason);
        if (module == nullptr) {
            error += (error.empty() ? "" : "; ") + reason;
            continue;
        }
        const std::string missing = BindApi(module, library.api);
        library.file = os::LibraryFile(module);
        if (!missing.empty()) {
            error += (error.empty() ? "" : "; ") + library.file + " is not an Ostrel library (no " + missing + ")";
            continue;
        }
        library.hasBench = BindBench(module, library.bench);
        library.kind = library.hasBench ? "simulated bench" : "real instruments";
        return true;
    }
    return false;
}

} // namespace ostrel::tool
