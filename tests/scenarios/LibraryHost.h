// Loading and unloading the library at run time, as programs in other
// languages do: one implementation per platform (posix/LibraryHostPosix.cpp,
// windows/LibraryHostWindows.cpp), for programs that do not link it.
#pragma once

#include <string>

namespace ostrel::scenario::library {

// The library at `path`, or null.
void *Load(const std::string &path);
// One of its functions, or null.
void *Symbol(void *library, const char *name);
// Gives up this program's reference.
bool Unload(void *library);
// Whether the library at `path` is still mapped into this process.
bool Loaded(const std::string &path);

} // namespace ostrel::scenario::library
