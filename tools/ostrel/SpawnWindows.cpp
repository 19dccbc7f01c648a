// Running another program on Windows: CreateProcessA, then its exit code.
#include "Spawn.h"

#include <windows.h>

namespace ostrel::tool::os {
namespace {

// One argument as the C runtime's parser reads it back: quoted when it holds
// blanks or quotes, backslashes doubled only before a quote.
std::string Quoted(const std::string &word)
{
    if (!word.empty() && word.find_first_of(" \t\"") == std::string::npos)
        return word;
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : word) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(2 * backslashes, '\\');
    return quoted + "\"";
}

} // namespace

int RunWithVariable(const std::vector<std::string> &command, const char *variable, const std::string &value,
                    std::string &error)
{
    std::string line;
    for (const std::string &word : command)
        line += (line.empty() ? "" : " ") + Quoted(word);
    SetEnvironmentVariableA(variable, value.c_str());
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                        &process);
    SetEnvironmentVariableA(variable, nullptr);
    if (!started) {
        error = "cannot run " + command[0] + " (error " + std::to_string(GetLastError()) + ")";
        return -1;
    }
    DWORD status = 0;
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    // Exit statuses above a byte are exceptions (0xC0000005); the tool passes on "failed".
    return status > 255 ? 255 : static_cast<int>(status);
}

} // namespace ostrel::tool::os
