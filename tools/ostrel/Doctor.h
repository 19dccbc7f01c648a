// The doctor's checks of the system the instruments are on; one implementation
// per system (DoctorLinux.cpp, DoctorWindows.cpp), chosen by the build.
#pragma once

#include <string>
#include <vector>

namespace ostrel::tool {

struct Finding {
    bool ok;
    std::string what;
    std::string todo; // what to do about a problem, and where the docs say more
};

// What stands between a plugged instrument and the real library: its driver
// or udev rule, the device nodes' permissions, the library's installed copy.
std::vector<Finding> SystemFindings();

} // namespace ostrel::tool
