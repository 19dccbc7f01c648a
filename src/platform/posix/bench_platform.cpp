// The POSIX layer's side of the bench's control API: its faults and its documents folder.
#include "platform/sim/BenchPlatform.h"

#include "documents.h"
#include "faults.h"

namespace ostrel::sim {

bool InjectPlatformFault(const std::string &call, DWORD error, unsigned after, unsigned times)
{
    return posix::InjectFault(call, error, after, times);
}

void ClearPlatformFaults()
{
    posix::ClearFaults();
}

std::string SetPlatformDocumentsFolder(const char *path)
{
    return posix::SetDocumentsFolder(path) ? std::string() : std::string("the log is already open");
}

int PlatformDeviceHandles()
{
    // CreateFileA goes through bus::Open here, so the bench counts them all.
    return 0;
}

} // namespace ostrel::sim
