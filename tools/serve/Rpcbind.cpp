// The core channel's registration with the system's rpcbind: taken only from
// a gateway that no longer answers, and given back only if it is still ours.
#include "RpcChannel.h"

#include "Network.h"

#include <rpc/pmap_clnt.h>
#include <rpc/pmap_prot.h>

#include "vxi11.h"

namespace ostrel::tool::serve {
namespace {

// The port rpcbind has for the core channel on this PC; 0: none.
unsigned short RegisteredPort()
{
    sockaddr_in self{};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return pmap_getport(&self, DEVICE_CORE, DEVICE_CORE_VERSION, IPPROTO_TCP);
}

// Whether something still accepts connections on the loopback port.
bool Answers(unsigned short port)
{
    const Socket probe = OpenSocket(AF_INET, SOCK_STREAM, 0);
    if (probe == kNoSocket)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool answered = connect(probe, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    CloseSocket(probe);
    return answered;
}

} // namespace

bool RegisterCore(unsigned port, std::string &error)
{
    const unsigned short registered = RegisteredPort();
    if (registered != 0 && registered != port && Answers(registered)) {
        error = "another VXI-11 server is registered with rpcbind and answering on port " +
                std::to_string(registered) + " (another ostrel serve?): stop it first";
        return false;
    }
    // A registration left by a gateway that did not stop cleanly gives way.
    if (registered != 0)
        pmap_unset(DEVICE_CORE, DEVICE_CORE_VERSION);
    if (pmap_set(DEVICE_CORE, DEVICE_CORE_VERSION, IPPROTO_TCP, static_cast<unsigned short>(port)))
        return true;
    error = "rpcbind did not take the VXI-11 core channel: is it running? (apt install rpcbind; "
            "systemctl start rpcbind; as root in a container: rpcbind)";
    return false;
}

void UnregisterCore(unsigned port)
{
    if (RegisteredPort() == port)
        pmap_unset(DEVICE_CORE, DEVICE_CORE_VERSION);
}

} // namespace ostrel::tool::serve
