// The scenarios' host on Windows (Ostrel.dll with the test-only shims, or OstrelSim.dll, under Wine):
// the log in a folder beside the program (OstrelSim.dll) or in the profile's Documents folder
// (Ostrel.dll), child processes by CreateProcessA.
#include "../ScenarioHost.h"

#include "ostrel_sim.h"

#include <windows.h>
#include <shlobj.h>

namespace ostrel::scenario::host {
namespace {

std::string ProgramFolder()
{
    const std::string program = ProgramPath();
    return program.substr(0, program.find_last_of('\\'));
}

} // namespace

std::string PrepareDocuments()
{
    // OstrelSim.dll takes the folder the bench chooses, as on Linux; one folder
    // for every scenario's process, as the profile's would be.
    const std::string chosen = ProgramFolder() + "\\documents";
    CreateDirectoryA(chosen.c_str(), nullptr);
    if (ostrel_sim_set_documents_folder(chosen.c_str()) == 0)
        return chosen;
    // Ostrel.dll asks the shell, as the library asks: nothing to set up, only to find.
    char path[MAX_PATH];
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, path)))
        return "";
    return path;
}

std::string BenchFile()
{
    return ProgramFolder() + "\\bench.json";
}

std::string ErrorText(unsigned long code)
{
    char text[512];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                  MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
        message.pop_back();
    return message;
}

unsigned long ProcessId()
{
    return GetCurrentProcessId();
}

std::string ProgramPath()
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::string(path, length) : std::string();
}

// The suite's build names the library and the bench it stands on; a library
// that pins itself (OstrelSim.dll, for its bench's own thread) never leaves.
std::vector<std::string> UnloadCheckCommand(const std::string &documents)
{
    return {ProgramFolder() + "\\ostrel_unload_check.exe", OSTREL_SCENARIO_LIBRARY, OSTREL_SCENARIO_BENCH_LIBRARY,
            documents, OSTREL_SCENARIO_LIBRARY_UNLOADS};
}

bool RunProcess(const std::string &program, const std::vector<std::string> &arguments, unsigned limitMs,
                int &exitCode)
{
    // No argument here holds a quote or ends in a backslash: quoting is enough.
    std::string commandLine = "\"" + program + "\"";
    for (const std::string &argument : arguments)
        commandLine += " \"" + argument + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &child))
        return false;
    bool ended = WaitForSingleObject(child.hProcess, limitMs) == WAIT_OBJECT_0;
    DWORD code = 0;
    if (!ended) {
        TerminateProcess(child.hProcess, 1);
        WaitForSingleObject(child.hProcess, 5000);
    } else if (GetExitCodeProcess(child.hProcess, &code)) {
        exitCode = static_cast<int>(code);
    }
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    return ended;
}

} // namespace ostrel::scenario::host
