// The socket layer over a real loopback connection: buffered receive and
// send, probes, connecting, and the server-side operations.
#include "net/socket_buffers.h"
#include "platform/platform.h"
#include "tests/support/scripted_server.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// A connected pair on 127.0.0.1: client from net_socket/net_connect, peer
// from net_accept.
class NetPair : public ::testing::Test {
protected:
    NetSocket listener = NET_INVALID_SOCKET;
    NetSocket client = NET_INVALID_SOCKET;
    NetSocket peer = NET_INVALID_SOCKET;
    int port = 0;

    void SetUp() override
    {
        listener = loopback_listener(&port);
        ASSERT_NE(listener, NET_INVALID_SOCKET);
        client = net_socket();
        ASSERT_NE(client, NET_INVALID_SOCKET);
    }

    void connect_pair()
    {
        ASSERT_EQ(net_connect(client, "127.0.0.1", port), 1);
        ASSERT_EQ(net_can_read(listener, 5000), 1);
        peer = net_accept(listener, nullptr);
        ASSERT_NE(peer, NET_INVALID_SOCKET);
    }

    // Sends from the peer and waits until the client can read it.
    void peer_sends(const std::string& bytes)
    {
        ASSERT_EQ(net_send(peer, bytes.data(), static_cast<int>(bytes.size())),
                  static_cast<int>(bytes.size()));
        ASSERT_EQ(net_can_read(client, 5000), 1);
        sleep_ms(20);
    }

    void TearDown() override
    {
        for (NetSocket s : {peer, client, listener}) {
            if (s != NET_INVALID_SOCKET) {
                net_close(s);
            }
        }
    }
};

TEST_F(NetPair, RecvAppendWithNothingToRead)
{
    connect_pair();
    char buffer[32] = "ab";
    int length = 2;
    EXPECT_EQ(net_recv_append(client, buffer, &length, sizeof buffer, 0), 1);
    EXPECT_EQ(length, 2);
    EXPECT_EQ(net_can_read(client, 0), 0);
}

TEST_F(NetPair, RecvAppendAddsAtTheEnd)
{
    connect_pair();
    peer_sends("cdef");
    char buffer[32] = "ab";
    int length = 2;
    EXPECT_EQ(net_recv_append(client, buffer, &length, sizeof buffer, 0), 1);
    EXPECT_EQ(length, 6);
    EXPECT_EQ(std::string(buffer, 6), "abcdef");
}

TEST_F(NetPair, RecvAppendRefusesANearlyFullBuffer)
{
    connect_pair();
    peer_sends("0123456789");
    char buffer[64];
    std::memset(buffer, '.', sizeof buffer);
    const int capacity = 20;

    int length = capacity - 4;
    EXPECT_EQ(net_recv_append(client, buffer, &length, capacity, 0), 0);
    EXPECT_EQ(length, capacity - 4);
    EXPECT_EQ(net_can_read(client, 0), 1); // still waiting

    length = capacity - 5;
    EXPECT_EQ(net_recv_append(client, buffer, &length, capacity, 0), 1);
    EXPECT_EQ(length, capacity); // filled to the last byte
    EXPECT_EQ(std::string(buffer + capacity - 5, 5), "01234");
    EXPECT_EQ(buffer[capacity], '.'); // nothing past the capacity

    length = 0;
    EXPECT_EQ(net_recv_append(client, buffer, &length, capacity, 0), 1);
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(length)), "56789");
}

TEST_F(NetPair, RecvAppendAfterThePeerClosed)
{
    connect_pair();
    net_close(peer);
    peer = NET_INVALID_SOCKET;
    ASSERT_EQ(net_can_read(client, 5000), 1);
    char buffer[16] = "xy";
    int length = 2;
    EXPECT_EQ(net_recv_append(client, buffer, &length, sizeof buffer, 0), -1);
    EXPECT_EQ(length, 2);
    // An orderly close is no socket error.
    EXPECT_EQ(net_last_error(), 0);
}

TEST_F(NetPair, RecvAppendAfterAResetReportsTheError)
{
    connect_pair();
    abort_close(peer);
    peer = NET_INVALID_SOCKET;
    ASSERT_EQ(net_can_read(client, 5000), 1);
    char buffer[16];
    int length = 0;
    EXPECT_EQ(net_recv_append(client, buffer, &length, sizeof buffer, 0), -1);
    EXPECT_EQ(length, 0);
    EXPECT_NE(net_last_error(), 0);
}

TEST_F(NetPair, SendPendingWithNothingPending)
{
    connect_pair();
    char buffer[8] = "abc";
    int length = 0;
    EXPECT_EQ(net_send_pending(client, buffer, &length), 0);
    length = -3;
    EXPECT_EQ(net_send_pending(client, buffer, &length), 0);
    EXPECT_EQ(length, -3);
    EXPECT_EQ(net_can_read(peer, 50), 0);
}

TEST_F(NetPair, SendPendingKeepsTheUnsentRestInOrder)
{
    // Small socket buffers, so that the send is taken in pieces.
    set_socket_option(client, SOL_SOCKET, SO_SNDBUF, 4096);
    set_socket_option(listener, SOL_SOCKET, SO_RCVBUF, 4096);
    connect_pair();
    ASSERT_EQ(net_set_nonblocking(client), 0);

    const int total = 512 * 1024;
    std::vector<char> pattern(static_cast<std::size_t>(total));
    for (int i = 0; i < total; ++i) {
        pattern[static_cast<std::size_t>(i)] = static_cast<char>((i * 131 + i / 4093) & 0xFF);
    }
    std::vector<char> buffer = pattern;
    int length = total;
    std::string received;
    int partial_sends = 0;
    // Sending on without reading soon finds the socket's buffers full: the
    // send takes nothing and everything stays pending.
    bool refused = false;
    for (int i = 0; i < 1000 && !refused; ++i) {
        const int before = length;
        ASSERT_EQ(net_send_pending(client, buffer.data(), &length), 1);
        refused = length == before;
        ASSERT_EQ(std::memcmp(buffer.data(), pattern.data() + (total - length),
                              static_cast<std::size_t>(length)),
                  0);
    }
    EXPECT_TRUE(refused);
    ASSERT_GT(length, 0);
    const std::int64_t deadline = clock_ms() + 20000;
    while ((length > 0 || static_cast<int>(received.size()) < total) && clock_ms() < deadline) {
        if (length > 0) {
            const int before = length;
            ASSERT_EQ(net_send_pending(client, buffer.data(), &length), 1);
            ASSERT_GE(length, 0);
            ASSERT_LE(length, before);
            if (length > 0 && length < before) {
                ++partial_sends;
            }
            // The unsent rest sits at the front, in order.
            const int sent = total - length;
            ASSERT_EQ(
                std::memcmp(buffer.data(), pattern.data() + sent, static_cast<std::size_t>(length)),
                0);
        }
        char block[8192];
        if (net_can_read(peer, 1) == 1) {
            const int n = net_recv(peer, block, sizeof block);
            ASSERT_GT(n, 0);
            received.append(block, static_cast<std::size_t>(n));
        }
    }
    EXPECT_EQ(length, 0);
    ASSERT_EQ(received.size(), pattern.size());
    EXPECT_EQ(std::memcmp(received.data(), pattern.data(), pattern.size()), 0);
    EXPECT_GT(partial_sends, 0);
}

TEST_F(NetPair, SendToAPeerThatHasGoneFailsWithoutKillingTheProcess)
{
    connect_pair();
    abort_close(peer);
    peer = NET_INVALID_SOCKET;
    sleep_ms(50);
    char buffer[1024] = {};
    int result = 0;
    for (int i = 0; i < 50 && result >= 0; ++i) {
        result = net_send(client, buffer, sizeof buffer);
    }
    EXPECT_EQ(result, -1);
    EXPECT_NE(net_last_error(), 0);

    int length = sizeof buffer;
    EXPECT_EQ(net_send_pending(client, buffer, &length), -1);
    EXPECT_EQ(length, static_cast<int>(sizeof buffer));
}

TEST_F(NetPair, ProbesAndPlainTransfer)
{
    connect_pair();
    EXPECT_EQ(net_can_write(client, 0), 1);
    EXPECT_EQ(net_can_read(client, 0), 0);
    EXPECT_EQ(net_has_exception(client), 0);

    const std::int64_t start = clock_ms();
    EXPECT_EQ(net_can_read(client, 300), 0);
    const std::int64_t waited = clock_ms() - start;
    EXPECT_GE(waited, 250);
    EXPECT_LT(waited, 5000);

    EXPECT_EQ(net_send(client, "hello", 5), 5);
    ASSERT_EQ(net_can_read(peer, 5000), 1);
    char block[16];
    EXPECT_EQ(net_recv(peer, block, sizeof block), 5);
    EXPECT_EQ(std::string(block, 5), "hello");

    net_close(peer);
    peer = NET_INVALID_SOCKET;
    ASSERT_EQ(net_can_read(client, 5000), 1);
    EXPECT_EQ(net_recv(client, block, sizeof block), 0);
}

TEST_F(NetPair, ModeSwitchesAndKeepAlive)
{
    connect_pair();
    EXPECT_EQ(net_set_nonblocking(client), 0);
    char block[4];
    EXPECT_EQ(net_recv(client, block, sizeof block), -1); // would block
    EXPECT_NE(net_last_error(), 0);
    EXPECT_EQ(net_set_blocking(client), 0);
    EXPECT_EQ(net_set_keepalive(client, 1), 0);
    EXPECT_EQ(net_set_keepalive(client, 0), 0);
}

TEST_F(NetPair, ConnectOnANonBlockingSocket)
{
    ASSERT_EQ(net_set_nonblocking(client), 0);
    EXPECT_EQ(net_connect(client, "127.0.0.1", port), 1);
    EXPECT_EQ(net_can_write(client, 5000), 1);
    ASSERT_EQ(net_can_read(listener, 5000), 1);
    peer = net_accept(listener, nullptr);
    EXPECT_NE(peer, NET_INVALID_SOCKET);
}

TEST_F(NetPair, ConnectToANameThatDoesNotResolve)
{
    // A label over 63 characters is no DNS name: resolution fails without
    // asking any server.
    const std::string name = std::string(70, 'q') + ".invalid";
    EXPECT_EQ(net_connect(client, name.c_str(), port), 0);
    // The socket stays open and unconnected.
    EXPECT_EQ(net_connect(client, "127.0.0.1", port), 1);
    ASSERT_EQ(net_can_read(listener, 5000), 1);
    peer = net_accept(listener, nullptr);
    EXPECT_NE(peer, NET_INVALID_SOCKET);
}

TEST_F(NetPair, ConnectRefused)
{
    net_close(listener);
    listener = NET_INVALID_SOCKET;
    EXPECT_EQ(net_connect(client, "127.0.0.1", port), 0);
    EXPECT_NE(net_last_error(), 0);
}

// Every connection sends at once: a small write held back by Nagle's
// algorithm until the peer's delayed acknowledgement stalls each request.
TEST_F(NetPair, ConnectSetsNoDelay)
{
    connect_pair();
    int no_delay = 0;
    scripted_socklen size = sizeof no_delay;
    ASSERT_EQ(getsockopt(raw_socket(client), IPPROTO_TCP, TCP_NODELAY,
                         reinterpret_cast<char*>(&no_delay), &size),
              0);
    EXPECT_NE(no_delay, 0);
}

TEST(NetServer, ListenAndAccept)
{
    // A port that is free now: taken from a loopback listener, then let go.
    int port = 0;
    net_close(loopback_listener(&port));

    const NetSocket listener = net_socket();
    ASSERT_EQ(net_listen(listener, port), 1);
    const NetSocket first = net_socket();
    const NetSocket second = net_socket();
    ASSERT_EQ(net_connect(first, "127.0.0.1", port), 1);
    ASSERT_EQ(net_connect(second, "127.0.0.1", port), 1);

    char address[16];
    std::memset(address, '#', sizeof address);
    const NetSocket accepted = net_accept(listener, address);
    ASSERT_NE(accepted, NET_INVALID_SOCKET);
    EXPECT_STREQ(address, "127.0.0.1");
    const NetSocket without_text = net_accept(listener, nullptr);
    EXPECT_NE(without_text, NET_INVALID_SOCKET);

    EXPECT_EQ(net_send(first, "x", 1), 1);
    char byte = 0;
    ASSERT_EQ(net_can_read(accepted, 5000), 1);
    EXPECT_EQ(net_recv(accepted, &byte, 1), 1);
    EXPECT_EQ(byte, 'x');

    for (NetSocket s : {without_text, accepted, second, first, listener}) {
        EXPECT_EQ(net_close(s), 0);
    }
}

TEST(NetServer, AcceptAndCloseFailures)
{
    ASSERT_EQ(net_startup(), 1);
    const NetSocket not_listening = net_socket();
    char address[16] = "unchanged";
    EXPECT_EQ(net_accept(not_listening, address), NET_INVALID_SOCKET);
    EXPECT_EQ(net_close(not_listening), 0);
    EXPECT_EQ(net_close(not_listening), -1); // already closed
    EXPECT_NE(net_last_error(), 0);
}

TEST(NetServer, HostName)
{
    ASSERT_EQ(net_startup(), 1);
    char name[256];
    std::memset(name, '#', sizeof name);
    EXPECT_EQ(net_host_name(name, sizeof name), 0);
    EXPECT_GT(std::strlen(name), 0u);
    EXPECT_LT(std::strlen(name), sizeof name);
}

} // namespace
