// The scenarios' host on Linux: libostrel-sim.so with a private documents
// folder, child processes by fork and exec.
#include "../ScenarioHost.h"

#include "ostrel_sim.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

namespace ostrel::scenario::host {
namespace {

std::filesystem::path documents;

void RemoveDocuments()
{
    std::error_code ignored;
    std::filesystem::remove_all(documents, ignored);
}

} // namespace

std::string PrepareDocuments()
{
    // One folder per process: the scenarios run side by side with other suites.
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("ostrel-scenario-documents-" + std::to_string(getpid()));
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    documents = folder;
    std::atexit(RemoveDocuments);
    if (ostrel_sim_set_documents_folder(folder.c_str()) != 0)
        std::printf("FAIL - documents folder not taken: %s\n", ostrel_sim_last_error());
    return folder.string();
}

const char *PathSeparator()
{
    return "/";
}

std::string BenchFile()
{
    return OSTREL_SOURCE_DIR "/examples/bench.json";
}

std::string ErrorText(unsigned long code)
{
    // Only the codes the scenarios provoke.
    switch (code) {
    case 31:
        return "A device attached to the system is not functioning.";
    case 121:
        return "The semaphore timeout period has expired.";
    default:
        return "error " + std::to_string(code);
    }
}

unsigned long ProcessId()
{
    return static_cast<unsigned long>(getpid());
}

std::string ProgramPath()
{
    return std::filesystem::read_symlink("/proc/self/exe").string();
}

bool RunProcess(const std::string &program, const std::vector<std::string> &arguments, unsigned limitMs,
                int &exitCode)
{
    std::vector<std::string> words{program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);
    std::fflush(nullptr);
    pid_t child = fork();
    if (child < 0)
        return false;
    if (child == 0) {
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    int status = 0;
    for (;;) {
        pid_t ended = waitpid(child, &status, WNOHANG);
        if (ended == child)
            break;
        if (ended < 0)
            return false;
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
}

} // namespace ostrel::scenario::host
