// On the simulated bench, serve takes bench commands on standard input, so that
// a client's handling of an instrument unplugged and plugged back can be tried
// without hardware: "unplug N" and "plug N", N counting the bench file's
// instruments from 0.
#pragma once

#include "../ostrel/Cli.h"

namespace ostrel::tool::serve {

// Reads the commands on a thread of its own until standard input ends.
void StartBenchConsole(Session &session);

} // namespace ostrel::tool::serve
