// A recording as a bench file: its JSON text, and the file written whole.
#pragma once

#include "recording/Recorder.h"

#include <map>
#include <string>

namespace ostrel::recording {

// The bench file that replays `instruments` (keyed by interface path).
std::string BenchFileText(const std::map<std::string, Instrument> &instruments);

// Writes `text` to a temporary file beside `file` and renames it over `file`,
// so that a reader (or a crash) never meets half a recording. False, with an
// error line in the log, when it cannot.
bool WriteWhole(const std::string &file, const std::string &text);

} // namespace ostrel::recording
