// The two buffered socket steps the HTTP client makes each poll, over the
// platform's one-call receive and send (the same logic for every backend).
#pragma once

#include "platform/platform.h"

// Receives what the socket holds (waiting up to timeout_ms for it) onto the
// end of buffer. 1 when something was added or nothing was there; 0 when
// 4 bytes of room or fewer are left (nothing read); -1 when the peer closed
// or the connection failed (net_last_error() 0 for an orderly close).
int net_recv_append(NetSocket s, char* buffer, int* length, int capacity, int timeout_ms);

// Sends what the socket takes of the *length pending bytes and keeps the
// rest at the front of buffer. 1 after a send (even one that took nothing),
// 0 when nothing was pending, -1 when the connection failed.
int net_send_pending(NetSocket s, char* buffer, int* length);
