// The scenario harness: checks and their counts, the bench and log helpers, and
// main(), which runs every scenario in a child process with a time limit.
#include "Scenario.h"

#include "ScenarioHost.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

namespace ostrel::scenario {
namespace {

int passed = 0;
int failed = 0;

std::vector<Scenario> &Scenarios()
{
    static std::vector<Scenario> scenarios;
    return scenarios;
}

std::string documents;

} // namespace

// ---- Checks -----------------------------------------------------------------

bool Check(bool ok, const std::string &what, const std::string &detail, int line)
{
    if (ok) {
        ++passed;
        std::printf("ok   - %s\n", what.c_str());
    } else {
        ++failed;
        std::printf("FAIL - %s (line %d)\n       %s\n", what.c_str(), line, detail.c_str());
    }
    std::fflush(stdout);
    return ok;
}

std::string Show(const std::string &value)
{
    std::string shown = "\"";
    for (unsigned char c : value) {
        if (c >= 0x20 && c < 0x7F) {
            shown += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            shown += escaped;
        }
    }
    return shown + "\"";
}

std::string Show(long long value)
{
    return std::to_string(value);
}

std::string Show(const std::vector<std::string> &values)
{
    std::string shown = "{";
    for (size_t i = 0; i < values.size(); ++i)
        shown += (i != 0 ? ", " : "") + Show(values[i]);
    return shown + "}";
}

std::string Show(const std::vector<int> &values)
{
    std::string shown = "{";
    for (size_t i = 0; i < values.size(); ++i)
        shown += (i != 0 ? ", " : "") + std::to_string(values[i]);
    return shown + "}";
}

std::string Show(const std::vector<std::pair<std::string, int>> &values)
{
    std::string shown = "{";
    for (size_t i = 0; i < values.size(); ++i)
        shown += (i != 0 ? ", " : "") + Show(values[i].first) + ": " + std::to_string(values[i].second);
    return shown + "}";
}

bool Register(const char *name, void (*run)())
{
    Scenarios().push_back({name, run});
    return true;
}

bool WaitFor(const std::function<bool()> &done, unsigned limitMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// ---- The bench and the library ---------------------------------------------------

bool PlugBench()
{
    int plugged = ostrel_sim_load_bench(host::BenchFile().c_str());
    return Check(plugged == 3, "the three instruments of examples/bench.json are plugged",
                 "ostrel_sim_load_bench gave " + std::to_string(plugged) + ": " + ostrel_sim_last_error(), __LINE__);
}

std::string Received(int slot)
{
    std::string bytes(4096, '\0');
    int count = ostrel_sim_received(slot, &bytes[0], static_cast<unsigned>(bytes.size()));
    bytes.resize(count > 0 ? static_cast<size_t>(count) : 0);
    return bytes;
}

std::vector<std::string> DeviceKeys()
{
    int count = vorn_usb_GetDeviceCount();
    std::vector<std::string> storage(static_cast<size_t>(count) + 1, std::string(64, '#'));
    std::vector<char *> buffers;
    for (std::string &buffer : storage)
        buffers.push_back(&buffer[0]);
    int listed = vorn_usb_GetDeviceKeys(buffers.data());
    CHECK(storage.back() == std::string(64, '#'), "vorn_usb_GetDeviceKeys writes no key past the count");
    std::vector<std::string> keys;
    for (int i = 0; i < listed && i < count; ++i)
        keys.push_back(storage[static_cast<size_t>(i)].c_str());
    return keys;
}

std::vector<std::pair<std::string, int>> Registry(size_t registered)
{
    std::vector<std::string> storage(registered, std::string(64, '#'));
    std::vector<char *> buffers;
    for (std::string &buffer : storage)
        buffers.push_back(&buffer[0]);
    std::vector<int> ids(registered, -12345);
    std::vector<std::pair<std::string, int>> registry;
    if (vorn_usb_event_get_attached_devices(buffers.data(), ids.data()) != 0)
        return registry;
    for (size_t i = 0; i < registered; ++i)
        registry.emplace_back(storage[i].c_str(), ids[i]);
    return registry;
}

void UninitLeavesNothingOpen()
{
    vorn_usb_uninit_system();
    CHECK_EQ(vorn_usb_GetDeviceCount(), 0, "vorn_usb_uninit_system empties the device table");
    CHECK_EQ(ostrel_sim_open_handles(), 0, "vorn_usb_uninit_system leaves no handle open on the bench");
}

// ---- The log --------------------------------------------------------------------

namespace {

std::string Today()
{
    std::time_t now = std::time(nullptr);
    char date[16];
    std::strftime(date, sizeof date, "%Y-%m-%d", std::localtime(&now));
    return date;
}

} // namespace

std::vector<std::string> OwnLogTexts()
{
    const char *separator = host::PathSeparator();
    std::ifstream file(documents + separator + "Log" + separator + "Log" + Today() + "_Native.txt",
                       std::ios::binary);
    std::vector<std::string> texts;
    const unsigned long self = host::ProcessId();
    for (std::string line; std::getline(file, line);) {
        // Text mode stores a line end as CR LF on Windows; a system error text
        // brings its own CR LF, which makes CR CR LF of it.
        while (!line.empty() && line.back() == '\r')
            line.pop_back();
        // "2024-01-02 03:04:05.678, <pid>, <tid>, <text>"
        unsigned long pid = 0, tid = 0;
        int textStart = -1;
        if (std::sscanf(line.c_str(), "%*4d-%*2d-%*2d %*2d:%*2d:%*2d.%*3d, %lu, %lu, %n", &pid, &tid, &textStart) !=
                2 ||
            textStart < 0 || pid != self)
            continue;
        texts.push_back(line.substr(static_cast<size_t>(textStart)));
    }
    return texts;
}

std::vector<std::string> LogMark::NewTexts() const
{
    std::vector<std::string> texts = OwnLogTexts();
    texts.erase(texts.begin(), texts.begin() + static_cast<std::ptrdiff_t>(std::min(start, texts.size())));
    return texts;
}

int LogMark::Count(const std::string &text) const
{
    std::vector<std::string> texts = NewTexts();
    return static_cast<int>(std::count(texts.begin(), texts.end(), text));
}

int LogMark::CountPrefix(const std::string &prefix) const
{
    int count = 0;
    for (const std::string &text : NewTexts())
        count += text.compare(0, prefix.size(), prefix) == 0;
    return count;
}

std::string Lines(const std::vector<std::string> &texts)
{
    std::string all;
    for (const std::string &text : texts)
        all += "\n         " + text;
    return all;
}

} // namespace ostrel::scenario

// ---- Running ---------------------------------------------------------------------

namespace {

using namespace ostrel::scenario;

// A scenario may wait on several pipe time-outs and watcher scans; a child
// still running after this is stuck.
constexpr unsigned kScenarioLimitMs = 120000;

int RunHere(const std::string &name, const std::string &countsFile)
{
    for (const Scenario &scenario : Scenarios()) {
        if (name != scenario.name)
            continue;
        documents = host::PrepareDocuments();
        scenario.run();
        std::ofstream(countsFile) << passed << ' ' << failed << '\n';
        return failed == 0 ? 0 : 1;
    }
    std::printf("no scenario named %s\n", name.c_str());
    return 2;
}

void RunInChild(const Scenario &scenario)
{
    std::printf("# %s\n", scenario.name);
    std::fflush(stdout);
    const std::filesystem::path counts =
        std::filesystem::temp_directory_path() /
        ("ostrel-scenario-" + std::to_string(host::ProcessId()) + "-" + scenario.name + ".counts");
    std::filesystem::remove(counts);
    int exitCode = -1;
    if (!host::RunProcess(host::ProgramPath(), {"--run", scenario.name, counts.string()}, kScenarioLimitMs,
                          exitCode)) {
        Check(false, std::string(scenario.name) + " ends within its time limit", "killed or not started", __LINE__);
        return;
    }
    int childPassed = -1, childFailed = -1;
    std::ifstream(counts) >> childPassed >> childFailed;
    std::filesystem::remove(counts);
    if (childPassed < 0 || childFailed < 0) {
        Check(false, std::string(scenario.name) + " runs to its end",
              "exit code " + std::to_string(exitCode) + " without its counts", __LINE__);
        return;
    }
    passed += childPassed;
    failed += childFailed;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && std::strcmp(argv[1], "--run") == 0)
        return RunHere(argv[2], argv[3]);
    std::sort(Scenarios().begin(), Scenarios().end(),
              [](const Scenario &a, const Scenario &b) { return std::strcmp(a.name, b.name) < 0; });
    for (const Scenario &scenario : Scenarios())
        if (argc == 1 || std::strcmp(argv[1], scenario.name) == 0)
            RunInChild(scenario);
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 && passed > 0 ? 0 : 1;
}
