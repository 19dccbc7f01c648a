// The tool's system services on Linux: dlopen, the environment, the log's place.
#include "System.h"

#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <dlfcn.h>
#include <link.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ostrel::tool::os {
namespace {

const char kLogSuffix[] = "_Native.txt";

bool IsFolder(const std::string &path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

} // namespace

std::vector<std::string> LibraryNames(bool bench)
{
    // The versioned name first: it is all an installed system has without
    // the development package; a build folder may have only the plain one.
    if (bench)
        return {"libostrel-sim.so.0", "libostrel-sim.so"};
    return {"libostrel.so.0", "libostrel.so"};
}

void *OpenLibrary(const std::string &name, std::string &error)
{
    void *library = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char *reason = dlerror();
        error = reason != nullptr ? reason : name + ": cannot be loaded";
    }
    return library;
}

void *FindFunction(void *library, const char *name)
{
    return dlsym(library, name);
}

std::string LibraryFile(void *library)
{
    link_map *map = nullptr;
    if (dlinfo(library, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_name == nullptr)
        return "";
    char full[PATH_MAX];
    return realpath(map->l_name, full) != nullptr ? full : map->l_name;
}

void Unset(const char *variable)
{
    unsetenv(variable);
}

unsigned long ProcessId()
{
    return static_cast<unsigned long>(getpid());
}

std::string LogFolderByRule()
{
    const char *chosen = std::getenv("OSTREL_LOG_DIR");
    if (chosen != nullptr && *chosen != '\0')
        return std::string(chosen) + "/";
    // The library's rule: the home folder from the password database, not $HOME.
    const passwd *user = getpwuid(getuid());
    const std::string documents = user != nullptr ? std::string(user->pw_dir) + "/Documents" : "";
    if (!documents.empty() && IsFolder(documents))
        return documents + "/Log/";
    char here[PATH_MAX];
    return std::string(getcwd(here, sizeof here) != nullptr ? here : ".") + "/";
}

std::string OpenLogFile()
{
    DIR *fds = opendir("/proc/self/fd");
    std::string found;
    while (fds != nullptr && found.empty()) {
        const dirent *entry = readdir(fds);
        if (entry == nullptr)
            break;
        char target[PATH_MAX];
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
        const std::string path(target, length > 0 ? static_cast<size_t>(length) : 0);
        const size_t slash = path.rfind('/');
        if (slash != std::string::npos && path.compare(slash + 1, 3, "Log") == 0 && path.size() > sizeof kLogSuffix &&
            path.compare(path.size() - (sizeof kLogSuffix - 1), std::string::npos, kLogSuffix) == 0)
            found = path;
    }
    if (fds != nullptr)
        closedir(fds);
    return found;
}

} // namespace ostrel::tool::os
