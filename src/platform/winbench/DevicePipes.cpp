// One named pipe per plugged instrument: made at plug, its free end dropped at
// unplug, its taken ends kept until their clients close.
#include "platform/winbench/DevicePipes.h"

#include "platform/winbench/PipeSecurity.h"

#include "platform/sim/Bench.h"

#include <winternl.h>

#include <cwchar>

namespace ostrel::winbench {
namespace {

const char kPipeFolder[] = "\\\\.\\pipe\\";
const char kPipePrefix[] = "ostrelbench-";

// The pid keeps two processes on one machine apart; the slot that
// follows keeps an instrument plugged again apart from its handles that are
// still open.
std::string NamePrefix()
{
    return std::string(kPipePrefix) + std::to_string(GetCurrentProcessId()) + "-";
}

// The bench path goes into the pipe's name so that logs stay readable; a
// pipe name may hold no backslash and at most 256 characters.
std::string PipePath(int slot, const std::string &benchPath)
{
    std::string tail = benchPath.compare(0, 4, "\\\\?\\") == 0 ? benchPath.substr(4) : benchPath;
    for (char &c : tail)
        if (c == '\\')
            c = '#';
    return kPipeFolder + NamePrefix() + std::to_string(slot) + "#" + tail.substr(0, 160);
}

// The slot from a pipe's name as the system reports it ("\ostrelbench-<pid>-<slot>#..."),
// or -1 for a name that is not one of this process's pipes.
int SlotOfName(const wchar_t *name, size_t length)
{
    const std::wstring text(name, length);
    const std::string own = "\\" + NamePrefix();
    const std::wstring prefix(own.begin(), own.end());
    if (text.compare(0, prefix.size(), prefix) != 0)
        return -1;
    size_t end = text.find(L'#', prefix.size());
    if (end == std::wstring::npos || end == prefix.size() || end - prefix.size() > 9)
        return -1;
    int slot = 0;
    for (size_t i = prefix.size(); i < end; ++i) {
        if (text[i] < L'0' || text[i] > L'9')
            return -1;
        slot = slot * 10 + (text[i] - L'0');
    }
    return slot;
}

// WinUSB works only on handles opened for overlapped reading and writing; a
// change of the library's CreateFileA flags must show up here, not later.
bool OpenedAsWinUsbNeeds(HANDLE file)
{
    constexpr ULONG kSynchronousIo = 0x10 | 0x20; // FILE_SYNCHRONOUS_IO_ALERT, _NONALERT
    constexpr auto kFileModeInformation = static_cast<FILE_INFORMATION_CLASS>(16);
    IO_STATUS_BLOCK status{};
    ULONG mode = 0;
    if (NtQueryInformationFile(file, &status, &mode, sizeof mode, kFileModeInformation) != 0 ||
        (mode & kSynchronousIo) != 0)
        return false;
    PUBLIC_OBJECT_BASIC_INFORMATION basic{};
    ULONG length = 0;
    if (NtQueryObject(file, ObjectBasicInformation, &basic, sizeof basic, &length) != 0)
        return false;
    const ACCESS_MASK readWrite = FILE_READ_DATA | FILE_WRITE_DATA;
    return (basic.GrantedAccess & readWrite) == readWrite;
}

} // namespace

DevicePipes &DevicePipes::Get()
{
    // Never destroyed: handles may still be closed while the process exits.
    static DevicePipes *pipes = new DevicePipes();
    return *pipes;
}

DevicePipes::Pipe *DevicePipes::PipeOf(const std::shared_ptr<sim::Instrument> &instrument)
{
    auto found = pipes.find(instrument->Slot());
    if (found != pipes.end())
        return &found->second;
    if (instrument->Removed())
        return nullptr;
    Pipe &pipe = pipes[instrument->Slot()];
    pipe.instrument = instrument;
    pipe.path = PipePath(instrument->Slot(), instrument->Path());
    return &pipe;
}

int DevicePipes::Refresh(Pipe &pipe)
{
    int clients = 0;
    bool freeEnd = false;
    for (auto end = pipe.ends.begin(); end != pipe.ends.end();) {
        DWORD available = 0;
        if (PeekNamedPipe(*end, nullptr, 0, nullptr, &available, nullptr)) {
            ++clients;
            ++end;
            continue;
        }
        const DWORD error = GetLastError();
        const bool clientGone = error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED;
        if (clientGone || !pipe.present) {
            CloseHandle(*end);
            end = pipe.ends.erase(end);
            continue;
        }
        freeEnd = true; // still listening: no client has taken it
        ++end;
    }
    if (pipe.present && !freeEnd) {
        HANDLE end = CreateNamedPipeA(pipe.path.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | kLocalClientsOnly,
                                      kPipeInstances, 0, 0, 0, CurrentUserOnly());
        if (end != INVALID_HANDLE_VALUE)
            pipe.ends.push_back(end);
    }
    return clients;
}

int DevicePipes::RefreshAll()
{
    int clients = 0;
    for (auto pipe = pipes.begin(); pipe != pipes.end();) {
        clients += Refresh(pipe->second);
        if (!pipe->second.present && pipe->second.ends.empty())
            pipe = pipes.erase(pipe);
        else
            ++pipe;
    }
    return clients;
}

std::vector<std::string> DevicePipes::PresentPaths()
{
    std::vector<std::string> paths;
    std::lock_guard<std::mutex> lock(mutex);
    for (const std::string &benchPath : sim::Bench::Get().PresentPaths()) {
        std::shared_ptr<sim::Instrument> instrument = sim::Bench::Get().FindPath(benchPath);
        if (instrument == nullptr)
            continue; // unplugged meanwhile
        if (Pipe *pipe = PipeOf(instrument))
            paths.push_back(pipe->path);
    }
    RefreshAll();
    return paths;
}

std::string DevicePipes::Arrived(const std::string &benchPath)
{
    std::shared_ptr<sim::Instrument> instrument = sim::Bench::Get().FindPath(benchPath);
    if (instrument == nullptr)
        return "";
    std::lock_guard<std::mutex> lock(mutex);
    Pipe *pipe = PipeOf(instrument);
    if (pipe == nullptr)
        return "";
    Refresh(*pipe);
    return pipe->path;
}

std::string DevicePipes::Removed(const std::string &benchPath)
{
    std::lock_guard<std::mutex> lock(mutex);
    for (auto &[slot, pipe] : pipes) {
        if (!pipe.present || !sim::SamePath(pipe.instrument->Path(), benchPath))
            continue;
        pipe.present = false;
        std::string path = pipe.path;
        RefreshAll();
        return path;
    }
    return "";
}

DWORD DevicePipes::Identify(HANDLE file, std::shared_ptr<sim::Instrument> &instrument)
{
    if (file == nullptr || file == INVALID_HANDLE_VALUE)
        return ERROR_INVALID_HANDLE;
    // FILE_NAME_INFO with room for the longest pipe name.
    alignas(FILE_NAME_INFO) char buffer[sizeof(FILE_NAME_INFO) + 300 * sizeof(WCHAR)];
    if (!GetFileInformationByHandleEx(file, FileNameInfo, buffer, sizeof buffer))
        return ERROR_INVALID_HANDLE;
    const auto *name = reinterpret_cast<const FILE_NAME_INFO *>(buffer);
    const int slot = SlotOfName(name->FileName, name->FileNameLength / sizeof(WCHAR));
    std::lock_guard<std::mutex> lock(mutex);
    auto found = pipes.find(slot);
    if (found == pipes.end())
        return ERROR_INVALID_HANDLE;
    if (!OpenedAsWinUsbNeeds(file))
        return ERROR_INVALID_PARAMETER;
    // The client just took the free end: the next CreateFileA needs another.
    Refresh(found->second);
    instrument = found->second.instrument;
    return ERROR_SUCCESS;
}

int DevicePipes::OpenClients()
{
    std::lock_guard<std::mutex> lock(mutex);
    return RefreshAll();
}

} // namespace ostrel::winbench
