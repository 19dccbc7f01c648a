// The scenario harness: checks, the bench and log helpers, and main(), which runs each scenario in a child process.
#include "Scenario.h"

#include "ScenarioHost.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <regex>
#include <thread>

namespace ostrel::scenario {
namespace {

int passed = 0, failed = 0;
std::string documents; // the folder of the library's log

// By name, filled by the scenarios' static initialisers.
std::map<std::string, void (*)()> &Scenarios() { static std::map<std::string, void (*)()> all; return all; }

template <typename T, typename F> std::string ShowAll(const std::vector<T> &values, F show)
{
    std::string shown;
    for (const T &value : values)
        shown += (shown.empty() ? "" : ", ") + show(value);
    return "{" + shown + "}";
}

// The keys `list` says it wrote into `count` buffers of 64 characters; it must leave one more alone.
std::vector<std::string> ListedKeys(size_t count, const std::function<int(char **)> &list)
{
    std::vector<std::string> storage(count + 1, std::string(64, '#')), keys;
    std::vector<char *> buffers;
    for (std::string &buffer : storage)
        buffers.push_back(&buffer[0]);
    const size_t listed = static_cast<size_t>(std::max(0, list(buffers.data())));
    CHECK(storage.back() == std::string(64, '#'), "no key is written past the count");
    for (size_t i = 0; i < std::min(listed, count); ++i)
        keys.push_back(storage[i].c_str());
    return keys;
}

} // namespace

bool Check(bool ok, const std::string &what, const std::string &detail, int line)
{
    ++(ok ? passed : failed);
    const std::string why = ok ? "" : " (line " + std::to_string(line) + ")\n       " + detail;
    return std::printf("%s - %s%s\n", ok ? "ok  " : "FAIL", what.c_str(), why.c_str()), std::fflush(stdout), ok;
}

constexpr char kHex[] = "0123456789ABCDEF";
std::string Show(const std::string &value)
{
    std::string shown;
    for (unsigned char c : value)
        shown += c >= 0x20 && c < 0x7F ? std::string(1, c) : std::string{'\\', 'x', kHex[c >> 4], kHex[c & 15]};
    return '"' + shown + '"';
}

std::string Show(long long value) { return std::to_string(value); }
std::string Show(const std::vector<std::string> &values) { return ShowAll(values, [](auto &v) { return Show(v); }); }
std::string Show(const std::vector<int> &values) { return ShowAll(values, [](int v) { return std::to_string(v); }); }
std::string Show(const std::vector<std::pair<std::string, int>> &values)
{
    return ShowAll(values, [](auto &v) { return Show(v.first) + ": " + std::to_string(v.second); });
}

bool Register(const char *name, void (*run)()) { return Scenarios().emplace(name, run).second; }

bool WaitFor(const std::function<bool()> &done, unsigned limitMs)
{
    for (unsigned waited = 0; !done(); waited += 10, std::this_thread::sleep_for(std::chrono::milliseconds(10)))
        if (waited >= limitMs)
            return false;
    return true;
}

bool PlugBench()
{
    const int plugged = ostrel_sim_load_bench(host::BenchFile().c_str());
    return Check(plugged == 3, "the three instruments of examples/bench.json are plugged",
                 "ostrel_sim_load_bench gave " + std::to_string(plugged) + ": " + ostrel_sim_last_error(), __LINE__);
}

std::string Received(int slot)
{
    std::string bytes(4096, '\0');
    return bytes.substr(0, std::max(0, ostrel_sim_received(slot, &bytes[0], static_cast<unsigned>(bytes.size()))));
}

std::vector<std::string> DeviceKeys()
{
    return ListedKeys(static_cast<size_t>(std::max(0, vorn_usb_GetDeviceCount())), vorn_usb_GetDeviceKeys);
}

std::vector<std::pair<std::string, int>> Registry(size_t registered)
{
    std::vector<int> ids(registered, -12345);
    std::vector<std::pair<std::string, int>> registry;
    for (const std::string &key : ListedKeys(registered, [&](char **keys) {
             return vorn_usb_event_get_attached_devices(keys, ids.data()) == 0 ? static_cast<int>(registered) : 0;
         }))
        registry.emplace_back(key, ids[registry.size()]);
    return registry;
}

void UninitLeavesNothingOpen()
{
    vorn_usb_uninit_system();
    CHECK_EQ(vorn_usb_GetDeviceCount(), 0, "vorn_usb_uninit_system empties the device table");
    CHECK_EQ(ostrel_sim_open_handles(), 0, "vorn_usb_uninit_system leaves no handle open on the bench");
}

std::vector<std::string> OwnLogTexts()
{
    const std::time_t now = std::time(nullptr);
    char date[16];
    std::strftime(date, sizeof date, "%Y-%m-%d", std::localtime(&now));
    std::ifstream file(documents + "/Log/Log" + date + "_Native.txt", std::ios::binary); // Windows takes '/' too
    // "<date> <time>, <pid>, <tid>, <text>", and CR CR LF after a system error text, which brings its own CR LF.
    const std::regex line(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}, (\d+), \d+, ([\s\S]*?)\r*)");
    std::vector<std::string> texts;
    for (std::string text; std::getline(file, text);)
        if (std::smatch parts; std::regex_match(text, parts, line) && std::stoul(parts[1]) == host::ProcessId())
            texts.push_back(parts[2]);
    return texts;
}

std::vector<std::string> LogMark::NewTexts() const
{
    const std::vector<std::string> texts = OwnLogTexts();
    return {texts.begin() + static_cast<std::ptrdiff_t>(std::min(start, texts.size())), texts.end()};
}

template <typename P> int Tally(const LogMark &mark, P matches)
{
    const std::vector<std::string> texts = mark.NewTexts();
    return static_cast<int>(std::count_if(texts.begin(), texts.end(), matches));
}
const std::string &Documents() { return documents; }

int LogMark::Count(const std::string &text) const { return Tally(*this, [&](auto &t) { return t == text; }); }
int LogMark::CountPrefix(const std::string &p) const { return Tally(*this, [&](auto &t) { return !t.rfind(p, 0); }); }

} // namespace ostrel::scenario

using namespace ostrel::scenario;

// Runs the scenarios named (all without a name), each in a child process that is taken for stuck after two minutes,
// which several pipe time-outs and watcher scans fit in well; a scenario passes when every check of its child did.
int main(int argc, char **argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--run") == 0 && Scenarios().count(argv[2]) != 0) {
        documents = host::PrepareDocuments();
        Scenarios()[argv[2]]();
        return failed == 0 ? 0 : 1;
    }
    for (const auto &[name, run] : Scenarios()) {
        if (argc > 1 && name != argv[1])
            continue;
        std::printf("# %s\n", name.c_str());
        std::fflush(stdout);
        int exitCode = -1;
        const bool ended = host::RunProcess(host::ProgramPath(), {"--run", name}, 120000, exitCode);
        Check(ended && exitCode == 0, "scenario " + name,
              ended ? "exit code " + std::to_string(exitCode) : "killed at its time limit, or not started", __LINE__);
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 && passed > 0 ? 0 : 1;
}
