// The Ostrel library the tool runs on, loaded at run time: the real one, or
// the simulated bench's, or the file OSTREL_LIBRARY names.
#pragma once

#include "ostrel.h"
#include "ostrel_sim.h"

#include <string>

namespace ostrel::tool {

// The functions of ostrel.h the tool calls, by their exported names.
struct Api {
    decltype(&::vorn_usb_open_devices) vorn_usb_open_devices = nullptr;
    decltype(&::vorn_usb_event_init) vorn_usb_event_init = nullptr;
    decltype(&::vorn_usb_uninit_system) vorn_usb_uninit_system = nullptr;
    decltype(&::vorn_usb_GetDeviceCount) vorn_usb_GetDeviceCount = nullptr;
    decltype(&::vorn_usb_GetDeviceKeys) vorn_usb_GetDeviceKeys = nullptr;
    decltype(&::vorn_usb_GetDeviceKeyFromDeviceID) vorn_usb_GetDeviceKeyFromDeviceID = nullptr;
    decltype(&::vorn_usb_get_device_info) vorn_usb_get_device_info = nullptr;
    decltype(&::GetInstrumentList) GetInstrumentList = nullptr;
    decltype(&::vorn_usb_write_by_key) vorn_usb_write_by_key = nullptr;
    decltype(&::vorn_usb_write_binary_by_key) vorn_usb_write_binary_by_key = nullptr;
    decltype(&::vorn_usb_read_by_key) vorn_usb_read_by_key = nullptr;
    decltype(&::vorn_usb_SetLogging) vorn_usb_SetLogging = nullptr;
    decltype(&::vorn_usb_SetTraceLog) vorn_usb_SetTraceLog = nullptr;
};

// The bench's control (ostrel_sim.h), in the simulated library only.
struct BenchApi {
    decltype(&::ostrel_sim_load_bench) ostrel_sim_load_bench = nullptr;
    decltype(&::ostrel_sim_plug) ostrel_sim_plug = nullptr;
    decltype(&::ostrel_sim_unplug) ostrel_sim_unplug = nullptr;
    decltype(&::ostrel_sim_last_error) ostrel_sim_last_error = nullptr;
    decltype(&::ostrel_sim_open_handles) ostrel_sim_open_handles = nullptr; // optional
};

struct Library {
    Api api;
    BenchApi bench;
    bool hasBench = false;
    std::string file; // the file loaded, as a full path
    std::string kind; // "real instruments" or "simulated bench"
};

// Loads OSTREL_LIBRARY if it is set, else the bench's library (`bench`) or
// the real one. False with every attempt's reason in `error`.
bool LoadOstrel(bool bench, Library &library, std::string &error);

} // namespace ostrel::tool
