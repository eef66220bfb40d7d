// Driving the HTTP client in tests: a fresh record on the heap and polling
// with a deadline, so a fault shows as a failure and never as a hang.
#pragma once

#include "net/http.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

inline std::unique_ptr<HttpClient> new_http_client()
{
    auto client = std::make_unique<HttpClient>();
    std::memset(client.get(), 0, sizeof(HttpClient));
    http_init(client.get());
    http_set_user_agent(client.get(), "Quorvel_Launcher");
    return client;
}

// Polls until http_poll returns 0; false when the deadline passes first.
// Waits on the socket only when the poll had nothing left to work on.
inline bool poll_to_end(HttpClient* client, int timeout_ms = 20000)
{
    const std::int64_t deadline = clock_monotonic_ms() + timeout_ms;
    while (http_poll(client) != 0) {
        if (clock_monotonic_ms() > deadline) {
            ADD_FAILURE() << "transfer did not finish in " << timeout_ms << " ms";
            return false;
        }
        if (client->connected != 0 && client->response_len == 0 && client->request_pending == 0) {
            net_can_read(client->socket_handle, 5);
        }
    }
    return true;
}

// Waits until the client's socket has something to read (data or the
// peer's close), so that the next poll receives it.
inline void wait_readable(const HttpClient* client, int timeout_ms = 5000)
{
    ASSERT_GT(net_can_read(client->socket_handle, timeout_ms), 0) << "nothing arrived";
    // Lets every segment of a small burst land before the one receive.
    sleep_ms(30);
}
