// What the tool can do with a simulated bench. The sim build plugs instruments
// and moves them in the demo; builds over real devices have no bench and say so.
#pragma once

#include <string>

namespace ostrel::tool {

// True in the build over the simulated bench.
bool HaveBench();

// Plugs every instrument of a bench file; false with the reason in `error`.
bool LoadBench(const std::string &path, std::string &error);

// Plugs the built-in bench (three instruments that answer *IDN? and ADDR?).
bool LoadDefaultBench(std::string &error);

// Plugs one instrument described in JSON; its slot, or -1 with `error`.
int PlugInstrument(const std::string &json, std::string &error);
bool UnplugInstrument(int slot);

// Where the library writes its log today.
std::string LogFilePath();

} // namespace ostrel::tool
