// OSTREL_BENCH under the library of real instruments: said once, on stderr, as the bench says its own troubles.
#include "platform/libusb/BenchVariable.h"

#include <cstdio>
#include <cstdlib>

namespace ostrel::usb {

void SayBenchVariableUnused()
{
    static const bool said = [] {
        const char *bench = std::getenv("OSTREL_BENCH");
        if (bench == nullptr || *bench == '\0')
            return false;
        std::fprintf(stderr,
                     "libostrel.so: OSTREL_BENCH names the bench file %s, but this library talks to real instruments "
                     "(unset OSTREL_BENCH, or link the program against libostrel-sim.so)\n",
                     bench);
        return true;
    }();
    (void)said;
}

} // namespace ostrel::usb
