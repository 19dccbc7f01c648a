// serve where this build has no ONC RPC engine: refused with what to do instead.
#include "Cli.h"
#include "Output.h"

namespace ostrel::tool {

bool ServeBuilt()
{
    return false;
}

int Serve(Session &)
{
    return Fail(kFailed, "serve is not part of this build: it needs ONC RPC (libtirpc), which this system's build "
                         "lacks; run ostrel serve on a Linux PC with libtirpc (see docs/lan.md)");
}

} // namespace ostrel::tool
