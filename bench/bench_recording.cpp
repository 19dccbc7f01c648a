// What OSTREL_RECORD costs a program: one ASCII query through two copies of
// libostrel-sim.so loaded side by side, one started without OSTREL_RECORD and
// one with it, in one run; the run ends with the ratio.
#include <benchmark/benchmark.h>

#include "ostrel.h"
#include "BenchSupport.h"
#include "ostrel_sim.h"

#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <filesystem>
#include <random>
#include <string>

namespace {

namespace fs = std::filesystem;

struct Copy {
    decltype(&::ostrel_sim_plug) plug = nullptr;
    decltype(&::ostrel_sim_set_documents_folder) documents = nullptr;
    decltype(&::vorn_usb_open_devices) open = nullptr;
    decltype(&::vorn_usb_send_ascii) send = nullptr;
    decltype(&::vorn_usb_get_ascii_by_DeviceID) get = nullptr;
    decltype(&::vorn_usb_uninit_system) uninit = nullptr;
    bool ready = false;
};

const fs::path &Folder()
{
    static const fs::path folder = [] {
        fs::path made = fs::temp_directory_path() / ("ostrel-bench-recording-" + std::to_string(std::random_device{}()));
        fs::create_directories(made);
        return made;
    }();
    return folder;
}

template <class Function> void Bind(void *library, const char *name, Function &function)
{
    function = reinterpret_cast<Function>(dlsym(library, name));
}

// A copy of the library under a name of its own, so that the loader gives it
// statics of its own: its own bench, and its own reading of OSTREL_RECORD.
Copy Load(const char *name, bool recording)
{
    Copy copy;
    Dl_info self{};
    if (dladdr(reinterpret_cast<void *>(&ostrel_sim_plug), &self) == 0 || self.dli_fname == nullptr)
        return copy;
    const fs::path file = Folder() / name;
    std::error_code failed;
    fs::copy_file(self.dli_fname, file, fs::copy_options::overwrite_existing, failed);
    if (recording)
        setenv("OSTREL_RECORD", (Folder() / "recording.json").c_str(), 1);
    void *library = failed ? nullptr : dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr)
        return copy;
    Bind(library, "ostrel_sim_plug", copy.plug);
    Bind(library, "ostrel_sim_set_documents_folder", copy.documents);
    Bind(library, "vorn_usb_open_devices", copy.open);
    Bind(library, "vorn_usb_send_ascii", copy.send);
    Bind(library, "vorn_usb_get_ascii_by_DeviceID", copy.get);
    Bind(library, "vorn_usb_uninit_system", copy.uninit);
    int count = 0;
    // The first transfer reads the environment; it is put back at once.
    copy.ready = copy.plug && copy.documents && copy.open && copy.send && copy.get && copy.uninit &&
                 copy.documents(Folder().c_str()) == 0 &&
                 copy.plug(R"({"vid": 6699, "pid": 1, "serial": "Q1", "replies": {
                     "*IDN?": "VORN 2936-R 1.0.3 01/02/24 SN1\r\n", "MEAS:VOLT?": "1.234\r\n"}})") >= 0 &&
                 copy.open(0, false, &count) == 0 && count == 1;
    unsetenv("OSTREL_RECORD");
    return copy;
}

Copy &Off()
{
    static Copy copy = Load("libostrel-sim-off.so", false);
    return copy;
}

Copy &On()
{
    static Copy copy = Load("libostrel-sim-on.so", true);
    return copy;
}

void Query(benchmark::State &state, const Copy &copy)
{
    if (!copy.ready) {
        state.SkipWithError("a copy of libostrel-sim.so could not be loaded and identify its instrument");
        return;
    }
    char command[] = "MEAS:VOLT?";
    char reply[64];
    unsigned got = 0;
    for (auto _ : state) {
        copy.send(0, command, 0);
        if (copy.get(0, reply, sizeof reply, &got) != 0 || std::strcmp(reply, "1.234") != 0) {
            state.SkipWithError("the query failed");
            break;
        }
    }
}

void BM_QueryRecordingOff(benchmark::State &state)
{
    Query(state, Off());
}
BENCHMARK(BM_QueryRecordingOff);

void BM_QueryRecordingOn(benchmark::State &state)
{
    Query(state, On());
}
BENCHMARK(BM_QueryRecordingOn);

} // namespace

int main(int argc, char **argv)
{
    ostrel::bench::RunWithReporter<ostrel::bench::RatioReporter>(argc, argv, [](const auto &times) {
        ostrel::bench::PrintRatio(times, "BM_QueryRecordingOn", "BM_QueryRecordingOff",
                                  "a query with OSTREL_RECORD = %.3f x the same query without it\n");
    });
    // The recording is written here, not at exit, and goes with the folder.
    for (Copy *copy : {&Off(), &On()})
        if (copy->ready)
            copy->uninit();
    std::error_code ignored;
    fs::remove_all(Folder(), ignored);
    return 0;
}
