// The shell's input on a terminal: libedit's line editing, and a history kept
// in ~/.ostrel_history; piped input is read as plain lines, without prompts.
#include "LineEditor.h"

#include <editline/readline.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <unistd.h>

namespace ostrel::tool {
namespace {

constexpr int kHistoryLines = 500;

std::string HistoryFile()
{
    const char *home = std::getenv("HOME");
    return home != nullptr && *home != '\0' ? std::string(home) + "/.ostrel_history" : std::string();
}

} // namespace

LineEditor::LineEditor() : editing(isatty(STDIN_FILENO) != 0)
{
    if (!editing)
        return;
    rl_outstream = stderr;
    using_history();
    stifle_history(kHistoryLines);
    const std::string file = HistoryFile();
    if (!file.empty())
        read_history(file.c_str());
}

LineEditor::~LineEditor()
{
    const std::string file = HistoryFile();
    if (editing && !file.empty())
        write_history(file.c_str());
}

bool LineEditor::ReadLine(const std::string &prompt, std::string &line)
{
    // A script piped in needs no prompts between its replies.
    if (!editing)
        return static_cast<bool>(std::getline(std::cin, line));
    char *typed = readline(prompt.c_str());
    if (typed == nullptr)
        return false;
    line = typed;
    std::free(typed);
    if (line.find_first_not_of(" \t") != std::string::npos)
        add_history(line.c_str());
    return true;
}

} // namespace ostrel::tool
