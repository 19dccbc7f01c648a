// What the tool needs from the system it runs on; one implementation per
// system (SystemPosix.cpp, SystemWindows.cpp), chosen by the build.
#pragma once

#include <string>
#include <vector>

namespace ostrel::tool::os {

// The library files to try, in order: the real library's, or the bench's.
std::vector<std::string> LibraryNames(bool bench);

// Loads a library by file name or path: its handle, or null with `error`.
void *OpenLibrary(const std::string &name, std::string &error);
// An exported function of the library, or null.
void *FindFunction(void *library, const char *name);
// The file the loaded library came from, as a full path.
std::string LibraryFile(void *library);

// Removes a variable from this process's environment.
void Unset(const char *variable);

unsigned long ProcessId();

// The folder of the library's log when its file cannot be asked for, with a
// separator at its end: OSTREL_LOG_DIR, else the documents folder's Log, else
// the current folder.
std::string LogFolderByRule();
// The log file the library has open in this process, if the system can tell.
std::string OpenLogFile();

} // namespace ostrel::tool::os
