// Lets the bench choose the folder that stands for the user's documents folder.
#pragma once

namespace ostrel::posix {

// Makes `path` the folder SHGetFolderPathA(CSIDL_PERSONAL) reports. False (and
// nothing changes) for a null path or once SHGetFolderPathA has been called,
// since the log may already sit in the folder it gave.
bool SetDocumentsFolder(const char *path);

} // namespace ostrel::posix
