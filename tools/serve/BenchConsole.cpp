// Bench commands on standard input while serve runs on the simulated bench.
#include "BenchConsole.h"

#include "Note.h"

#include <nlohmann/json.hpp>

#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <thread>

namespace ostrel::tool::serve {
namespace {

struct Bench {
    BenchApi api;
    std::vector<std::string> instruments; // as JSON, in the file's order
    std::vector<int> slots;               // each one's slot now; -1: unplugged
};

std::string Run(Bench &bench, const std::string &line)
{
    std::istringstream words(line);
    std::string verb;
    size_t index = 0;
    if (!(words >> verb >> index) || (verb != "plug" && verb != "unplug") || index >= bench.instruments.size())
        return "bench: '" + line + "' is not a bench command: plug N or unplug N, N from 0 to " +
               std::to_string(bench.instruments.size()) + " - 1";
    int &slot = bench.slots[index];
    if (verb == "unplug") {
        if (slot < 0 || bench.api.ostrel_sim_unplug(slot) != 0)
            return "bench: instrument " + std::to_string(index) + " is not plugged in";
        slot = -1;
        return "bench: unplugged instrument " + std::to_string(index);
    }
    if (slot >= 0)
        return "bench: instrument " + std::to_string(index) + " is plugged in already";
    slot = bench.api.ostrel_sim_plug(bench.instruments[index].c_str());
    return slot >= 0 ? "bench: plugged instrument " + std::to_string(index)
                     : std::string("bench: ") + bench.api.ostrel_sim_last_error();
}

} // namespace

void StartBenchConsole(Session &session)
{
    if (!session.library.hasBench || session.benchInstruments <= 0)
        return;
    auto bench = std::make_shared<Bench>();
    bench->api = session.library.bench;
    // The bench has taken the file already; it plugged its instruments in slots 0, 1, ...
    std::ifstream file(session.options.benchFile);
    const nlohmann::json parsed = nlohmann::json::parse(file, nullptr, false);
    if (!parsed.contains("instruments"))
        return;
    for (const nlohmann::json &instrument : parsed["instruments"]) {
        bench->instruments.push_back(instrument.dump());
        bench->slots.push_back(static_cast<int>(bench->slots.size()));
    }
    // Never joined: it waits on standard input, which may stay open after serve has stopped.
    std::thread([bench] {
        for (std::string line; std::getline(std::cin, line);)
            if (!line.empty())
                Note(Run(*bench, line));
    }).detach();
}

} // namespace ostrel::tool::serve
