// Running another program on Linux: posix_spawnp, then waitpid.
#include "Spawn.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <spawn.h>
#include <sys/wait.h>

extern char **environ;

namespace ostrel::tool::os {

int RunWithVariable(const std::vector<std::string> &command, const char *variable, const std::string &value,
                    std::string &error)
{
    std::vector<char *> argv;
    for (const std::string &word : command)
        argv.push_back(const_cast<char *>(word.c_str()));
    argv.push_back(nullptr);
    // The tool's own environment is the child's; the tool loads no library
    // after this, so the variable affects only the child.
    setenv(variable, value.c_str(), 1);
    pid_t child = 0;
    const int failed = posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ);
    unsetenv(variable);
    if (failed != 0) {
        error = "cannot run " + command[0] + ": " + std::strerror(failed);
        return -1;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR) {
            error = std::string("cannot wait for ") + command[0] + ": " + std::strerror(errno);
            return -1;
        }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace ostrel::tool::os
