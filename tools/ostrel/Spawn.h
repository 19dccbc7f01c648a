// Running another program, with one more variable in its environment; one
// implementation per system (SpawnPosix.cpp, SpawnWindows.cpp).
#pragma once

#include <string>
#include <vector>

namespace ostrel::tool::os {

// Runs `command` (the program, found on the PATH, and its arguments) with
// `variable`=`value` in its environment, and waits for it to end. Its exit
// status (128 + the signal's number if a signal ended it), or -1 with `error`
// when it could not be started.
int RunWithVariable(const std::vector<std::string> &command, const char *variable, const std::string &value,
                    std::string &error);

} // namespace ostrel::tool::os
