// Helpers shared by the test suites: a private documents folder per test and
// reading back the log file the library writes there.
#pragma once

#include <string>
#include <vector>

namespace ostrel::test {

// Creates a fresh temporary folder and makes it the library's documents
// folder. Call before the first library call of the test; returns the folder.
std::string UseTempDocuments();

// The log file the library opened today under `documents`.
std::string LogPath(const std::string &documents);

// The log's lines with their "date time, pid, tid, " prefix removed.
std::vector<std::string> LogTexts(const std::string &documents);

// The log's lines as stored.
std::vector<std::string> LogLines(const std::string &documents);

// How many log lines have exactly this text.
int CountLog(const std::string &documents, const std::string &text);

// True if some log line's text starts with `prefix`.
bool LogHasPrefix(const std::string &documents, const std::string &prefix);

// The default device path of a bench instrument, lower-cased as discovery
// stores it.
std::string DefaultPath(unsigned vid, unsigned pid, const std::string &serial);

} // namespace ostrel::test
