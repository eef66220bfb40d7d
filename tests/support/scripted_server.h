// A one-connection HTTP server for tests, on 127.0.0.1 and a port the system
// picks: it accepts, reads the request up to its empty line, then plays a
// script of sends, pauses, waits for the test's go-ahead, and an orderly or
// abortive close. It runs on its own thread, so the test can poll the client
// between the steps.
#pragma once

#include "platform/platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <winsock.h>
using scripted_socklen = int;
using scripted_raw = SOCKET;
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
using scripted_socklen = socklen_t;
using scripted_raw = int;
#endif

inline scripted_raw raw_socket(NetSocket s)
{
    return static_cast<scripted_raw>(s);
}

// A listening socket on 127.0.0.1 and a port the system picks.
inline NetSocket loopback_listener(int* port)
{
    EXPECT_EQ(net_startup(), 1);
    const NetSocket listener = net_socket();
    EXPECT_NE(listener, NET_INVALID_SOCKET);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    scripted_socklen size = sizeof address;
    if (bind(raw_socket(listener), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(raw_socket(listener), 4) != 0 ||
        getsockname(raw_socket(listener), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        ADD_FAILURE() << "cannot listen on 127.0.0.1";
        net_close(listener);
        return NET_INVALID_SOCKET;
    }
    *port = ntohs(address.sin_port);
    return listener;
}

// Sets an int socket option through the raw interface (tests only).
inline int set_socket_option(NetSocket s, int level, int name, int value)
{
    return setsockopt(raw_socket(s), level, name, reinterpret_cast<const char*>(&value),
                      sizeof value);
}

// Closes with an abortive close: the other end meets a connection reset.
inline void abort_close(NetSocket s)
{
    linger abort_now = {};
    abort_now.l_onoff = 1;
    abort_now.l_linger = 0;
    setsockopt(raw_socket(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort_now),
               sizeof abort_now);
    net_close(s);
}

struct ServerStep {
    enum Kind { SEND, PAUSE, WAIT, CLOSE, RESET };
    Kind kind;
    std::string bytes;
    int pause_ms;
};

inline ServerStep send_step(std::string bytes)
{
    return {ServerStep::SEND, std::move(bytes), 0};
}
inline ServerStep pause_step(int ms)
{
    return {ServerStep::PAUSE, {}, ms};
}
// Holds the script until the test calls release().
inline ServerStep wait_step()
{
    return {ServerStep::WAIT, {}, 0};
}
inline ServerStep close_step()
{
    return {ServerStep::CLOSE, {}, 0};
}
// An abortive close: the peer sees a connection reset, a socket error.
inline ServerStep reset_step()
{
    return {ServerStep::RESET, {}, 0};
}

class ScriptedServer {
public:
    // Starts listening at once; the script runs when a client connects.
    // Without read_request the script starts right after the accept.
    explicit ScriptedServer(std::vector<ServerStep> steps, bool read_request = true)
        : steps_(std::move(steps)), read_request_(read_request)
    {
        listener_ = loopback_listener(&port_);
        if (listener_ == NET_INVALID_SOCKET) {
            return;
        }
        thread_ = std::thread([this] { serve(); });
    }

    ~ScriptedServer()
    {
        stop_ = true;
        release_all();
        if (thread_.joinable()) {
            thread_.join();
        }
        net_close(listener_);
    }

    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    int port() const { return port_; }
    std::string url(const std::string& path) const
    {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }

    // Lets one WAIT step go on.
    void release()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++releases_;
        wake_.notify_all();
    }

    // Waits for the script to end; afterwards request() and accepted() hold.
    void finish()
    {
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    // The request bytes read before the script ran (after finish()).
    const std::string& request() const { return request_; }
    bool accepted() const { return accepted_; }

    // Whether a client has connected and waits to be accepted.
    bool connection_waiting(int timeout_ms) const
    {
        return net_can_read(listener_, timeout_ms) > 0;
    }

private:
    void release_all()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        releases_ += 1000;
        wake_.notify_all();
    }

    void serve()
    {
        // Wait for the client, but never forever: a test that does not
        // connect still ends.
        for (int waited = 0; !stop_ && net_can_read(listener_, 50) <= 0; waited += 50) {
            if (waited > 10000) {
                return;
            }
        }
        if (stop_ && net_can_read(listener_, 0) <= 0) {
            return;
        }
        NetSocket peer = net_accept(listener_, nullptr);
        if (peer == NET_INVALID_SOCKET) {
            return;
        }
        accepted_ = true;
        // Every send goes out as its own segment, so the script's pieces are
        // what the client meets.
        set_socket_option(peer, IPPROTO_TCP, TCP_NODELAY, 1);
        if (read_request_) {
            read_request(peer);
        }
        bool open = true;
        bool sending = true;
        for (const ServerStep& step : steps_) {
            if (!open || !sending) {
                break;
            }
            switch (step.kind) {
            case ServerStep::SEND: sending = send_all(peer, step.bytes); break;
            case ServerStep::PAUSE: sleep_ms(step.pause_ms); break;
            case ServerStep::WAIT: wait_for_release(); break;
            case ServerStep::CLOSE:
                net_close(peer);
                open = false;
                break;
            case ServerStep::RESET:
                abort_close(peer);
                open = false;
                break;
            }
        }
        if (open) {
            net_close(peer);
        }
    }

    void read_request(NetSocket peer)
    {
        char block[4096];
        for (int waited = 0; waited < 5000;) {
            if (request_.find("\n\n") != std::string::npos ||
                request_.find("\r\n\r\n") != std::string::npos) {
                return;
            }
            const int ready = net_can_read(peer, 50);
            if (ready < 0) {
                return;
            }
            if (ready == 0) {
                waited += 50;
                continue;
            }
            const int n = net_recv(peer, block, sizeof block);
            if (n <= 0) {
                return;
            }
            request_.append(block, static_cast<std::size_t>(n));
        }
    }

    bool send_all(NetSocket peer, const std::string& bytes)
    {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const int n =
                net_send(peer, bytes.data() + sent, static_cast<int>(bytes.size() - sent));
            if (n <= 0) {
                return false;
            }
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }

    void wait_for_release()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait_for(lock, std::chrono::seconds(10), [this] { return releases_ > 0; });
        if (releases_ > 0) {
            --releases_;
        }
    }

    std::vector<ServerStep> steps_;
    bool read_request_;
    NetSocket listener_ = NET_INVALID_SOCKET;
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    int releases_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> accepted_{false};
    std::string request_;
};
