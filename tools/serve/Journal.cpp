// The journal through libsystemd: entries with the line as their message.
#include "Journal.h"

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

// The entries name no source file: the installed tool carries no path of its build.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

namespace ostrel::tool::serve {

// systemd sets JOURNAL_STREAM to "<device>:<inode>" of the stream it connects
// to standard output; a child with its output sent elsewhere inherits the
// variable, so the stream itself is compared.
bool OutputIsJournal()
{
    const char *stream = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0, inode = 0;
    struct stat output {};
    return stream != nullptr && std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
           fstat(STDOUT_FILENO, &output) == 0 && output.st_dev == device && output.st_ino == inode;
}

bool ToJournal(const std::string &stamp, const std::string &text)
{
    // The journal stamps each entry as it takes it; the line's own time says
    // when it happened, which differs when the journal was slow.
    return sd_journal_send("MESSAGE=%s", text.c_str(), "PRIORITY=%d", LOG_INFO, "OSTREL_TIME=%s", stamp.c_str(),
                           nullptr) == 0;
}

} // namespace ostrel::tool::serve
