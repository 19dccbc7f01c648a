// The VXI-11 core and abort channels: ONC RPC calls received, checked and
// answered by libtirpc, dispatched by rpcgen's code to the gateway. A build
// without an ONC RPC engine has no such channels, and serve offers its raw
// SCPI sockets alone.
#pragma once

#include "Connections.h"

#include <string>

namespace ostrel::tool::serve {

// Empty where this build serves VXI-11; otherwise why it does not.
std::string RpcMissing();

struct RpcPorts {
    unsigned core = 0;
    unsigned abort = 0;
};

// Listens on `listen` for the core channel (`port`; 0: any free one) and the
// abort channel (the next port, or any), and hands both to `connections`,
// whose connections close after `idleSeconds` without a call. False with the
// reason in `error`.
bool OpenRpc(const std::string &listen, unsigned port, Gateway &gateway, unsigned idleSeconds,
             Connections &connections, RpcPorts &ports, std::string &error);

// The core channel's program with the system's rpcbind, for this TCP port.
// A registration whose port still answers is another gateway's, and stays:
// false, with why in `error` (as also when rpcbind did not take it).
bool RegisterCore(unsigned port, std::string &error);
// Removes the registration if it is still this port's, and no other.
void UnregisterCore(unsigned port);

} // namespace ostrel::tool::serve
