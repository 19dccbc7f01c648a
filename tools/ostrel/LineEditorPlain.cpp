// The shell's input where no line editor is built in: plain lines.
#include "LineEditor.h"

#include <cstdio>
#include <iostream>

namespace ostrel::tool {

LineEditor::LineEditor() = default;

LineEditor::~LineEditor() = default;

bool LineEditor::ReadLine(const std::string &prompt, std::string &line)
{
    std::fputs(prompt.c_str(), stderr);
    return static_cast<bool>(std::getline(std::cin, line));
}

} // namespace ostrel::tool
