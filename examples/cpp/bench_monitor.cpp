// bench_monitor.cpp - event mode in a class: a monitor keeps the set of instruments present, told of
// every arrival and removal through a lambda. On the simulated bench it plugs an instrument of its
// own, sees it arrive and queries it, unplugs it, and sees it leave.
//     OSTREL_BENCH=examples/bench.json ./bench_monitor
#include "ostrel.hpp"
#include "ostrel_sim.h"

#include <chrono>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <set>
#include <string>

namespace {

class Monitor {
public:
    Monitor() : events_([this](const ostrel::Event &event) { OnEvent(event); }) {}

    // Waits until the instrument with this key is present (or gone); false if that takes too long.
    bool WaitFor(const std::string &key, bool present)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return present_.count(key) == (present ? 1u : 0u); });
    }

private:
    // On the library's watcher thread (on the constructor's for the instruments already there).
    void OnEvent(const ostrel::Event &event)
    {
        std::string line = (event.arrived ? "arrived: " : "left: ") + event.key;
        if (event.arrived)
            line += ", " + ostrel::Instrument(event.key).query("*IDN?");
        std::lock_guard<std::mutex> lock(mutex_);
        std::cout << line << std::endl;
        if (event.arrived)
            present_.insert(event.key);
        else
            present_.erase(event.key);
        changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::set<std::string> present_;
    ostrel::EventMode events_; // last: it calls OnEvent from its construction on, and is destroyed first
};

} // namespace

int main()
{
    try {
        Monitor monitor;
        const std::vector<ostrel::InstrumentInfo> present = ostrel::instruments();
        std::cout << present.size() << " instruments" << std::endl;
        for (const ostrel::InstrumentInfo &info : present)
            std::cout << info.id << "  " << info.key << "  " << ostrel::Instrument(info.key).query("*IDN?") << std::endl;

        const int slot = ostrel_sim_plug(R"({"vid": 6699, "pid": 10593, "serial": "SN40001",
            "replies": {"*IDN?": "VORN 2961-P 1.2.0 05/06/24 SN40001\r\n"}})");
        if (slot < 0 || !monitor.WaitFor("2961-P SN40001", true) || ostrel_sim_unplug(slot) != 0 ||
            !monitor.WaitFor("2961-P SN40001", false)) {
            std::cerr << "the plug or the unplug went unnoticed " << (slot < 0 ? ostrel_sim_last_error() : "") << '\n';
            return 1;
        }
    } catch (const ostrel::Error &error) {
        std::cerr << error.what() << '\n';
        return 1;
    }
    return 0;
}
