// The library's log as the tool reads it: where it is, and what this process
// wrote to it since a moment, so that messages say what the log says.
#pragma once

#include <string>
#include <vector>

namespace ostrel::tool {

// The log file of today: the one the library has open, else by its rule.
std::string LogPath();

// Why the folder OSTREL_LOG_DIR names cannot take the log ("" when it can,
// or when the variable is not set): the library then writes elsewhere.
std::string LogFolderProblem();

// Remembers how long the log is now; NewTexts() gives the texts (after the
// "date time, process, thread, " prefix) of this process's lines since.
class LogMark {
public:
    LogMark();
    std::vector<std::string> NewTexts() const;
    // The newest error line since the mark whose text starts with one of
    // `prefixes` ("" for none).
    std::string Last(const std::vector<std::string> &prefixes) const;

private:
    std::string path;
    long long offset = 0;
};

} // namespace ostrel::tool
