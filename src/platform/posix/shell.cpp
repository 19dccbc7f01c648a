// The user's documents folder (SHGetFolderPathA).
#include "platform/BenchHooks.h"
#include "platform/posix/internal.h"

#include <cstring>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace ostrel::posix {
namespace {

constexpr int kCsidlFlagCreate = 0x8000;
constexpr int kCsidlFolderMask = 0xFF;
constexpr HRESULT kEInvalidArg = static_cast<HRESULT>(0x80070057u);
constexpr HRESULT kEFail = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT kSFalse = 1;

// The home directory from the password database: $HOME can be anything the
// caller's environment says, and Windows does not consult the environment for
// this folder either.
bool HomeDirectory(std::string &home)
{
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd entry{};
    passwd *found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
        found->pw_dir == nullptr || found->pw_dir[0] == '\0')
        return false;
    home = found->pw_dir;
    return true;
}

std::string DocumentsFolder()
{
    std::string folder;
    if (hooks::DocumentsFolder(folder))
        return folder;
    std::string home;
    if (!HomeDirectory(home))
        return std::string();
    return home + (home.back() == '/' ? "Documents" : "/Documents");
}

bool IsDirectory(const std::string &path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

} // namespace

} // namespace ostrel::posix

// As the ANSI call on Windows: S_FALSE, with the path filled in, when the
// folder does not exist (unless CSIDL_FLAG_CREATE makes it).
HRESULT WINAPI SHGetFolderPathA(HWND, int folder, HANDLE, DWORD, LPSTR path)
{
    using namespace ostrel::posix;
    if (ostrel::hooks::FaultHit("SHGetFolderPathA"))
        return kEFail;
    if ((folder & kCsidlFolderMask) != CSIDL_PERSONAL || path == nullptr)
        return kEInvalidArg;
    std::string documents;
    if (!ostrel::CatchAll([&] { documents = DocumentsFolder(); }, [] {}))
        return kEFail;
    if (documents.empty() || documents.size() >= MAX_PATH)
        return kEFail;
    std::memcpy(path, documents.c_str(), documents.size() + 1);
    if (IsDirectory(documents))
        return S_OK;
    if ((folder & kCsidlFlagCreate) && mkdir(documents.c_str(), 0777) == 0)
        return S_OK;
    return kSFalse;
}
