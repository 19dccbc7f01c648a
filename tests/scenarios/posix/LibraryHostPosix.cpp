// Loading the library on Linux: dlopen.
#include "../LibraryHost.h"

#include <dlfcn.h>

namespace ostrel::scenario::library {

void *Load(const std::string &path)
{
    return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void *Symbol(void *library, const char *name)
{
    return dlsym(library, name);
}

bool Unload(void *library)
{
    return dlclose(library) == 0;
}

bool Loaded(const std::string &path)
{
    void *found = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (found == nullptr)
        return false;
    dlclose(found);
    return true;
}

} // namespace ostrel::scenario::library
