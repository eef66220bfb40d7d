// POSIX sockets: IPv4 TCP over BSD sockets, twin of net_win32.cpp.
// DEPENDS ON: POSIX.1-2008 sockets, getaddrinfo, poll; MSG_NOSIGNAL (Linux,
// FreeBSD).
// LIMITATIONS: IPv4 only. Readiness probes use poll() rather than select(),
// so descriptors above FD_SETSIZE are probed safely; the results are those
// select() would give (a closed or failed socket counts as readable and
// writable). EINPROGRESS and EWOULDBLOCK play the part of WSAEWOULDBLOCK.
#include "platform/platform.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int fd_of(NetSocket s)
{
    return static_cast<int>(s);
}

int would_block(int error)
{
    return error == EWOULDBLOCK || error == EAGAIN || error == EINPROGRESS;
}

// One zero-or-more-millisecond probe of the given poll events.
int probe(NetSocket s, short events, short ready_events, int timeout_ms)
{
    pollfd entry = {};
    entry.fd = fd_of(s);
    entry.events = events;
    if (timeout_ms < 0) {
        timeout_ms = 0;
    }
    int result = 0;
    do {
        result = poll(&entry, 1, timeout_ms);
    } while (result < 0 && errno == EINTR);
    if (result < 0 || (entry.revents & POLLNVAL) != 0) {
        // select() fails on a descriptor that is not open; poll() reports it
        // in revents instead.
        if (result >= 0) {
            errno = EBADF;
        }
        return -1;
    }
    return (entry.revents & ready_events) != 0 ? 1 : 0;
}

} // namespace

NetSocket net_socket()
{
    return socket(AF_INET, SOCK_STREAM, 0);
}

int net_connect(NetSocket s, const char* host, int port)
{
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    // getaddrinfo takes a DNS name or dotted IPv4 text like gethostbyname,
    // and is safe to call from any thread.
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) {
        return 0;
    }
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port & 0xFFFF));
    address.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    // Every write goes out at once: a request or a TLS message held back by
    // Nagle's algorithm until the server's delayed acknowledgement costs
    // some 40 ms a connection. Each is written whole, so nothing is lost.
    const int on = 1;
    setsockopt(fd_of(s), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

    if (connect(fd_of(s), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        return 1;
    }
    if (would_block(errno)) {
        return 1;
    }
    if (errno == EINTR) {
        // A blocking connect cut short by a signal goes on in the background;
        // wait for its outcome so the result stays what the caller expects.
        return net_connect_wait(s, -1);
    }
    return 0;
}

// A negative timeout waits for as long as the connection takes.
int net_connect_wait(NetSocket s, int timeout_ms)
{
    pollfd entry = {fd_of(s), POLLOUT, 0};
    int ready = 0;
    while ((ready = poll(&entry, 1, timeout_ms)) < 0 && errno == EINTR) {
    }
    if (ready <= 0) {
        return 0;
    }
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(fd_of(s), SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
        errno = error;
        return 0;
    }
    return 1;
}

int net_close(NetSocket s)
{
    return close(fd_of(s));
}

int net_set_nonblocking(NetSocket s)
{
    int on = 1;
    return ioctl(fd_of(s), FIONBIO, &on) == 0 ? 0 : -1;
}

int net_set_blocking(NetSocket s)
{
    int off = 0;
    return ioctl(fd_of(s), FIONBIO, &off) == 0 ? 0 : -1;
}

int net_can_read(NetSocket s, int timeout_ms)
{
    return probe(s, POLLIN, POLLIN | POLLHUP | POLLERR, timeout_ms);
}

int net_can_write(NetSocket s, int timeout_ms)
{
    return probe(s, POLLOUT, POLLOUT | POLLHUP | POLLERR, timeout_ms);
}

int net_has_exception(NetSocket s)
{
    // select()'s exception set reports out-of-band data.
    return probe(s, POLLPRI, POLLPRI, 0);
}

int net_recv(NetSocket s, char* buffer, int size)
{
    return static_cast<int>(recv(fd_of(s), buffer, static_cast<std::size_t>(size), 0));
}

int net_send(NetSocket s, const char* data, int size)
{
    // A peer that has gone must give an error result, never SIGPIPE.
    return static_cast<int>(send(fd_of(s), data, static_cast<std::size_t>(size), MSG_NOSIGNAL));
}

int net_recv_some(NetSocket s, char* buffer, int size)
{
    // Cleared so that an orderly close (recv gives 0) reads back as no error.
    errno = 0;
    const int received = net_recv(s, buffer, size);
    if (received < 0 && (errno == EINTR || would_block(errno))) {
        errno = 0;
        return 0;
    }
    return received > 0 ? received : -1;
}

int net_send_some(NetSocket s, const char* data, int size)
{
    errno = 0;
    const int accepted = net_send(s, data, size);
    if (accepted < 0 && (errno == EINTR || would_block(errno))) {
        errno = 0;
        return 0;
    }
    return accepted < 0 ? -1 : accepted;
}

int net_last_error()
{
    return errno;
}

int net_listen(NetSocket s, int port)
{
    const int on = 1;
    if (setsockopt(fd_of(s), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        return 0;
    }
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port & 0xFFFF));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd_of(s), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return 0;
    }
    return listen(fd_of(s), 10) == 0 ? 1 : 0;
}

NetSocket net_accept(NetSocket listener, char* address_text)
{
    sockaddr_in address = {};
    socklen_t size = sizeof address;
    const int accepted = accept(fd_of(listener), reinterpret_cast<sockaddr*>(&address), &size);
    if (accepted < 0) {
        return NET_INVALID_SOCKET;
    }
    if (address_text != nullptr) {
        // Dotted decimal, at most 15 characters and the terminator.
        if (inet_ntop(AF_INET, &address.sin_addr, address_text, 16) == nullptr) {
            address_text[0] = '\0';
        }
    }
    return accepted;
}

int net_set_keepalive(NetSocket s, int on)
{
    const int value = on != 0 ? 1 : 0;
    return setsockopt(fd_of(s), SOL_SOCKET, SO_KEEPALIVE, &value, sizeof value);
}

int net_host_name(char* buffer, int size)
{
    if (size <= 0) {
        errno = EINVAL;
        return -1;
    }
    const int result = gethostname(buffer, static_cast<std::size_t>(size));
    // POSIX leaves the text unterminated when the name was cut.
    buffer[size - 1] = '\0';
    return result;
}
