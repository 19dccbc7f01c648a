// A connection on the VXI-11 core or abort channel: ONC RPC calls received,
// checked and answered by libtirpc, dispatched by rpcgen's code to the gateway.
#pragma once

#include "Gateway.h"

#include <string>

namespace ostrel::tool::serve {

struct RpcSettings {
    Gateway *gateway = nullptr;
    unsigned short abortPort = 0; // told to clients in create_link
    unsigned idleSeconds = 600;
};

// Serves the connection until it closes or idles out; says why it ended.
std::string ServeCore(int fd, const Client &client, const RpcSettings &settings);
std::string ServeAbort(int fd, const Client &client, const RpcSettings &settings);

// The core channel's program with the system's rpcbind, for this TCP port; false if rpcbind did not take it.
bool RegisterCore(unsigned port);
void UnregisterCore();

} // namespace ostrel::tool::serve
