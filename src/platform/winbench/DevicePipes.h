// The device paths the SetupAPI over the bench hands out on Windows: one named
// pipe of this process per plugged bench instrument, so that the system's own
// CreateFileA opens them with the library's flags and fails once the
// instrument is gone.
#pragma once

#include "platform/sim/Instrument.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ostrel::winbench {

// Why pipes and not files: the library opens its device paths without
// FILE_SHARE_DELETE, so a file it holds open could not be deleted at unplug,
// and opening the path again would still succeed. A pipe name exists only
// while one of its server ends does.
//
// Each plugged instrument keeps one server end free for the next CreateFileA;
// an end taken by a client (a device handle) is kept until that client
// closes, which is how device handles are counted. Refresh() notices both
// and is called by every call over the bench that depends on them.
class DevicePipes {
public:
    static DevicePipes &Get();

    // The pipe paths of the instruments present on the bench, in plug order,
    // each with a free end to connect to.
    std::vector<std::string> PresentPaths();

    // The bench's notifications, on the plugging thread. Both return the
    // instrument's pipe path ("" if the bench does not know the path).
    std::string Arrived(const std::string &benchPath);
    std::string Removed(const std::string &benchPath);

    // The instrument behind a handle CreateFileA opened on one of the paths.
    // Fails as WinUSB would for a handle that is not an instrument's
    // (ERROR_INVALID_HANDLE) or was not opened for overlapped reading and
    // writing (ERROR_INVALID_PARAMETER).
    DWORD Identify(HANDLE file, std::shared_ptr<sim::Instrument> &instrument);

    // Device handles open on instruments, present or removed.
    int OpenClients();

private:
    struct Pipe {
        std::shared_ptr<sim::Instrument> instrument;
        std::string path;
        bool present = true;
        std::vector<HANDLE> ends; // server ends: free, or taken by a client
    };

    DevicePipes() = default;
    // Must hold `mutex`. Finds the pipe of a present bench instrument, making
    // it if the bench's arrival has not reached us yet.
    Pipe *PipeOf(const std::shared_ptr<sim::Instrument> &instrument);
    // Must hold `mutex`. Closes the ends whose client has gone, opens a free
    // end for a present instrument that has none, forgets a removed
    // instrument whose ends are all closed. Returns the clients still open.
    int Refresh(Pipe &pipe);
    int RefreshAll();

    std::mutex mutex;
    std::map<int, Pipe> pipes; // by bench slot: plug order
};

} // namespace ostrel::winbench
