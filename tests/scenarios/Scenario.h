// A small check harness for the scenarios that run the same on Linux
// (libostrel-sim.so) and on Windows under Wine (Ostrel.dll with the test-only
// shims, and OstrelSim.dll): checks, scenario registration, the log file,
// waiting with a limit.
#pragma once

#include "ostrel.h"
#include "ostrel_sim.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace ostrel::scenario {

// ---- Checks -----------------------------------------------------------------

// Counts and prints one check; returns `ok`.
bool Check(bool ok, const std::string &what, const std::string &detail, int line);

std::string Show(const std::string &value);
std::string Show(long long value);
std::string Show(const std::vector<std::string> &values);
std::string Show(const std::vector<int> &values);
std::string Show(const std::vector<std::pair<std::string, int>> &values);
inline std::string Show(int value) { return Show(static_cast<long long>(value)); }
inline std::string Show(unsigned value) { return Show(static_cast<long long>(value)); }
inline std::string Show(unsigned long value) { return std::to_string(value); }
inline std::string Show(unsigned long long value) { return std::to_string(value); }
inline std::string Show(const char *value) { return Show(std::string(value)); }

#define CHECK(cond, what) ::ostrel::scenario::Check((cond), (what), "failed: " #cond, __LINE__)
#define CHECK_EQ(actual, expected, what)                                                                      \
    [&](const auto &a, const auto &e) {                                                                       \
        return ::ostrel::scenario::Check(a == e, (what),                                                      \
                                         "expected: " + ::ostrel::scenario::Show(e) +                         \
                                             "\n       actual:   " + ::ostrel::scenario::Show(a),             \
                                         __LINE__);                                                           \
    }((actual), (expected))
// Ends the scenario when a check that the rest depends on fails.
#define REQUIRE(check)                                                                                        \
    do {                                                                                                      \
        if (!(check))                                                                                         \
            return;                                                                                           \
    } while (0)

// ---- Scenarios ----------------------------------------------------------------

// Scenarios register themselves at start-up; they run in name order, each in
// a process of its own, so that each meets a library that was never called.
bool Register(const char *name, void (*run)());

#define SCENARIO(name, function)                                                                              \
    static void function();                                                                                   \
    [[maybe_unused]] static const bool function##Registered = ::ostrel::scenario::Register(name, function);   \
    static void function()

// ---- Waiting ------------------------------------------------------------------

// Polls `done` until it holds or `limitMs` has passed; no speed is asserted,
// the limit only bounds a test that would otherwise hang.
bool WaitFor(const std::function<bool()> &done, unsigned limitMs = 20000);

// ---- The bench and the library ---------------------------------------------------

// The keys of examples/bench.json's instruments (slots 0, 1, 2), which is also their key order.
inline const std::vector<std::string> &BenchKeys()
{
    static const std::vector<std::string> keys = {"2936-R SN12345", "2940-T SN20871", "2955-L SN30502"};
    return keys;
}

// Plugs examples/bench.json: true when its three instruments are plugged
// (slots 0, 1, 2 in file order).
bool PlugBench();

// Everything the instrument in `slot` has received on its OUT pipe.
std::string Received(int slot);

// The device table's keys, in the library's order.
std::vector<std::string> DeviceKeys();

// The key registry: (key, device ID), in the library's order.
std::vector<std::pair<std::string, int>> Registry(size_t registered);

// Ends the scenario's library use as every scenario must: shut down, nothing
// left open on the bench.
void UninitLeavesNothingOpen();

// ---- The log --------------------------------------------------------------------

// The folder that stands for the documents folder, where the log is.
const std::string &Documents();

// The texts (after the "date time, pid, tid, " prefix) of the lines this
// process wrote to today's log.
std::vector<std::string> OwnLogTexts();

// The lines logged from here on.
class LogMark {
public:
    LogMark() : start(OwnLogTexts().size()) {}
    std::vector<std::string> NewTexts() const;
    int Count(const std::string &text) const;
    int CountPrefix(const std::string &prefix) const;

private:
    size_t start;
};

} // namespace ostrel::scenario
