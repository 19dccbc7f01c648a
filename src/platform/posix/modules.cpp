// Modules: the executable's, and the shared object a piece of code lives in,
// held and let go as Windows holds and frees a DLL.
#include "platform/BenchHooks.h"
#include "platform/posix/internal.h"

#include <dlfcn.h>
#include <pthread.h>

namespace ostrel::posix {
namespace {

// There is no load address to stand for the executable, so a private object's
// address does, as stable and unique as Windows' HMODULE.
const char kMainModule = 0;

// The thread-specific slot whose destructor lets go of a module as its thread
// ends. The C library runs that destructor after every C++ destructor of the
// thread, and it is the C library's dlclose itself, so nothing of the module's
// own code runs once it may be unmapped. One key per load of this code; it
// outlives an unload, which Linux keeps room for.
pthread_key_t ReleaseOnExitKey()
{
    static const pthread_key_t key = [] {
        pthread_key_t created{};
        // dlclose takes the handle and its result is ignored: a destructor.
        auto release = reinterpret_cast<void (*)(void *)>(reinterpret_cast<void (*)()>(&dlclose));
        pthread_key_create(&created, release);
        return created;
    }();
    return key;
}

} // namespace

HMODULE MainModule()
{
    return reinterpret_cast<HMODULE>(const_cast<char *>(&kMainModule));
}

} // namespace ostrel::posix

using namespace ostrel::posix;

HMODULE WINAPI GetModuleHandleA(LPCSTR moduleName)
{
    if (ostrel::hooks::FaultHit("GetModuleHandleA"))
        return nullptr;
    // Only the executable's own module is ever asked for.
    if (moduleName != nullptr) {
        StoreLastError(kErrorModNotFound);
        return nullptr;
    }
    return MainModule();
}

BOOL WINAPI GetModuleHandleExW(DWORD flags, LPCWSTR moduleName, HMODULE *module)
{
    if (ostrel::hooks::FaultHit("GetModuleHandleExW"))
        return FALSE;
    if (module == nullptr || (flags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) == 0) {
        StoreLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *module = nullptr;
    Dl_info found{};
    if (dladdr(moduleName, &found) == 0 || found.dli_fname == nullptr) {
        StoreLastError(kErrorModNotFound);
        return FALSE;
    }
    // RTLD_NOLOAD finds a loaded shared object and counts one reference more;
    // the executable itself is not found by its name, and is never unloaded.
    void *loaded = dlopen(found.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    if (loaded == nullptr) {
        *module = MainModule();
        return TRUE;
    }
    if (flags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT)
        dlclose(loaded);
    *module = reinterpret_cast<HMODULE>(loaded);
    return TRUE;
}

BOOL WINAPI FreeLibrary(HMODULE module)
{
    if (ostrel::hooks::FaultHit("FreeLibrary"))
        return FALSE;
    if (module == nullptr) {
        StoreLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (module == MainModule() || dlclose(module) == 0)
        return TRUE;
    StoreLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

void FreeLibraryAndExitThread(HMODULE module, DWORD exitCode)
{
    if (module != nullptr && module != MainModule())
        pthread_setspecific(ReleaseOnExitKey(), module);
    ExitThread(exitCode);
}
