// The gateway's sockets: listening, peers, client networks, bounded waits.
#include "Network.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace ostrel::tool::serve {
namespace {

// An IPv4 client of a socket that takes both families arrives as ::ffff:a.b.c.d.
bool Unmapped(const sockaddr_storage &address, sockaddr_storage &plain)
{
    plain = address;
    if (address.ss_family != AF_INET6)
        return false;
    const auto &six = reinterpret_cast<const sockaddr_in6 &>(address);
    if (!IN6_IS_ADDR_V4MAPPED(&six.sin6_addr))
        return false;
    sockaddr_in four{};
    four.sin_family = AF_INET;
    four.sin_port = six.sin6_port;
    std::memcpy(&four.sin_addr, six.sin6_addr.s6_addr + 12, 4);
    std::memset(&plain, 0, sizeof plain);
    std::memcpy(&plain, &four, sizeof four);
    return true;
}

} // namespace

bool ParseNetwork(const std::string &text, Network &network, std::string &error)
{
    const size_t slash = text.find('/');
    const std::string host = text.substr(0, slash);
    network = Network{};
    if (inet_pton(AF_INET, host.c_str(), network.bytes) == 1)
        network.family = AF_INET;
    else if (inet_pton(AF_INET6, host.c_str(), network.bytes) == 1)
        network.family = AF_INET6;
    const unsigned bits = network.family == AF_INET ? 32 : 128;
    network.prefix = bits;
    if (network.family != 0 && slash != std::string::npos) {
        const std::string prefix = text.substr(slash + 1);
        char *end = nullptr;
        const unsigned long value = std::strtoul(prefix.c_str(), &end, 10);
        network.prefix = !prefix.empty() && *end == '\0' && value <= bits ? static_cast<unsigned>(value) : bits + 1;
    }
    if (network.family != 0 && network.prefix <= bits)
        return true;
    error = "'" + text + "' is not a network: give an address with an optional prefix length, such as "
                         "192.168.1.0/24 or fd00::/8";
    return false;
}

bool Contains(const Network &network, const sockaddr_storage &address)
{
    sockaddr_storage plain;
    Unmapped(address, plain);
    if (plain.ss_family != network.family)
        return false;
    const unsigned char *bytes = plain.ss_family == AF_INET
                                     ? reinterpret_cast<const unsigned char *>(
                                           &reinterpret_cast<const sockaddr_in &>(plain).sin_addr)
                                     : reinterpret_cast<const sockaddr_in6 &>(plain).sin6_addr.s6_addr;
    for (unsigned bit = 0; bit < network.prefix; ++bit) {
        const unsigned char mask = static_cast<unsigned char>(0x80 >> (bit % 8));
        if ((bytes[bit / 8] & mask) != (network.bytes[bit / 8] & mask))
            return false;
    }
    return true;
}

bool Allowed(const std::vector<Network> &allowed, const sockaddr_storage &address)
{
    return allowed.empty() || std::any_of(allowed.begin(), allowed.end(),
                                          [&](const Network &network) { return Contains(network, address); });
}

Socket Listen(const std::string &address, unsigned port, unsigned &bound, std::string &error)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    const std::string service = std::to_string(port);
    if (const int status = getaddrinfo(address.c_str(), service.c_str(), &hints, &found)) {
        error = "cannot listen on '" + address + "': " + gai_strerror(status) + " (give a numeric address such as "
                "127.0.0.1 or 0.0.0.0)";
        return kNoSocket;
    }
    const Socket fd = OpenSocket(found->ai_family, found->ai_socktype, found->ai_protocol);
    bool ok = fd != kNoSocket && ReusePort(fd) && bind(fd, found->ai_addr, static_cast<int>(found->ai_addrlen)) == 0 &&
              listen(fd, 64) == 0;
    freeaddrinfo(found);
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    ok = ok && getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length) == 0;
    if (!ok) {
        error = "cannot listen on " + address + " port " + service + ": " + SocketError();
        if (fd != kNoSocket)
            CloseSocket(fd);
        return kNoSocket;
    }
    bound = ntohs(local.ss_family == AF_INET ? reinterpret_cast<sockaddr_in &>(local).sin_port
                                             : reinterpret_cast<sockaddr_in6 &>(local).sin6_port);
    return fd;
}

std::string HostOf(const sockaddr_storage &address)
{
    sockaddr_storage plain;
    Unmapped(address, plain);
    char host[NI_MAXHOST] = "?";
    getnameinfo(reinterpret_cast<const sockaddr *>(&plain), sizeof plain, host, sizeof host, nullptr, 0,
                NI_NUMERICHOST);
    return host;
}

std::string PeerOf(const sockaddr_storage &address)
{
    sockaddr_storage plain;
    Unmapped(address, plain);
    const unsigned port = ntohs(plain.ss_family == AF_INET ? reinterpret_cast<const sockaddr_in &>(plain).sin_port
                                                           : reinterpret_cast<const sockaddr_in6 &>(plain).sin6_port);
    const std::string host = HostOf(address);
    return (plain.ss_family == AF_INET6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

Wait WaitReadable(Socket socket, unsigned ms)
{
    pollfd entry{socket, POLLIN, 0};
    for (;;) {
        const int ready = PollSockets(&entry, 1, static_cast<int>(ms));
        if (ready > 0)
            return Wait::kReady;
        if (ready == 0)
            return Wait::kIdle;
        if (!Interrupted())
            return Wait::kReady; // the read that follows finds out what is wrong
    }
}

std::string HostName(const std::string &listen)
{
    if (listen != "0.0.0.0" && listen != "::")
        return listen.find(':') != std::string::npos ? "[" + listen + "]" : listen;
    char name[256] = "";
    return gethostname(name, sizeof name - 1) == 0 ? name : "<this PC>";
}

std::string InstrResource(const std::string &host, const std::string &device)
{
    return "TCPIP::" + host + "::" + device + "::INSTR";
}

std::string SocketResource(const std::string &host, unsigned port)
{
    return "TCPIP::" + host + "::" + std::to_string(port) + "::SOCKET";
}

} // namespace ostrel::tool::serve
