// The BSD socket calls the gateway makes, as POSIX has them. The gateway is
// written once against these names; the Windows twin of this header maps
// them onto Winsock.
#pragma once

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace ostrel::tool::serve {

using Socket = int;
constexpr Socket kNoSocket = -1;

inline bool StartSockets(std::string &)
{
    return true;
}

// `handler` for the signals that ask serve to stop; a client gone while its
// reply is sent is a failed send, not an end.
inline void OnStopSignals(void (*handler)(int))
{
    std::signal(SIGTERM, handler);
    std::signal(SIGINT, handler);
    std::signal(SIGPIPE, SIG_IGN);
}

inline Socket OpenSocket(int family, int type, int protocol)
{
    return socket(family, type | SOCK_CLOEXEC, protocol);
}

// A restarted gateway takes its ports back at once, not after TIME_WAIT.
inline bool ReusePort(Socket socket)
{
    const int on = 1;
    return setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
}

inline Socket AcceptClient(Socket listener, sockaddr_storage &peer)
{
    socklen_t length = sizeof peer;
    return accept4(listener, reinterpret_cast<sockaddr *>(&peer), &length, SOCK_CLOEXEC);
}

inline long SendSome(Socket socket, const char *bytes, size_t count)
{
    return send(socket, bytes, count, MSG_NOSIGNAL);
}

inline long ReceiveSome(Socket socket, char *bytes, size_t count)
{
    return recv(socket, bytes, count, 0);
}

inline int PollSockets(pollfd *entries, size_t count, int ms)
{
    return poll(entries, count, ms);
}

// The peer has closed or reset its side, even with bytes of its left unread.
inline bool PeerGone(Socket socket)
{
    pollfd entry{socket, POLLRDHUP, 0};
    return poll(&entry, 1, 0) > 0 && (entry.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

inline bool Interrupted()
{
    return errno == EINTR;
}

// Wakes a thread blocked on the socket, which then finds it shut; the socket
// stays open until that thread has let go of it.
inline void WakeSocket(Socket socket)
{
    shutdown(socket, SHUT_RDWR);
}

inline void CloseSocket(Socket socket)
{
    close(socket);
}

inline std::string SocketError()
{
    return std::strerror(errno);
}

} // namespace ostrel::tool::serve
