// Reading instruments, bench files and faults from JSON, with a reason for every refusal.
#pragma once

#include "platform/sim/Instrument.h"

#include <string>
#include <vector>

namespace ostrel::sim {

// One instrument from its JSON text. False with `reason` set for text that is
// not JSON or does not describe an instrument.
bool ParseInstrument(const char *text, InstrumentConfig &config, std::string &reason);

// Every instrument of a bench file ({"instruments": [ ... ]}); false, with the
// failing instrument's position in `reason`, if any of them is bad.
bool ParseBenchFile(const char *path, std::vector<InstrumentConfig> &configs, std::string &reason);

// A platform call made to fail: {"call": "WinUsb_Free", "error": 31, "after": 0, "times": 1}.
struct FaultConfig {
    std::string call;
    uint32_t error = 0;
    uint32_t after = 0;
    uint32_t times = 0;
};
bool ParseFault(const char *text, FaultConfig &fault, std::string &reason);

// JSON text (UTF-8) to bytes, one per code point; false for a code point above
// U+00FF.
bool CodePointsToBytes(const std::string &utf8, std::string &bytes);

} // namespace ostrel::sim
