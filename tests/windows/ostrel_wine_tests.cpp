// Loads Ostrel.dll the way a Windows application does and checks, under Wine,
// what only the bare DLL on a system without instruments shows: the exports as
// the loader resolves them, its version resource, the log's header (with
// `system-copy`: a copy of the DLL is in the system folder), the OS name, and a
// watcher that starts and stops again and again. Discovery, transfers and device events run
// against simulated instruments in tests/windows/e2e.
//
// Everything runs in this one process, whose first call into the library is
// the one that must open the log; a crash ends it without the counts line,
// which scripts/run-wine-tests.sh reports as a failure.
#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ostrel.h"

namespace {

int passed = 0, failed = 0;

bool Check(bool ok, const std::string &what, const std::string &detail = "")
{
    ++(ok ? passed : failed);
    std::printf("%s - %s%s%s\n", ok ? "ok  " : "FAIL", what.c_str(), ok ? "" : "\n       ", ok ? "" : detail.c_str());
    std::fflush(stdout);
    return ok;
}

bool CheckEq(const std::string &actual, const std::string &expected, const std::string &what)
{
    return Check(actual == expected, what, "expected: \"" + expected + "\"\n       actual:   \"" + actual + "\"");
}

bool CheckEq(int actual, int expected, const std::string &what)
{
    return CheckEq(std::to_string(actual), std::to_string(expected), what);
}

// The export table every Windows caller binds to: kExports[i] is at ordinal i + 1.
const char *const kExports[] = {
    "vorn_usb_send_ascii", "vorn_usb_get_ascii", "vorn_usb_init_system", "GetInstrumentList",
    "vorn_usb_get_device_info", "vorn_usb_uninit_system", "vorn_usb_init_product", "vorn_usb_open_devices",
    "vorn_usb_get_model_serial_keys", "vorn_usb_read_by_key", "vorn_usb_write_by_key", "vorn_usb_send_binary",
    "vorn_usb_write_binary_by_key", "vorn_usb_event_init", "vorn_usb_event_assign_key",
    "vorn_usb_event_remove_key", "vorn_usb_event_get_attached_devices", "vorn_usb_event_get_key_from_handle",
    "vorn_usb_read_ascii_by_key", "vorn_usb_get_ascii_by_DeviceID", "vorn_usb_SetLogging", "vorn_usb_SetTraceLog",
    "vorn_usb_GetDeviceCount", "vorn_usb_GetDeviceKeys", "vorn_usb_GetDeviceKeyFromDeviceID", "vorn_usb_GetOSName",
};

// Through a plain function pointer, which keeps -Wcast-function-type quiet.
template <typename Fn> Fn Bind(HMODULE module, const char *name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// Wine links the profile's Documents to the Unix home folder, which every Wine
// prefix of the user shares with its log: other runs could delete it or write
// to it mid-test. Under Wine this prefix gets a Documents folder of its own, a
// real one (asked to create it, Wine would link it to the home folder again).
void UsePrivateDocuments()
{
    const char folder[] = "%USERPROFILE%\\Ostrel Documents";
    const char shellFolders[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
    char expanded[MAX_PATH];
    HKEY key;
    if (!GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") ||
        !ExpandEnvironmentStringsA(folder, expanded, MAX_PATH) ||
        (!CreateDirectoryA(expanded, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) ||
        RegOpenKeyExA(HKEY_CURRENT_USER, shellFolders, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return;
    RegSetValueExA(key, "Personal", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE *>(folder), sizeof folder);
    RegCloseKey(key);
}

std::string LogPath()
{
    char documents[MAX_PATH] = "", date[16];
    SHGetFolderPathA(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, documents);
    SYSTEMTIME t;
    GetLocalTime(&t);
    std::snprintf(date, sizeof date, "%04d-%02d-%02d", t.wYear, t.wMonth, t.wDay);
    return std::string(documents) + "\\Log\\Log" + date + "_Native.txt";
}

std::string SystemFolder()
{
    char path[MAX_PATH];
    const UINT length = GetSystemDirectoryA(path, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::string(path, length) : "";
}

// From the version the kernel reports: RtlGetVersion is not subject to the
// compatibility shims of GetVersionEx that the library has to see through.
std::string ExpectedOsName()
{
    OSVERSIONINFOW v{};
    v.dwOSVersionInfoSize = sizeof v;
    auto rtlGetVersion = Bind<LONG(WINAPI *)(OSVERSIONINFOW *)>(GetModuleHandleA("ntdll.dll"), "RtlGetVersion");
    if (!rtlGetVersion || rtlGetVersion(&v) != 0)
        return "?";
    const unsigned version = v.dwMajorVersion * 100 + v.dwMinorVersion;
    return version >= 1000 ? "Windows 10" : version >= 602 ? "Windows 8" : version >= 601 ? "Windows 7"
           : version >= 600 ? "Windows Vista" : version >= 501 ? "Windows XP" : "Windows";
}

// The texts, after the "date time.ms, pid, tid, " prefix, of the lines this process logged.
std::vector<std::string> OwnLogTexts()
{
    std::vector<std::string> texts;
    FILE *file = std::fopen(LogPath().c_str(), "rb");
    char line[2048];
    while (file && std::fgets(line, sizeof line, file)) {
        unsigned long pid = 0;
        int start = -1;
        std::sscanf(line, "%*4d-%*2d-%*2d %*2d:%*2d:%*2d.%*3d, %lu, %*u, %n", &pid, &start);
        if (start < 0 || pid != GetCurrentProcessId())
            continue;
        texts.emplace_back(line + start);
        while (!texts.back().empty() && (texts.back().back() == '\n' || texts.back().back() == '\r'))
            texts.back().pop_back();
    }
    if (file)
        std::fclose(file);
    return texts;
}

int Count(const std::string &text)
{
    int n = 0;
    for (const std::string &logged : OwnLogTexts())
        n += logged == text;
    return n;
}

// Waits until `text` has been logged `times` times; the limit only bounds a hang.
bool WaitForCount(const std::string &text, int times)
{
    for (int i = 0; i < 1000 && Count(text) < times; ++i)
        Sleep(20);
    return Count(text) == times;
}

void OSTREL_CALL IgnoreDeviceEvent(int, int) {}

// What GetFileVersionInfoA gives for `path`, as Explorer and installers read it: the fixed
// file version and the product name.
std::string VersionResource(const std::string &path)
{
    DWORD unused = 0, size = GetFileVersionInfoSizeA(path.c_str(), &unused);
    std::vector<char> block(size);
    VS_FIXEDFILEINFO *fixed = nullptr;
    char *product = nullptr;
    UINT length = 0, productLength = 0;
    if (size == 0 || !GetFileVersionInfoA(path.c_str(), 0, size, block.data()) ||
        !VerQueryValueA(block.data(), "\\", reinterpret_cast<void **>(&fixed), &length) || length == 0 ||
        !VerQueryValueA(block.data(), "\\StringFileInfo\\040904B0\\ProductName", reinterpret_cast<void **>(&product),
                        &productLength))
        return "none";
    char text[128];
    std::snprintf(text, sizeof text, "%s %lu.%lu.%lu.%lu", product, fixed->dwFileVersionMS >> 16,
                  fixed->dwFileVersionMS & 0xFFFF, fixed->dwFileVersionLS >> 16, fixed->dwFileVersionLS & 0xFFFF);
    return text;
}

// systemCopy: the script has put a copy of Ostrel.dll into the system folder.
void Run(HMODULE dll, bool systemCopy)
{
    for (int i = 0; i < 26; ++i) {
        FARPROC byName = GetProcAddress(dll, kExports[i]), byOrdinal = GetProcAddress(dll, MAKEINTRESOURCEA(i + 1));
        Check(byName && byName == byOrdinal,
              std::string(kExports[i]) + " resolves by name and at ordinal " + std::to_string(i + 1));
    }

    // The log may be left from an earlier run; the first call must make it again.
    DeleteFileA(LogPath().c_str());
    if (!Check(GetFileAttributesA(LogPath().c_str()) == INVALID_FILE_ATTRIBUTES, "no log before the first call"))
        return;
    CheckEq(Bind<decltype(&vorn_usb_GetDeviceCount)>(dll, "vorn_usb_GetDeviceCount")(), 0,
            "the first call, vorn_usb_GetDeviceCount, finds no instrument");
    Check(GetFileAttributesA(LogPath().c_str()) != INVALID_FILE_ATTRIBUTES,
          "the first call creates " + LogPath());

    char path[MAX_PATH] = "";
    GetModuleFileNameA(dll, path, MAX_PATH);
    CheckEq(VersionResource(path), "Ostrel " OSTREL_VERSION ".0",
            "Ostrel.dll's version resource names the product and its version");

    Bind<decltype(&vorn_usb_SetLogging)>(dll, "vorn_usb_SetLogging")(1);
    const std::string system = SystemFolder(), copy = system + "\\ostrel.dll";
    for (const std::string &line : {std::string("64-bit OS, 64-bit mode."), "System Folder: " + system,
                                    systemCopy ? copy + " Version " OSTREL_VERSION ".0"
                                               : "The USB driver is not installed.  " + copy + " does not exist."})
        CheckEq(Count(line), 1, "the header holds \"" + line + "\"");

    char name[64] = "";
    Bind<decltype(&vorn_usb_GetOSName)>(dll, "vorn_usb_GetOSName")(name);
    CheckEq(name, ExpectedOsName(), "vorn_usb_GetOSName names the version Wine pretends to be");

    // Each start registers a window class and a device notification that each
    // stop must give back, or the next start fails.
    Bind<decltype(&vorn_usb_SetTraceLog)>(dll, "vorn_usb_SetTraceLog")(1);
    auto eventInit = Bind<decltype(&vorn_usb_event_init)>(dll, "vorn_usb_event_init");
    auto uninit = Bind<decltype(&vorn_usb_uninit_system)>(dll, "vorn_usb_uninit_system");
    const int kCycles = 20;
    int started = 0, stopped = 0;
    for (int cycle = 1; cycle <= kCycles && started == stopped; ++cycle) {
        if (eventInit(0, IgnoreDeviceEvent) != 0 ||
            !WaitForCount("DiscoveryThread: Waiting for device messages.", cycle))
            break;
        ++started;
        uninit();
        stopped += Count("DiscoveryThread: Exit.") == cycle;
    }
    CheckEq(started, kCycles, "vorn_usb_event_init starts a watcher that waits for device messages, every time");
    CheckEq(stopped, kCycles, "vorn_usb_uninit_system returns only once the watcher has ended, every time");
    CheckEq(Count("DiscoveryThread: Enter."), kCycles, "each watcher logs \"DiscoveryThread: Enter.\" once");
    std::string failures;
    for (const std::string &text : OwnLogTexts())
        if (text.find("Could not") != std::string::npos || text.find("Exception") != std::string::npos)
            failures += "\n       " + text;
    Check(failures.empty(), "no failure or exception is logged", "logged:" + failures);
}

// A hang in the library must not wait for Wine's own time limit.
DWORD WINAPI Watchdog(void *)
{
    Sleep(180000);
    std::printf("FAIL - still running after three minutes\n%d passed, %d failed\n", passed, failed + 1);
    std::fflush(stdout);
    ExitProcess(1);
}

} // namespace

int main(int argc, char **argv)
{
    CloseHandle(CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr));
    UsePrivateDocuments();
    HMODULE dll = LoadLibraryA("Ostrel.dll");
    if (Check(dll != nullptr, "Ostrel.dll loads"))
        Run(dll, argc > 1 && std::string(argv[1]) == "system-copy");
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 && passed > 0 ? 0 : 1;
}
