#include "net/socket_buffers.h"

#include <cstring>

int net_recv_append(NetSocket s, char* buffer, int* length, int capacity, int timeout_ms)
{
    const int readable = net_can_read(s, timeout_ms);
    if (readable < 0) {
        return -1;
    }
    if (readable == 0) {
        return 1;
    }
    if (*length + 4 >= capacity) {
        return 0;
    }
    const int received = net_recv_some(s, buffer + *length, capacity - *length);
    if (received < 0) {
        return -1;
    }
    *length += received; // 0: nothing arrived after all, as an empty probe
    return 1;
}

int net_send_pending(NetSocket s, char* buffer, int* length)
{
    if (*length <= 0) {
        return 0;
    }
    const int accepted = net_send_some(s, buffer, *length);
    if (accepted < 0) {
        return -1;
    }
    if (accepted >= *length) {
        *length = 0;
    } else {
        // What the socket did not take stays pending, in order.
        std::memmove(buffer, buffer + accepted, static_cast<std::size_t>(*length - accepted));
        *length -= accepted;
    }
    return 1;
}
