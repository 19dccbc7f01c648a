// list_and_query.cpp - every instrument attached, with its reply to *IDN? and to a measurement.
//
// Runs on any Ostrel library; on the simulated bench with OSTREL_BENCH naming a bench file:
//     OSTREL_BENCH=examples/bench.json ./list_and_query_cpp
#include "ostrel.hpp"

#include <chrono>
#include <iostream>

int main()
{
    using namespace std::chrono_literals;
    try {
        const std::vector<ostrel::InstrumentInfo> found = ostrel::discover();
        std::cout << found.size() << " instruments\n";
        for (const ostrel::InstrumentInfo &info : found) {
            const ostrel::Instrument instrument(info.key);
            std::cout << info.id << "  " << info.key << "  " << instrument.query("*IDN?") << '\n';
            // Not every instrument measures voltage: an unknown command goes unanswered.
            const ostrel::Result<std::string> volts = instrument.try_query("MEAS:VOLT?", 300ms);
            std::cout << "    MEAS:VOLT? " << (volts ? *volts : volts.failure()->reason) << '\n';
        }
    } catch (const ostrel::Error &error) {
        std::cerr << error.what() << '\n';
        return 1;
    }
    return 0;
}
