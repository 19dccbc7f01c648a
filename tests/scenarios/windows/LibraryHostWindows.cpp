// Loading the library on Windows: LoadLibraryA.
#include "../LibraryHost.h"

#include <windows.h>

namespace ostrel::scenario::library {

void *Load(const std::string &path)
{
    return LoadLibraryA(path.c_str());
}

void *Symbol(void *library, const char *name)
{
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(library), name));
}

bool Unload(void *library)
{
    return FreeLibrary(static_cast<HMODULE>(library)) != FALSE;
}

bool Loaded(const std::string &path)
{
    return GetModuleHandleA(path.c_str()) != nullptr;
}

} // namespace ostrel::scenario::library
