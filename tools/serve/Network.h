// The gateway's sockets: listening on an address, who a peer is, which
// networks a client may come from, and waiting for a socket with a bound.
#pragma once

#include "SocketApi.h"

#include <string>
#include <vector>

namespace ostrel::tool::serve {

// A block of addresses such as 192.168.1.0/24, 10.1.2.3 or fd00::/8.
struct Network {
    int family = 0; // AF_INET or AF_INET6
    unsigned char bytes[16] = {};
    unsigned prefix = 0;
};

// False with the reason in `error` for text that is no such block.
bool ParseNetwork(const std::string &text, Network &network, std::string &error);
bool Contains(const Network &network, const sockaddr_storage &address);
// In one of the blocks, or no blocks are given.
bool Allowed(const std::vector<Network> &allowed, const sockaddr_storage &address);

// A listening TCP socket on `address` (numeric) and `port` (0: any); kNoSocket with
// the reason in `error`. `bound` is the port it got.
Socket Listen(const std::string &address, unsigned port, unsigned &bound, std::string &error);

// "127.0.0.1" and "127.0.0.1:41234" (IPv4 clients of an IPv6 socket shown as IPv4).
std::string HostOf(const sockaddr_storage &address);
std::string PeerOf(const sockaddr_storage &address);

// How clients name this PC in a resource string: the listening address, or
// the host name when listening on every address.
std::string HostName(const std::string &listen);

// What the gateway offers clients on the network, and how they name this PC.
struct Offered {
    std::string listen;    // the numeric listening address
    std::string host;      // in resource strings and URLs (HostName)
    bool vxi11 = false;    // VXI-11 devices, found through rpcbind on port 111
    unsigned rawPort = 0;  // instrument N's raw socket on rawPort + N; 0: none
    unsigned httpPort = 0; // the web page; 0: none
};

// The resource strings clients open: "TCPIP::host::inst0::INSTR", "TCPIP::host::5025::SOCKET".
std::string InstrResource(const std::string &host, const std::string &device);
std::string SocketResource(const std::string &host, unsigned port);

enum class Wait { kReady, kIdle };
// Until the socket has something to read (or has closed), at most `ms`.
Wait WaitReadable(Socket socket, unsigned ms);

} // namespace ostrel::tool::serve
