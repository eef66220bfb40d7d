// Winsock 1.1 sockets: IPv4 TCP, twin of net_posix.cpp.
// DEPENDS ON: WSOCK32 (winsock.h), started by net_startup.
// LIMITATIONS: IPv4 only; name resolution is gethostbyname, which blocks and
// is not safe to call from two threads at once. Under Wine, recv reports a
// connection reset as an orderly close; net_recv_some finds it out.
#include "platform/platform.h"

#include <winsock.h>

#include <cstring>

namespace {

SOCKET handle_of(NetSocket s)
{
    return static_cast<SOCKET>(s);
}

enum ProbeSet { PROBE_READ, PROBE_WRITE, PROBE_EXCEPTION };

int probe(NetSocket s, ProbeSet which, int timeout_ms)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(handle_of(s), &set);
    if (timeout_ms < 0) {
        timeout_ms = 0;
    }
    timeval timeout = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    const int result =
        select(0, which == PROBE_READ ? &set : nullptr, which == PROBE_WRITE ? &set : nullptr,
               which == PROBE_EXCEPTION ? &set : nullptr, &timeout);
    if (result == SOCKET_ERROR) {
        return -1;
    }
    return FD_ISSET(handle_of(s), &set) ? 1 : 0;
}

} // namespace

NetSocket net_socket()
{
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    return s == INVALID_SOCKET ? NET_INVALID_SOCKET : static_cast<NetSocket>(s);
}

int net_connect(NetSocket s, const char* host, int port)
{
    const hostent* found = gethostbyname(host);
    if (found == nullptr || found->h_addr_list == nullptr || found->h_addr_list[0] == nullptr) {
        return 0;
    }
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port & 0xFFFF));
    std::memcpy(&address.sin_addr, found->h_addr_list[0], sizeof address.sin_addr);
    // Every write goes out at once: a request or a TLS message held back by
    // Nagle's algorithm until the server's delayed acknowledgement costs
    // some 40 ms a connection. Each is written whole, so nothing is lost.
    const BOOL on = TRUE;
    setsockopt(handle_of(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
               sizeof on);

    if (connect(handle_of(s), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        return 1;
    }
    return WSAGetLastError() == WSAEWOULDBLOCK ? 1 : 0;
}

int net_connect_wait(NetSocket s, int timeout_ms)
{
    // Winsock reports a failed non-blocking connect in the exception set.
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(handle_of(s), &writable);
    FD_SET(handle_of(s), &failed);
    timeval timeout = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    if (select(0, nullptr, &writable, &failed, &timeout) <= 0) {
        return 0;
    }
    return FD_ISSET(handle_of(s), &writable) && !FD_ISSET(handle_of(s), &failed) ? 1 : 0;
}

int net_close(NetSocket s)
{
    return closesocket(handle_of(s));
}

int net_set_nonblocking(NetSocket s)
{
    u_long on = 1;
    return ioctlsocket(handle_of(s), FIONBIO, &on);
}

int net_set_blocking(NetSocket s)
{
    u_long off = 0;
    return ioctlsocket(handle_of(s), FIONBIO, &off);
}

int net_can_read(NetSocket s, int timeout_ms)
{
    return probe(s, PROBE_READ, timeout_ms);
}

int net_can_write(NetSocket s, int timeout_ms)
{
    return probe(s, PROBE_WRITE, timeout_ms);
}

int net_has_exception(NetSocket s)
{
    return probe(s, PROBE_EXCEPTION, 0);
}

int net_recv(NetSocket s, char* buffer, int size)
{
    return recv(handle_of(s), buffer, size, 0);
}

int net_send(NetSocket s, const char* data, int size)
{
    return send(handle_of(s), data, size, 0);
}

int net_recv_some(NetSocket s, char* buffer, int size)
{
    // Cleared so that an orderly close (recv gives 0) reads back as no error.
    WSASetLastError(0);
    const int received = net_recv(s, buffer, size);
    if (received < 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
        WSASetLastError(0);
        return 0;
    }
    if (received == 0) {
        // Wine hands a connection reset to recv as an orderly close. A
        // zero-byte send tells the two apart: it succeeds on a connection the
        // peer has merely closed, and fails with the reset on one it has
        // aborted. On Windows itself recv already reports the reset.
        if (send(handle_of(s), buffer, 0, 0) != SOCKET_ERROR) {
            WSASetLastError(0);
        }
        return -1;
    }
    return received > 0 ? received : -1;
}

int net_send_some(NetSocket s, const char* data, int size)
{
    WSASetLastError(0);
    const int accepted = net_send(s, data, size);
    if (accepted < 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
        WSASetLastError(0);
        return 0;
    }
    return accepted < 0 ? -1 : accepted;
}

int net_last_error()
{
    return WSAGetLastError();
}

int net_listen(NetSocket s, int port)
{
    const int on = 1;
    if (setsockopt(handle_of(s), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on),
                   sizeof on) != 0) {
        return 0;
    }
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port & 0xFFFF));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(handle_of(s), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return 0;
    }
    return listen(handle_of(s), 10) == 0 ? 1 : 0;
}

NetSocket net_accept(NetSocket listener, char* address_text)
{
    sockaddr_in address = {};
    int size = sizeof address;
    const SOCKET accepted =
        accept(handle_of(listener), reinterpret_cast<sockaddr*>(&address), &size);
    if (accepted == INVALID_SOCKET) {
        return NET_INVALID_SOCKET;
    }
    if (address_text != nullptr) {
        const char* dotted = inet_ntoa(address.sin_addr);
        std::size_t n = dotted != nullptr ? std::strlen(dotted) : 0;
        if (n > 15) {
            n = 15;
        }
        if (n > 0) {
            std::memcpy(address_text, dotted, n);
        }
        address_text[n] = '\0';
    }
    return static_cast<NetSocket>(accepted);
}

int net_set_keepalive(NetSocket s, int on)
{
    const int value = on != 0 ? 1 : 0;
    return setsockopt(handle_of(s), SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&value),
                      sizeof value);
}

int net_host_name(char* buffer, int size)
{
    return gethostname(buffer, size);
}
