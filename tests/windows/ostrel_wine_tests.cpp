// Loads Ostrel.dll the way a Windows application does and checks it from outside (run under Wine).
//
// Each test function runs in a child process of its own (this program started
// again with "--run <name>"), so every test meets a library that has never
// been called: the first call creates the singleton and opens the log.
// To add a scenario, write a function taking `const Api &` and list it in kTests.
#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ostrel.h"

namespace {

// ---- Checks -------------------------------------------------------------

int passed = 0;
int failed = 0;

void Check(bool ok, const std::string &what, const std::string &detail, int line)
{
    if (ok) {
        ++passed;
        std::printf("ok   - %s\n", what.c_str());
    } else {
        ++failed;
        std::printf("FAIL - %s (line %d)%s%s\n", what.c_str(), line,
                    detail.empty() ? "" : "\n       ", detail.c_str());
    }
    std::fflush(stdout);
}

#define CHECK(cond, what) Check((cond), (what), "failed: " #cond, __LINE__)
#define CHECK_EQ(actual, expected, what)                                                           \
    Check((actual) == (expected), (what),                                                          \
          "expected: " + Show(expected) + "\n       actual:   " + Show(actual), __LINE__)

// Add an overload when a check compares a new type.
std::string Show(const std::string &s) { return "\"" + s + "\""; }
std::string Show(int v) { return std::to_string(v); }

// ---- The library --------------------------------------------------------

struct Export {
    const char *name;
    int ordinal;
};

// The export table every Windows caller binds to, by name or by ordinal.
const Export kExports[] = {
    {"vorn_usb_send_ascii", 1},
    {"vorn_usb_get_ascii", 2},
    {"vorn_usb_init_system", 3},
    {"GetInstrumentList", 4},
    {"vorn_usb_get_device_info", 5},
    {"vorn_usb_uninit_system", 6},
    {"vorn_usb_init_product", 7},
    {"vorn_usb_open_devices", 8},
    {"vorn_usb_get_model_serial_keys", 9},
    {"vorn_usb_read_by_key", 10},
    {"vorn_usb_write_by_key", 11},
    {"vorn_usb_send_binary", 12},
    {"vorn_usb_write_binary_by_key", 13},
    {"vorn_usb_event_init", 14},
    {"vorn_usb_event_assign_key", 15},
    {"vorn_usb_event_remove_key", 16},
    {"vorn_usb_event_get_attached_devices", 17},
    {"vorn_usb_event_get_key_from_handle", 18},
    {"vorn_usb_read_ascii_by_key", 19},
    {"vorn_usb_get_ascii_by_DeviceID", 20},
    {"vorn_usb_SetLogging", 21},
    {"vorn_usb_SetTraceLog", 22},
    {"vorn_usb_GetDeviceCount", 23},
    {"vorn_usb_GetDeviceKeys", 24},
    {"vorn_usb_GetDeviceKeyFromDeviceID", 25},
    {"vorn_usb_GetOSName", 26},
};

// Converting through a plain function pointer keeps -Wcast-function-type quiet.
template <typename Fn> Fn As(FARPROC p)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(p));
}

// The functions the tests call, bound by name as most callers do.
struct Api {
    HMODULE module = nullptr;
    decltype(&vorn_usb_SetLogging) SetLogging = nullptr;
    decltype(&vorn_usb_GetDeviceCount) GetDeviceCount = nullptr;
    decltype(&vorn_usb_GetOSName) GetOSName = nullptr;
    decltype(&vorn_usb_init_system) InitSystem = nullptr;
    decltype(&vorn_usb_uninit_system) UninitSystem = nullptr;
    decltype(&vorn_usb_SetTraceLog) SetTraceLog = nullptr;
    decltype(&vorn_usb_event_init) EventInit = nullptr;

    bool Load()
    {
        module = LoadLibraryA("Ostrel.dll");
        if (!module) return false;
        SetLogging = As<decltype(SetLogging)>(GetProcAddress(module, "vorn_usb_SetLogging"));
        GetDeviceCount =
            As<decltype(GetDeviceCount)>(GetProcAddress(module, "vorn_usb_GetDeviceCount"));
        GetOSName = As<decltype(GetOSName)>(GetProcAddress(module, "vorn_usb_GetOSName"));
        InitSystem = As<decltype(InitSystem)>(GetProcAddress(module, "vorn_usb_init_system"));
        UninitSystem = As<decltype(UninitSystem)>(GetProcAddress(module, "vorn_usb_uninit_system"));
        SetTraceLog = As<decltype(SetTraceLog)>(GetProcAddress(module, "vorn_usb_SetTraceLog"));
        EventInit = As<decltype(EventInit)>(GetProcAddress(module, "vorn_usb_event_init"));
        return SetLogging && GetDeviceCount && GetOSName && InitSystem && UninitSystem &&
               SetTraceLog && EventInit;
    }
};

// ---- What the system says -------------------------------------------------

std::string Today()
{
    SYSTEMTIME t;
    GetLocalTime(&t);
    char date[16];
    std::snprintf(date, sizeof date, "%04d-%02d-%02d", t.wYear, t.wMonth, t.wDay);
    return date;
}

std::string DocumentsFolder()
{
    char path[MAX_PATH];
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, path)))
        return "";
    return path;
}

std::string LogFolder() { return DocumentsFolder() + "\\Log"; }

std::string LogPath(const std::string &date)
{
    return LogFolder() + "\\Log" + date + "_Native.txt";
}

std::string SystemFolder()
{
    char path[MAX_PATH];
    UINT n = GetSystemDirectoryA(path, MAX_PATH);
    return n > 0 && n < MAX_PATH ? std::string(path) : "";
}

std::string ModulePath(HMODULE module)
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(module, path, MAX_PATH);
    return n > 0 && n < MAX_PATH ? std::string(path) : "";
}

std::string FolderOf(const std::string &path) { return path.substr(0, path.find_last_of('\\')); }

bool FileExists(const std::string &path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The name the running version implies, from the version the kernel reports
// (RtlGetVersion is not subject to the compatibility shims of GetVersionEx).
std::string ExpectedOsName()
{
    using RtlGetVersionFn = LONG(WINAPI *)(OSVERSIONINFOW *);
    auto rtlGetVersion =
        As<RtlGetVersionFn>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "RtlGetVersion"));
    OSVERSIONINFOW v;
    std::memset(&v, 0, sizeof v);
    v.dwOSVersionInfoSize = sizeof v;
    if (!rtlGetVersion || rtlGetVersion(&v) != 0) return "?";
    const unsigned version = v.dwMajorVersion * 100 + v.dwMinorVersion;
    if (version >= 1000) return "Windows 10";
    if (version >= 602) return "Windows 8";
    if (version >= 601) return "Windows 7";
    if (version >= 600) return "Windows Vista";
    if (version >= 501) return "Windows XP";
    return "Windows";
}

// Names of the files in `folder` matching `pattern`, in the order the search gives them.
std::vector<std::string> FindFiles(const std::string &folder, const char *pattern)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\" + pattern).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do names.push_back(found.cFileName);
    while (FindNextFileA(search, &found));
    FindClose(search);
    return names;
}

// ---- The log file -------------------------------------------------------------

struct LogLine {
    std::string text; // after the "date time, pid, tid, " prefix
    bool wellFormed;  // prefix as specified and stored with CR LF
};

// The lines this process wrote to today's log (other processes append to the same file).
std::vector<LogLine> OwnLogLines()
{
    std::vector<LogLine> lines;
    FILE *file = std::fopen(LogPath(Today()).c_str(), "rb");
    if (!file) return lines;
    std::string content;
    char chunk[4096];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) content.append(chunk, n);
    std::fclose(file);

    const unsigned long self = GetCurrentProcessId();
    size_t start = 0;
    for (size_t end; (end = content.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string raw = content.substr(start, end - start);
        bool crlf = !raw.empty() && raw.back() == '\r';
        if (crlf) raw.pop_back();
        int year, month, day, hour, minute, second, milli, textStart = -1;
        unsigned long pid, tid;
        int fields =
            std::sscanf(raw.c_str(), "%4d-%2d-%2d %2d:%2d:%2d.%3d, %lu, %lu, %n", &year, &month,
                        &day, &hour, &minute, &second, &milli, &pid, &tid, &textStart);
        if (fields != 9 || textStart < 0 || pid != self) continue;
        bool prefixExact = raw.compare(0, 10, Today()) == 0 && raw[10] == ' ' && raw[13] == ':' &&
                           raw[16] == ':' && raw[19] == '.' && raw[23] == ',';
        lines.push_back({raw.substr(textStart), crlf && prefixExact});
    }
    return lines;
}

std::vector<std::string> Texts(const std::vector<LogLine> &lines)
{
    std::vector<std::string> texts;
    for (const LogLine &line : lines) texts.push_back(line.text);
    return texts;
}

int Count(const std::vector<std::string> &texts, const std::string &text)
{
    int n = 0;
    for (const std::string &t : texts) n += t == text;
    return n;
}

std::string Lines(const std::vector<std::string> &texts)
{
    std::string all;
    for (const std::string &text : texts) all += "\n         " + text;
    return all;
}

// Where `sequence` starts as consecutive lines of `texts`, or -1.
int FindSequence(const std::vector<std::string> &texts, const std::vector<std::string> &sequence)
{
    for (size_t i = 0; i + sequence.size() <= texts.size(); ++i) {
        size_t k = 0;
        while (k < sequence.size() && texts[i + k] == sequence[k]) ++k;
        if (k == sequence.size()) return static_cast<int>(i);
    }
    return -1;
}

// ---- Tests ------------------------------------------------------------------------

void TestExports(const Api &api)
{
    CHECK_EQ(FolderOf(ModulePath(api.module)), FolderOf(ModulePath(nullptr)),
             "Ostrel.dll is loaded from beside the program");
    for (const Export &e : kExports) {
        FARPROC byName = GetProcAddress(api.module, e.name);
        FARPROC byOrdinal = GetProcAddress(api.module, MAKEINTRESOURCEA(e.ordinal));
        CHECK(byName && byName == byOrdinal, std::string(e.name) +
                                                 " is exported by name and at ordinal " +
                                                 std::to_string(e.ordinal));
    }
    CHECK(!GetProcAddress(api.module, MAKEINTRESOURCEA(27)), "no export at ordinal 27");
}

void TestFirstCallOpensLog(const Api &api)
{
    // Start from no log folder at all, so that the library must create it.
    for (const std::string &name : FindFiles(LogFolder(), "*"))
        DeleteFileA((LogFolder() + "\\" + name).c_str());
    RemoveDirectoryA(LogFolder().c_str());
    const std::string before = Today();
    CHECK(!FileExists(LogPath(before)), "no log file before the first call");

    CHECK_EQ(api.GetDeviceCount(), 0, "the first call, vorn_usb_GetDeviceCount, gives 0");
    CHECK(FileExists(LogPath(before)) || FileExists(LogPath(Today())),
          "the first call creates Documents\\Log\\Log" + before + "_Native.txt");
}

void TestLogHeader(const Api &api)
{
    api.SetLogging(false);
    CHECK_EQ(Count(Texts(OwnLogLines()), "64-bit OS, 64-bit mode."), 0,
             "vorn_usb_SetLogging(0) writes no header");

    api.SetLogging(true);
    const std::vector<LogLine> lines = OwnLogLines();
    const std::vector<std::string> texts = Texts(lines);
    const std::string system = SystemFolder();
    std::vector<std::string> header = {
        "********** Executable Path = " + ModulePath(nullptr) + " **********",
        "OS: " + ExpectedOsName(),
        "64-bit OS, 64-bit mode.",
        "System Folder: " + system,
        "The USB driver is not installed.  " + system + "\\ostrel.dll does not exist.",
    };
    for (const char *pattern : {"WdfCoInstaller*.dll", "winusb*.dll"})
        for (const std::string &name : FindFiles(system, pattern))
            header.push_back(name + " is installed.");

    CHECK_EQ(Count(texts, "64-bit OS, 64-bit mode."), 1,
             "the header holds \"64-bit OS, 64-bit mode.\"");
    CHECK_EQ(Count(texts, "System Folder: " + system), 1, "the header names the system folder");
    CHECK_EQ(Count(texts, header[4]), 1, "the header says the system folder holds no ostrel.dll");
    Check(FindSequence(texts, header) >= 0, "the header's lines come in order, driver files last",
          "expected, one after the other:" + Lines(header) + "\n       log:" + Lines(texts),
          __LINE__);
    bool wellFormed = !lines.empty();
    for (const LogLine &line : lines) wellFormed = wellFormed && line.wellFormed;
    CHECK(wellFormed, "every line has the \"date time.ms, pid, tid, \" prefix and ends in CR LF");

    api.SetLogging(false);
    api.SetLogging(true);
    CHECK_EQ(Count(Texts(OwnLogLines()), "64-bit OS, 64-bit mode."), 1,
             "switching logging off and on again writes no second header");
}

void TestOsName(const Api &api)
{
    char buffer[64];
    std::memset(buffer, 0x7f, sizeof buffer);
    api.GetOSName(buffer);
    const size_t length = strnlen(buffer, sizeof buffer);
    CHECK_EQ(std::string(buffer, length), ExpectedOsName(),
             "vorn_usb_GetOSName names the running version");
    CHECK(length < 14, "the name and its NUL fit the documented 14 chars");
    bool untouched = true;
    for (size_t i = length + 1; i < sizeof buffer; ++i) untouched = untouched && buffer[i] == 0x7f;
    CHECK(untouched, "nothing is written past the NUL");
    api.GetOSName(nullptr);
    CHECK(true, "vorn_usb_GetOSName(NULL) returns"); // a crash would end this child instead
}

void TestNoInstruments(const Api &api)
{
    CHECK_EQ(api.GetDeviceCount(), 0,
             "vorn_usb_GetDeviceCount gives 0 with no instrument attached");
    CHECK_EQ(api.InitSystem(), 0, "vorn_usb_init_system finds nothing and succeeds");
    CHECK_EQ(api.GetDeviceCount(), 0, "the device table stays empty after a scan");
    api.UninitSystem();
    api.UninitSystem();
    CHECK_EQ(api.GetDeviceCount(), 0, "vorn_usb_uninit_system twice leaves the library usable");
}

int deviceEvents = 0;
void OSTREL_CALL CountDeviceEvent(int, int) { ++deviceEvents; }

// Waits (for a generous while: this is no speed test) until this process has
// logged a line with exactly `text`.
bool WaitForLogLine(const std::string &text)
{
    for (int i = 0; i < 500; ++i) {
        if (Count(Texts(OwnLogLines()), text) > 0) return true;
        Sleep(20);
    }
    return false;
}

void TestEventModeWatcher(const Api &api)
{
    api.SetTraceLog(true);
    CHECK_EQ(api.EventInit(0, CountDeviceEvent), 0, "vorn_usb_event_init succeeds");
    CHECK(WaitForLogLine("DiscoveryThread: Waiting for device messages."),
          "the watcher sets up its message-only window and device notification");
    CHECK_EQ(deviceEvents, 0, "no device event without instruments");
    CHECK_EQ(api.GetDeviceCount(), 0, "the device table is empty");

    api.UninitSystem();
    CHECK(WaitForLogLine("DiscoveryThread: Exit."), "vorn_usb_uninit_system stops the watcher");
    int failures = 0;
    for (const std::string &text : Texts(OwnLogLines()))
        failures += text.find("Could not") != std::string::npos ||
                    text.find("Exception") != std::string::npos;
    CHECK_EQ(failures, 0, "no failure or exception line in the log");
}

struct Test {
    const char *name;
    void (*run)(const Api &);
};

const Test kTests[] = {
    {"exports", TestExports},
    {"first-call-opens-log", TestFirstCallOpensLog},
    {"log-header", TestLogHeader},
    {"os-name", TestOsName},
    {"no-instruments", TestNoInstruments},
    {"event-mode-watcher", TestEventModeWatcher},
};

// ---- Running ---------------------------------------------------------------------

// A child reports its counts in its exit code: passed in the low 16 bits,
// failed above them. Codes with the top bit set are crashes (NTSTATUS).
DWORD ChildExitCode() { return static_cast<DWORD>(failed) << 16 | static_cast<DWORD>(passed); }

int RunInThisProcess(const char *name)
{
    for (const Test &test : kTests) {
        if (std::strcmp(test.name, name) != 0) continue;
        Api api;
        CHECK(api.Load(), "Ostrel.dll loads and its exports resolve");
        if (api.module) test.run(api);
        return static_cast<int>(ChildExitCode());
    }
    std::printf("no test named %s\n", name);
    return 1 << 16;
}

void RunInChild(const Test &test)
{
    std::printf("# %s\n", test.name);
    std::fflush(stdout);
    std::string commandLine = "\"" + ModulePath(nullptr) + "\" --run " + test.name;
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child;
    if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &child)) {
        Check(false, std::string(test.name) + ": start", "CreateProcess failed", __LINE__);
        return;
    }
    const DWORD kTimeoutMs = 120000;
    DWORD code = 0;
    if (WaitForSingleObject(child.hProcess, kTimeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(child.hProcess, 1);
        Check(false, std::string(test.name) + ": finishes", "timed out", __LINE__);
    } else if (!GetExitCodeProcess(child.hProcess, &code) || (code & 0x80000000u)) {
        char detail[64];
        std::snprintf(detail, sizeof detail, "exit code 0x%08lX", static_cast<unsigned long>(code));
        Check(false, std::string(test.name) + ": runs to its end", detail, __LINE__);
    } else {
        passed += static_cast<int>(code & 0xffff);
        failed += static_cast<int>(code >> 16);
    }
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--run") == 0) return RunInThisProcess(argv[2]);
    for (const Test &test : kTests)
        if (argc == 1 || std::strcmp(argv[1], test.name) == 0) RunInChild(test);
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 && passed > 0 ? 0 : 1;
}
