// What a scenario needs from the system it runs on: one implementation per
// platform (posix/ScenarioHostPosix.cpp, windows/ScenarioHostWindows.cpp),
// chosen by the build, so that the scenarios themselves stay the same source.
#pragma once

#include <string>
#include <vector>

namespace ostrel::scenario::host {

// Before the scenario's first library call: makes sure the library's log
// lands where the scenario can read it, and returns that documents folder
// (the log is <folder>/Log/Log<date>_Native.txt).
std::string PrepareDocuments();

// The bench file examples/bench.json, as a path this system opens.
std::string BenchFile();

// The system's text for a Windows error code, as the library's "GetLastError = "
// line shows it (without the line end). Wine words some of them differently
// from Windows; the POSIX layer keeps Windows' words.
std::string ErrorText(unsigned long code);

// This process's ID, as the log's line prefix writes it.
unsigned long ProcessId();

// The path of the running program.
std::string ProgramPath();

// The program of UnloadCheck.cpp, built beside this one, with the arguments
// that have it load this build's library (and the bench it plugs on) from
// scratch; the last says whether the library can leave the process at all.
std::vector<std::string> UnloadCheckCommand(const std::string &documents);

// Runs `program` with `arguments` and waits at most `limitMs` for it. True
// with its exit code when it ended in time; false when it could not be
// started or was killed at the limit.
bool RunProcess(const std::string &program, const std::vector<std::string> &arguments, unsigned limitMs,
                int &exitCode);

} // namespace ostrel::scenario::host
