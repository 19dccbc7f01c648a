// Helpers shared by the test suites: a private documents folder per test and
// reading back the log file the library writes there.
#pragma once

#include <string>
#include <vector>

namespace ostrel::test {

// Makes a fresh temporary folder the library's documents folder; call it before the first library call.
std::string UseTempDocuments();

// The log file the library opened today under `documents`.
std::string LogPath(const std::string &documents);

// The log's lines as stored, and their texts without the "date time, pid, tid, " prefix.
std::vector<std::string> LogLines(const std::string &documents);
std::vector<std::string> LogTexts(const std::string &documents);

// How many log texts are exactly `text` (with `prefix`: start with it).
int CountLog(const std::string &documents, const std::string &text, bool prefix = false);

// A bench instrument's default device path, lower-cased as discovery stores it.
std::string DefaultPath(unsigned vid, unsigned pid, const std::string &serial);

} // namespace ostrel::test
