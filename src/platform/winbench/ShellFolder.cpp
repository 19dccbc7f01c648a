// The user's documents folder as OstrelSim.dll's core sees it: the folder the
// bench chose (ostrel_sim_set_documents_folder), otherwise Windows' own
// answer. The core's SHGetFolderPathA binds to this definition instead of
// shell32's import (_SHFOLDER_), as its SetupAPI calls bind to the bench's.
#include "platform/BenchHooks.h"
#include "platform/ExceptionBoundary.h"

#include <windows.h>
#include <shlobj.h>

#include <cstring>
#include <string>

namespace {

using ShellCall = HRESULT(WINAPI *)(HWND, int, HANDLE, DWORD, LPSTR);

// shell32's own, found once.
ShellCall ShellFolderPath()
{
    static const ShellCall call = reinterpret_cast<ShellCall>(
        reinterpret_cast<void *>(GetProcAddress(LoadLibraryA("shell32.dll"), "SHGetFolderPathA")));
    return call;
}

// As the shell answers for a folder of its own: S_FALSE, with the path filled
// in, when the folder does not exist (unless CSIDL_FLAG_CREATE makes it).
HRESULT ChosenFolder(const std::string &folder, int csidl, LPSTR path)
{
    if (folder.size() >= MAX_PATH)
        return E_FAIL;
    std::memcpy(path, folder.c_str(), folder.size() + 1);
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return S_OK;
    return (csidl & CSIDL_FLAG_CREATE) != 0 && CreateDirectoryA(path, nullptr) ? S_OK : S_FALSE;
}

} // namespace

extern "C" HRESULT WINAPI SHGetFolderPathA(HWND owner, int folder, HANDLE token, DWORD flags, LPSTR path)
{
    std::string chosen;
    bool replaced = false;
    if ((folder & ~CSIDL_FLAG_MASK) == CSIDL_PERSONAL && path != nullptr &&
        !ostrel::CatchAll([&] { replaced = ostrel::hooks::DocumentsFolder(chosen); }, [] {}))
        return E_OUTOFMEMORY;
    if (replaced)
        return ChosenFolder(chosen, folder, path);
    const ShellCall shell = ShellFolderPath();
    return shell != nullptr ? shell(owner, folder, token, flags, path) : E_FAIL;
}
