// The BSD socket calls the gateway makes, mapped onto Winsock 2. The gateway
// is written once against these names (the POSIX twin of this header has
// them as they are).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>
#include <csignal>
#include <string>

namespace ostrel::tool::serve {

using Socket = SOCKET;
constexpr Socket kNoSocket = INVALID_SOCKET;

inline bool StartSockets(std::string &error)
{
    WSADATA data;
    const int status = WSAStartup(MAKEWORD(2, 2), &data);
    if (status != 0)
        error = "Winsock 2.2 is not available (error " + std::to_string(status) + ")";
    return status == 0;
}

// Ctrl-C and Ctrl-Break in the console ask serve to stop.
inline void OnStopSignals(void (*handler)(int))
{
    std::signal(SIGINT, handler);
    std::signal(SIGBREAK, handler);
    std::signal(SIGTERM, handler);
}

inline Socket OpenSocket(int family, int type, int protocol)
{
    return WSASocketW(family, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
}

// Winsock's SO_REUSEADDR would let another program take the port from under
// the gateway; exclusive use is what the POSIX option means here.
inline bool ReusePort(Socket socket)
{
    const BOOL on = TRUE;
    return setsockopt(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char *>(&on), sizeof on) == 0;
}

inline Socket AcceptClient(Socket listener, sockaddr_storage &peer)
{
    int length = sizeof peer;
    return accept(listener, reinterpret_cast<sockaddr *>(&peer), &length);
}

inline long SendSome(Socket socket, const char *bytes, size_t count)
{
    return send(socket, bytes, static_cast<int>(count < INT_MAX ? count : INT_MAX), 0);
}

inline long ReceiveSome(Socket socket, char *bytes, size_t count)
{
    return recv(socket, bytes, static_cast<int>(count < INT_MAX ? count : INT_MAX), 0);
}

inline int PollSockets(pollfd *entries, size_t count, int ms)
{
    return WSAPoll(entries, static_cast<ULONG>(count), ms);
}

// The peer has closed or reset its side. Winsock has no half-close event: a
// peek that finds the stream's end (or an error) says so, as long as no
// unread bytes come before it.
inline bool PeerGone(Socket socket)
{
    pollfd entry{socket, POLLRDNORM, 0};
    if (WSAPoll(&entry, 1, 0) <= 0)
        return false;
    if ((entry.revents & (POLLHUP | POLLERR)) != 0)
        return true;
    char byte;
    return recv(socket, &byte, 1, MSG_PEEK) <= 0;
}

inline bool Interrupted()
{
    return WSAGetLastError() == WSAEINTR;
}

// Wakes a thread blocked on the socket, which then finds it shut; the socket
// stays open until that thread has let go of it. A shutdown alone need not
// end a wait that Winsock has under way, so that is cancelled too.
inline void WakeSocket(Socket socket)
{
    shutdown(socket, SD_BOTH);
    CancelIoEx(reinterpret_cast<HANDLE>(socket), nullptr);
}

inline void CloseSocket(Socket socket)
{
    closesocket(socket);
}

inline std::string SocketError()
{
    const int code = WSAGetLastError();
    char text[256] = "";
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                        static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
        message.pop_back();
    return (message.empty() ? "socket error" : message) + " (" + std::to_string(code) + ")";
}

} // namespace ostrel::tool::serve
