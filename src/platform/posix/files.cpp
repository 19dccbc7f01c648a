// Directories, paths, the executable's file, the system folder, and wildcard file search.
#include "platform/BenchHooks.h"
#include "platform/posix/handles.h"
#include "platform/posix/internal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fnmatch.h>
#include <memory>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <vector>

namespace ostrel::posix {
namespace {

constexpr DWORD kFileAttributeDirectory = 0x10;
// Seconds from 1601-01-01 (FILETIME's epoch) to 1970-01-01.
constexpr unsigned long long kFileTimeEpochSeconds = 11644473600ULL;

DWORD FileError(int error)
{
    switch (error) {
    case EEXIST:
        return ERROR_ALREADY_EXISTS;
    case ENOENT:
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case ENAMETOOLONG:
        return kErrorInvalidName;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case ENOSPC:
    case EDQUOT:
        return kErrorDiskFull;
    default:
        return ERROR_GEN_FAILURE;
    }
}

// Windows' protocol for a text result: its length without the terminator when
// it fits, else the size it needs with the terminator, buffer untouched.
DWORD CopyResult(const std::string &text, LPSTR buffer, DWORD size)
{
    if (buffer == nullptr || size < text.size() + 1)
        return static_cast<DWORD>(text.size() + 1);
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return static_cast<DWORD>(text.size());
}

// Resolves "." and ".." and repeated separators as Windows does for a full
// path; ".." above the root stays at the root.
std::string Normalise(const std::string &absolute)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= absolute.size()) {
        size_t end = absolute.find('/', start);
        if (end == std::string::npos)
            end = absolute.size();
        std::string part = absolute.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string result;
    for (const std::string &part : parts)
        result += "/" + part;
    // A trailing separator is kept, as Windows keeps it.
    if (result.empty() || (absolute.back() == '/' && parts.size() > 0))
        result += "/";
    return result;
}

std::string SystemFolder()
{
    // The multiarch library folder where the system has one (Debian and
    // derivatives), the plain one elsewhere.
    static const std::string folder = [] {
        utsname name{};
        if (uname(&name) == 0) {
            std::string system = name.sysname;
            std::transform(system.begin(), system.end(), system.begin(),
                           [](unsigned char c) { return std::tolower(c); });
            std::string multiarch = std::string("/usr/lib/") + name.machine + "-" + system + "-gnu";
            struct stat info {};
            if (stat(multiarch.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
                return multiarch;
        }
        return std::string("/usr/lib");
    }();
    return folder;
}

// Only '*' and '?' are wildcards in a Windows pattern; fnmatch's own
// brackets and backslash escapes must match themselves.
std::string FnmatchPattern(const std::string &pattern)
{
    std::string escaped;
    for (char c : pattern) {
        if (c == '[' || c == ']' || c == '\\')
            escaped += '\\';
        escaped += c;
    }
    return escaped;
}

FILETIME FileTime(const timespec &time)
{
    const unsigned long long ticks = (static_cast<unsigned long long>(time.tv_sec) + kFileTimeEpochSeconds) * 10000000ULL +
                                     static_cast<unsigned long long>(time.tv_nsec) / 100;
    FILETIME result;
    result.dwLowDateTime = static_cast<DWORD>(ticks);
    result.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return result;
}

void FillFindData(const std::string &folder, const std::string &name, WIN32_FIND_DATAA &data)
{
    std::memset(&data, 0, sizeof data);
    struct stat info {};
    if (stat((folder + "/" + name).c_str(), &info) == 0) {
        data.dwFileAttributes = S_ISDIR(info.st_mode) ? kFileAttributeDirectory : FILE_ATTRIBUTE_NORMAL;
        data.ftLastWriteTime = FileTime(info.st_mtim);
        data.ftLastAccessTime = FileTime(info.st_atim);
        data.ftCreationTime = FileTime(info.st_ctim);
        const auto size = static_cast<unsigned long long>(info.st_size);
        data.nFileSizeHigh = static_cast<DWORD>(size >> 32);
        data.nFileSizeLow = static_cast<DWORD>(size);
    } else {
        data.dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
    }
    std::strncpy(data.cFileName, name.c_str(), sizeof data.cFileName - 1);
}

// The matches of one FindFirstFileA, all read at once: a listing of one
// folder is short, and later changes to the folder cannot disturb it.
class Search : public HandleObject, public NotKernelObject {
public:
    std::string folder;
    std::vector<std::string> names;
    std::mutex mutex;
    size_t next = 0; // under mutex
};

} // namespace
} // namespace ostrel::posix

using namespace ostrel::posix;

// As Windows: a buffer too small gets the path cut to size - 1 characters with
// its terminator, the result is `size` and the error ERROR_INSUFFICIENT_BUFFER.
DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size)
{
    if (ostrel::hooks::FaultHit("GetModuleFileNameA"))
        return 0;
    if (module != nullptr && module != MainModule()) {
        StoreLastError(kErrorModNotFound);
        return 0;
    }
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length < 0) {
        StoreLastError(FileError(errno));
        return 0;
    }
    if (fileName == nullptr || size == 0) {
        StoreLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (static_cast<size_t>(length) >= size) {
        std::memcpy(fileName, path, size - 1);
        fileName[size - 1] = '\0';
        StoreLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::memcpy(fileName, path, static_cast<size_t>(length));
    fileName[length] = '\0';
    return static_cast<DWORD>(length);
}

UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size)
{
    if (ostrel::hooks::FaultHit("GetSystemDirectoryA"))
        return 0;
    return CopyResult(SystemFolder(), buffer, size);
}

BOOL WINAPI CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES)
{
    if (ostrel::hooks::FaultHit("CreateDirectoryA"))
        return FALSE;
    if (path == nullptr || path[0] == '\0') {
        StoreLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    if (mkdir(path, 0777) != 0) {
        StoreLastError(FileError(errno));
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI MoveFileExA(LPCSTR existing, LPCSTR replacement, DWORD flags)
{
    if (ostrel::hooks::FaultHit("MoveFileExA"))
        return FALSE;
    if (existing == nullptr || replacement == nullptr || existing[0] == '\0' || replacement[0] == '\0') {
        StoreLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    struct stat target {};
    if ((flags & MOVEFILE_REPLACE_EXISTING) == 0 && stat(replacement, &target) == 0) {
        StoreLastError(ERROR_ALREADY_EXISTS);
        return FALSE;
    }
    if (rename(existing, replacement) != 0) {
        StoreLastError(FileError(errno));
        return FALSE;
    }
    return TRUE;
}

DWORD WINAPI GetFullPathNameA(LPCSTR fileName, DWORD size, LPSTR buffer, LPSTR *filePart)
{
    if (ostrel::hooks::FaultHit("GetFullPathNameA"))
        return 0;
    if (fileName == nullptr || fileName[0] == '\0') {
        StoreLastError(kErrorInvalidName);
        return 0;
    }
    char folder[4096];
    if (fileName[0] != '/' && getcwd(folder, sizeof folder) == nullptr) {
        StoreLastError(FileError(errno));
        return 0;
    }
    std::string full;
    if (!Allocating([&] { full = Normalise(fileName[0] == '/' ? fileName : std::string(folder) + "/" + fileName); }))
        return 0;
    const DWORD result = CopyResult(full, buffer, size);
    if (filePart != nullptr && result == full.size()) {
        // The last component, or null when the path ends in a separator.
        const size_t last = full.rfind('/') + 1;
        *filePart = last < full.size() ? buffer + last : nullptr;
    }
    return result;
}

// The wildcards may only stand in the last component, as in Windows. Names
// compare with case, as this system's files do.
HANDLE WINAPI FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data)
{
    if (ostrel::hooks::FaultHit("FindFirstFileA"))
        return INVALID_HANDLE_VALUE;
    if (pattern == nullptr || pattern[0] == '\0' || data == nullptr) {
        StoreLastError(pattern == nullptr || pattern[0] == '\0' ? ERROR_PATH_NOT_FOUND : ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE found = INVALID_HANDLE_VALUE;
    Allocating([&] {
        const std::string text = pattern;
        const size_t slash = text.rfind('/');
        auto search = std::make_shared<Search>();
        search->folder = slash == std::string::npos ? "." : slash == 0 ? "/" : text.substr(0, slash);
        const std::string wanted = FnmatchPattern(slash == std::string::npos ? text : text.substr(slash + 1));
        std::unique_ptr<DIR, int (*)(DIR *)> folder(opendir(search->folder.c_str()), closedir);
        if (folder == nullptr) {
            StoreLastError(FileError(errno));
            return;
        }
        while (const dirent *entry = readdir(folder.get()))
            if (fnmatch(wanted.c_str(), entry->d_name, 0) == 0)
                search->names.push_back(entry->d_name);
        if (search->names.empty()) {
            StoreLastError(ERROR_FILE_NOT_FOUND);
            return;
        }
        // readdir's order is the file system's whim; sorted, a listing is the
        // same on every machine, as NTFS's alphabetical one is.
        std::sort(search->names.begin(), search->names.end());
        FillFindData(search->folder, search->names[0], *data);
        search->next = 1;
        found = InsertHandle(search);
    });
    return found;
}

BOOL WINAPI FindNextFileA(HANDLE handle, LPWIN32_FIND_DATAA data)
{
    if (ostrel::hooks::FaultHit("FindNextFileA"))
        return FALSE;
    auto search = LookupHandleAs<Search>(handle);
    if (search == nullptr) {
        StoreLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (data == nullptr) {
        StoreLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(search->mutex);
    if (search->next >= search->names.size()) {
        StoreLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    FillFindData(search->folder, search->names[search->next++], *data);
    return TRUE;
}

BOOL WINAPI FindClose(HANDLE handle)
{
    const bool fail = ostrel::hooks::FaultHit("FindClose");
    if (!CloseHandleAs<Search>(handle)) {
        StoreLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return fail ? FALSE : TRUE;
}
