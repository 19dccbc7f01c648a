// The shell's input: line editing and history where the system has them
// (LineEditorLibedit.cpp), plain lines elsewhere (LineEditorPlain.cpp).
#pragma once

#include <string>

namespace ostrel::tool {

class LineEditor {
public:
    LineEditor();
    ~LineEditor();
    LineEditor(const LineEditor &) = delete;
    LineEditor &operator=(const LineEditor &) = delete;

    // Shows the prompt (on stderr, so that stdout holds only replies) and
    // reads one line without its line end; false at the end of the input.
    // A prompt is shown only where the system can tell input is typed.
    bool ReadLine(const std::string &prompt, std::string &line);

private:
    bool editing = false;
};

} // namespace ostrel::tool
