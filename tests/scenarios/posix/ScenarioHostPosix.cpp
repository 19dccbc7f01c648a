// The scenarios' host on Linux: libostrel-sim.so with a private documents
// folder, child processes by fork and exec.
#include "../ScenarioHost.h"

#include "ostrel_sim.h"

#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <filesystem>

#include <sys/wait.h>
#include <unistd.h>

namespace ostrel::scenario::host {
namespace {
std::filesystem::path documents;
} // namespace

std::string PrepareDocuments()
{
    // One folder per process: the scenarios run side by side with other suites.
    documents = std::filesystem::temp_directory_path() / ("ostrel-scenario-documents-" + std::to_string(getpid()));
    std::filesystem::remove_all(documents);
    std::filesystem::create_directories(documents);
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(documents, ignored);
    });
    if (ostrel_sim_set_documents_folder(documents.c_str()) != 0)
        std::printf("FAIL - documents folder not taken: %s\n", ostrel_sim_last_error());
    return documents.string();
}

std::string BenchFile()
{
    return OSTREL_SOURCE_DIR "/examples/bench.json";
}

std::string ErrorText(unsigned long code)
{
    // Only the codes the scenarios provoke.
    switch (code) {
    case 121:
        return "The semaphore timeout period has expired.";
    case 995:
        return "The I/O operation has been aborted because of either a thread exit or an application request.";
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

std::vector<std::string> UnloadCheckCommand(const std::string &documents)
{
    // The POSIX layer keeps its process-wide tables (handles, waits, windows)
    // for the life of the process, as the system does on Windows; once the
    // library has left, LeakSanitizer would count them as leaked at exit.
    return {"/usr/bin/env", "ASAN_OPTIONS=detect_leaks=0", OSTREL_UNLOAD_CHECK, OSTREL_SIM_LIBRARY,
            OSTREL_SIM_LIBRARY, documents, "unloads"};
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
    const pid_t child = fork();
    if (child == 0) {
        // The alarm outlives exec and ends a child that runs past the limit.
        alarm((limitMs + 999) / 1000);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM))
        return false;
    exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
}

} // namespace ostrel::scenario::host
