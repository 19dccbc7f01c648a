// Where this build has no ONC RPC engine (Windows; Linux without libtirpc):
// no VXI-11 channels, and serve offers its raw SCPI sockets alone.
#include "RpcChannel.h"

namespace ostrel::tool::serve {

std::string RpcMissing()
{
    return "VXI-11 is not part of this build: it needs an ONC RPC engine (libtirpc), and this build has none";
}

bool OpenRpc(const std::string &, unsigned, Gateway &, unsigned, Connections &, RpcPorts &, std::string &error)
{
    error = RpcMissing();
    return false;
}

bool RegisterCore(unsigned, std::string &error)
{
    error = RpcMissing();
    return false;
}

void UnregisterCore(unsigned) {}

} // namespace ostrel::tool::serve
