// Whole transfers against a scripted server on 127.0.0.1: how the client
// reads status lines, headers and bodies as the bytes arrive, and how every
// kind of connection end finishes a transfer.
#include "net/http.h"
#include "net/http_internal.h"
#include "tests/support/http_driver.h"
#include "tests/support/scripted_server.h"
#include "tests/support/test_files.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const std::string ok_head =
    "HTTP/1.0 200 OK\r\nServer: scripted\r\nContent-Type: text/plain\r\n\r\n";

class HttpTransfer : public ::testing::Test {
protected:
    std::string dir = make_scratch_dir();
    std::string out = dir + "/out.bin";
    std::unique_ptr<HttpClient> client = new_http_client();

    int start(const ScriptedServer& server, const std::string& path = "/file.bin")
    {
        return http_get_to_file(client.get(), server.url(path).c_str(), out.c_str());
    }

    // The usual run: start, poll to the end, the server's script done.
    void run(ScriptedServer& server, const std::string& path = "/file.bin")
    {
        ASSERT_EQ(start(server, path), 1);
        ASSERT_TRUE(poll_to_end(client.get()));
        server.finish();
    }

    void expect_finished(int status, const std::string& body)
    {
        EXPECT_EQ(client->active, 0);
        EXPECT_EQ(client->connected, 0);
        EXPECT_EQ(client->out_file, nullptr);
        EXPECT_EQ(client->status_code, status);
        EXPECT_EQ(client->body_bytes, static_cast<std::int64_t>(body.size()));
        // A transfer that failed before its body makes no file.
        EXPECT_EQ(read_file(out), status == -1 && body.empty() ? "<missing>" : body);
    }
};

TEST_F(HttpTransfer, WholeResponseInOneReceive)
{
    for (const std::string& line_end : {std::string("\r\n"), std::string("\n")}) {
        SCOPED_TRACE(line_end.size() == 2 ? "CR LF" : "bare LF");
        const std::string body = "catalog body\nline two\r\n";
        const std::string response = "HTTP/1.0 200 OK" + line_end + "Server: scripted" + line_end +
                                     "Content-Length: 23" + line_end + line_end + body;
        ScriptedServer server({wait_step(), send_step(response), wait_step(), close_step()});
        ASSERT_EQ(start(server), 1);
        EXPECT_EQ(client->transfer_state, HTTP_STATUS_LINE);
        EXPECT_EQ(http_poll(client.get()), 1); // sends the request
        EXPECT_EQ(client->request_pending, 0);

        server.release();
        wait_readable(client.get());
        EXPECT_EQ(http_poll(client.get()), 1);
        EXPECT_EQ(client->status_code, 200);
        EXPECT_EQ(client->transfer_state, HTTP_BODY);
        EXPECT_EQ(client->body_bytes, static_cast<std::int64_t>(body.size()));
        EXPECT_EQ(client->response_len, 0);
        EXPECT_NE(client->out_file, nullptr);

        server.release();
        wait_readable(client.get());
        EXPECT_EQ(http_poll(client.get()), 0); // sees the close
        server.finish();
        expect_finished(200, body);
    }
}

TEST_F(HttpTransfer, SendsTheExactRequest)
{
    ScriptedServer server({send_step(ok_head + "x"), close_step()});
    run(server, "/quorvel/data/a b.txt?x=1");
    EXPECT_EQ(server.request(), "GET /quorvel/data/a b.txt?x=1 HTTP/1.0\r\n"
                                "Host: 127.0.0.1\r\n"
                                "Accept: */*\r\n"
                                "Connection: close\r\n"
                                "User-Agent: Quorvel_Launcher\r\n"
                                "\r\n");
    EXPECT_EQ(client->port, server.port());
    EXPECT_STREQ(client->host_name, "127.0.0.1");
    EXPECT_STREQ(client->request_path, "/quorvel/data/a b.txt?x=1");
    EXPECT_EQ(std::string(client->url), server.url("/quorvel/data/a b.txt?x=1"));
    expect_finished(200, "x");
}

TEST_F(HttpTransfer, StatusLineInTwoPieces)
{
    ScriptedServer server(
        {send_step("HTTP/1.0 2"), wait_step(), send_step("00 OK\r\n\r\nbody"), close_step()});
    ASSERT_EQ(start(server), 1);
    // The first piece may come in the poll that sends the request or in a
    // later one; poll until it is in.
    for (int pass = 0; pass < 500 && client->response_len < 10; ++pass) {
        EXPECT_EQ(http_poll(client.get()), 1);
        if (client->response_len < 10) {
            net_can_read(client->socket_handle, 10);
        }
    }
    // The piece waits at the front for its line feed.
    EXPECT_EQ(client->transfer_state, HTTP_STATUS_LINE);
    EXPECT_EQ(client->status_code, 0);
    EXPECT_EQ(std::string(client->response_data, static_cast<std::size_t>(client->response_len)),
              "HTTP/1.0 2");
    server.release();
    ASSERT_TRUE(poll_to_end(client.get()));
    server.finish();
    expect_finished(200, "body");
}

TEST_F(HttpTransfer, LinesSplitAnywhere)
{
    const std::string response =
        "HTTP/1.1 206 Partial\r\nA: 1\r\nLong-Header: " + std::string(3000, 'v') + "\r\n\r\n" +
        "0123456789";
    // Every cut point between two sends, including inside CR LF pairs.
    for (std::size_t cut = 1; cut < response.size(); cut += 97) {
        SCOPED_TRACE(cut);
        ScriptedServer server({send_step(response.substr(0, cut)), pause_step(5),
                               send_step(response.substr(cut)), close_step()});
        run(server);
        expect_finished(206, "0123456789");
        client = new_http_client();
    }
}

// A body that cannot be stored (a full disk) is a failed transfer, whether
// the error shows while writing or only when the file is closed.
TEST_F(HttpTransfer, BodyThatCannotBeWrittenFails)
{
#ifdef _WIN32
    GTEST_SKIP() << "no full device to write to";
#else
    for (const std::size_t size : {std::size_t{10}, std::size_t{200000}}) {
        SCOPED_TRACE(size);
        ScriptedServer server({send_step(ok_head + std::string(size, 'b')), close_step()});
        ASSERT_EQ(http_get_to_file(client.get(), server.url("/file.bin").c_str(), "/dev/full"), 1);
        ASSERT_TRUE(poll_to_end(client.get()));
        server.finish();
        EXPECT_EQ(client->status_code, -1);
        EXPECT_EQ(client->failure, HTTP_FAILED_WRITE);
        EXPECT_EQ(client->active, 0);
        EXPECT_EQ(client->out_file, nullptr);
        EXPECT_LE(client->body_bytes, static_cast<std::int64_t>(size));
    }
#endif
}

// A span of a 10-byte file: the request names its first and last byte, a
// 206 of exactly that span of that total is appended to the part, a 200 is
// the whole file in the part's place, and any other reply leaves the part.
TEST_F(HttpTransfer, SpanRequestsStoreOnlyTheSpanAsked)
{
    const std::string partial = "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes ";
    const struct {
        const char* name;
        std::int64_t from;
        std::int64_t to;
        std::string before;
        std::string reply;
        int status;
        HttpFailure failure;
        std::string after;
    } cases[] = {
        {"the span asked", 2, 5, "01", partial + "2-4/10\r\n\r\n234", 206, HTTP_FAILED_NONE,
         "01234"},
        {"a span from the start", 0, 3, "", partial + "0-2/10\r\n\r\n012", 206, HTTP_FAILED_NONE,
         "012"},
        {"the rest instead of the span", 2, 5, "01", partial + "2-9/10\r\n\r\n23456789", -1,
         HTTP_FAILED_RANGE, "01"},
        {"a span of another start", 2, 5, "01", partial + "3-5/10\r\n\r\n345", -1,
         HTTP_FAILED_RANGE, "01"},
        {"a span of another total", 2, 5, "01", partial + "2-4/11\r\n\r\n234", -1,
         HTTP_FAILED_RANGE, "01"},
        {"a 206 without Content-Range", 2, 5, "01", "HTTP/1.1 206 Partial\r\n\r\n234", -1,
         HTTP_FAILED_RANGE, "01"},
        {"the whole file instead", 2, 5, "01", ok_head + "0123456789", 200, HTTP_FAILED_NONE,
         "0123456789"},
        {"a whole file longer than the file", 2, 5, "01",
         "HTTP/1.1 200 OK\r\nContent-Length: 12\r\n\r\n0123456789ab", -1, HTTP_FAILED_TOO_LARGE,
         "01"},
        {"an error page", 2, 5, "01", "HTTP/1.1 416 Range Not Satisfiable\r\n\r\n<h1>416</h1>", 416,
         HTTP_FAILED_NONE, "01"},
        {"the span in chunks", 2, 5, "01",
         partial + "2-4/10\r\nTransfer-Encoding: chunked\r\n\r\n3\r\n234\r\n0\r\n\r\n", -1,
         HTTP_FAILED_RANGE, "01"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        client = new_http_client();
        write_file(out, c.before);
        ScriptedServer server({send_step(c.reply), close_step()});
        ASSERT_EQ(http_get_span_to_file(client.get(), server.url("/f.bin").c_str(), out.c_str(),
                                        c.from, c.to, "\"v1\"", 10),
                  1);
        ASSERT_TRUE(poll_to_end(client.get()));
        server.finish();
        const std::string range = "Range: bytes=" + std::to_string(c.from) + "-" +
                                  std::to_string(c.to - 1) + "\r\nIf-Range: \"v1\"\r\n";
        EXPECT_NE(server.request().find(range), std::string::npos) << server.request();
        EXPECT_EQ(server.request().rfind("GET /f.bin HTTP/1.1\r\n", 0), 0u) << "ranges: 1.1";
        EXPECT_EQ(client->status_code, c.status);
        EXPECT_EQ(client->failure, c.failure);
        EXPECT_EQ(client->out_file, nullptr);
        EXPECT_EQ(read_file(out), c.after);
    }
}

TEST_F(HttpTransfer, StatusOtherThan200KeepsTheBody)
{
    ScriptedServer server({send_step("HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\n\r\n"
                                     "<h1>404</h1>"),
                           close_step()});
    run(server);
    expect_finished(404, "<h1>404</h1>");
}

TEST_F(HttpTransfer, StatusLineShapes)
{
    struct Case {
        const char* line;
        int status;
    };
    const Case cases[] = {
        {"HTTP/1.0200OK", 0},           // no space
        {"HTTP/1.0  200 OK", 0},        // two spaces after the version
        {"HTTP/1.1 200", 200},          // no reason phrase
        {"HTTP/1.1 302 Found it", 302}, // reason with spaces
        {"ICY 200 OK", 200},            // any version text
        {"HTTP/1.1 2xx OK", 2},         // leading digits only
        {"HTTP/1.1 OK 200", 0},         // no digits in the token
        {"HTTP/1.1 -1 odd", -1},        // as atoi reads it
        {"HTTP/1.1 99999999999 big", INT_MAX},
        {"", 0},       // empty first line
        {" 503", 503}, // empty version
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        ScriptedServer server(
            {send_step(std::string(c.line) + "\r\nA: b\r\n\r\nbody"), close_step()});
        run(server);
        expect_finished(c.status, "body");
        client = new_http_client();
    }
}

TEST_F(HttpTransfer, LongStatusLinePiecesStillGiveTheCode)
{
    const std::string version(300, 'V');
    const std::string reason(5000, 'r');
    const std::string token = "404" + std::string(400, 'x');
    ScriptedServer server(
        {send_step(version + " " + token + " " + reason + "\r\n\r\nbody"), close_step()});
    run(server);
    expect_finished(404, "body");
}

TEST_F(HttpTransfer, LineOfOnlyCarriageReturnsEndsTheHeaders)
{
    for (const char* end : {"\r\n", "\r\r\n"}) {
        ScriptedServer server(
            {send_step(std::string("HTTP/1.0 200 OK\nA: b\n") + end + "body\r\n"), close_step()});
        run(server);
        expect_finished(200, "body\r\n");
        client = new_http_client();
    }
}

TEST_F(HttpTransfer, ZeroByteLineIsNotAnEmptyLine)
{
    const char response[] = "HTTP/1.0 200 OK\r\nA: b\r\n\0\r\n\r\nbody";
    ScriptedServer server({send_step(std::string(response, sizeof response - 1)), close_step()});
    run(server);
    expect_finished(200, "body");
}

TEST_F(HttpTransfer, BodyKeepsEveryByte)
{
    std::string body;
    for (int i = 0; i < 70000; ++i) {
        body += static_cast<char>((i * 7 + i / 251) & 0xFF);
    }
    body += "\r\n\n\r\0";
    ScriptedServer server({send_step(ok_head + body.substr(0, 5)), pause_step(10),
                           send_step(body.substr(5)), close_step()});
    run(server);
    expect_finished(200, body);
}

// A reply cut short before the end of its head, or of the body its
// Content-Length announced, has failed; without Content-Length the close
// ends the body, and a longer body is read to the close.
TEST_F(HttpTransfer, PeerClosesEarly)
{
    struct Case {
        const char* name;
        std::string sent;
        int status;
        std::string body;
        HttpFailure failure;
    };
    const Case cases[] = {
        {"right after the empty line", "HTTP/1.0 200 OK\r\nA: b\r\n\r\n", 200, "",
         HTTP_FAILED_NONE},
        {"after the status line only", "HTTP/1.0 403 Forbidden\r\n", -1, "", HTTP_FAILED_HEAD},
        {"inside a header line", "HTTP/1.0 200 OK\r\nA: b\r\nX-Cut: abc", -1, "", HTTP_FAILED_HEAD},
        {"before the empty line", "HTTP/1.0 200 OK\r\nServer: x", -1, "", HTTP_FAILED_HEAD},
        {"inside the status line", "HTTP/1.0 20", -1, "", HTTP_FAILED_HEAD},
        {"without a byte", "", -1, "", HTTP_FAILED_HEAD},
        {"short of Content-Length", "HTTP/1.0 200 OK\r\ncontent-LENGTH: 10\r\n\r\n123456789", -1,
         "123456789", HTTP_FAILED_SHORT_BODY},
        {"at Content-Length", "HTTP/1.0 200 OK\r\nContent-Length:\t5 \r\n\r\n12345", 200, "12345",
         HTTP_FAILED_NONE},
        {"past Content-Length", "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\n12345", 200, "12345",
         HTTP_FAILED_NONE},
        {"Content-Length not a number", "HTTP/1.0 200 OK\r\nContent-Length: 1e3\r\n\r\nab", 200,
         "ab", HTTP_FAILED_NONE},
        {"304 announcing a body it never has",
         "HTTP/1.0 304 Not Modified\r\nContent-Length: 99\r\n\r\n", 304, "", HTTP_FAILED_NONE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::remove(out.c_str()); // the last case's body
        ScriptedServer server({send_step(c.sent), close_step()});
        run(server);
        expect_finished(c.status, c.body);
        EXPECT_EQ(client->failure, c.failure);
        client = new_http_client();
    }
}

// Limits a caller sets: a body past the limit (announced or received), a
// server that accepts and says nothing, and one that never accepts.
TEST_F(HttpTransfer, LimitsEndTheTransfer)
{
    client->body_limit = 8;
    ScriptedServer announced(
        {send_step("HTTP/1.0 200 OK\r\nContent-Length: 9\r\n\r\n1"), wait_step(), close_step()});
    ASSERT_EQ(start(announced), 1);
    ASSERT_TRUE(poll_to_end(client.get()));
    announced.release();
    announced.finish();
    expect_finished(-1, "");
    EXPECT_EQ(client->failure, HTTP_FAILED_TOO_LARGE);

    ScriptedServer streamed({send_step(ok_head + "12345678"), send_step("9"), close_step()});
    run(streamed);
    EXPECT_EQ(client->status_code, -1);
    EXPECT_EQ(client->failure, HTTP_FAILED_TOO_LARGE);

    // A failed transfer leaves the file as it was: start from none.
    std::remove(out.c_str());
    client = new_http_client();
    client->idle_timeout_ms = 300;
    ScriptedServer silent({wait_step(), close_step()});
    ASSERT_EQ(start(silent), 1);
    const std::int64_t started = clock_monotonic_ms();
    ASSERT_TRUE(poll_to_end(client.get()));
    EXPECT_GE(clock_monotonic_ms() - started, 300);
    silent.release();
    silent.finish();
    expect_finished(-1, "");
    EXPECT_EQ(client->failure, HTTP_FAILED_SILENT);

    // A listener whose backlog is full: the system drops further attempts
    // without an answer, as a firewall does.
    client = new_http_client();
    client->connect_timeout_ms = 300;
    int port = 0;
    const NetSocket never_accepts = loopback_listener(&port);
    std::vector<NetSocket> queued;
    int connected = 1;
    for (int i = 0; i < 64 && connected; ++i) {
        const NetSocket s = net_socket();
        net_set_nonblocking(s);
        net_connect(s, "127.0.0.1", port);
        connected = net_connect_wait(s, 200);
        queued.push_back(s);
    }
    ASSERT_FALSE(connected) << "the backlog never filled";
    const std::int64_t before_start = clock_monotonic_ms();
    EXPECT_EQ(http_get_to_file(client.get(),
                               ("http://127.0.0.1:" + std::to_string(port) + "/x").c_str(),
                               out.c_str()),
              0);
    EXPECT_LT(clock_monotonic_ms() - before_start, 5000);
    EXPECT_EQ(client->status_code, -1);
    EXPECT_EQ(client->failure, HTTP_FAILED_CONNECT);
    for (NetSocket s : queued) {
        net_close(s);
    }
    net_close(never_accepts);
}

// The limits count real time: a step of the system clock during a quiet
// pass (NTP setting it after boot, forward or back) ends no transfer.
TEST_F(HttpTransfer, WallClockStepsEndNoTransfer)
{
    ScriptedServer server(
        {send_step(ok_head + "part"), wait_step(), send_step("rest"), close_step()});
    client->idle_timeout_ms = 5000;
    client->time_limit_ms = 60000;
    ASSERT_EQ(start(server), 1);
    const std::int64_t deadline = clock_monotonic_ms() + 5000;
    while (client->body_bytes < 4 && clock_monotonic_ms() < deadline) {
        http_poll(client.get());
    }
    ASSERT_EQ(client->body_bytes, 4);
    const std::int64_t wall_before = clock_ms();
    // Ten minutes ahead, twenty back, ten ahead again: the clock ends where
    // it began.
    for (const std::int64_t step : {600000, -1200000, 600000}) {
        clock_shift_wall(step);
        EXPECT_EQ(http_poll(client.get()), 1);
        EXPECT_EQ(client->failure, HTTP_FAILED_NONE) << "after a step of " << step << " ms";
    }
    EXPECT_LT(clock_ms() - wall_before, 60000);
    server.release();
    ASSERT_TRUE(poll_to_end(client.get()));
    server.finish();
    expect_finished(200, "partrest");
}

// A transfer whose bytes keep coming too slowly: the time limit ends it
// however lively the server, the low-rate limit ends one that brings fewer
// bytes than its floor in a window, and spares one that brings more.
TEST_F(HttpTransfer, SlowTransfersEndAtTheirLimits)
{
    // A byte every 50 ms for 3 s, then the close.
    std::vector<ServerStep> drip = {send_step(ok_head)};
    for (int i = 0; i < 60; ++i) {
        drip.push_back(pause_step(50));
        drip.push_back(send_step("d"));
    }
    // 400 bytes every 100 ms for 1.5 s.
    std::vector<ServerStep> steady = {send_step(ok_head)};
    for (int i = 0; i < 15; ++i) {
        steady.push_back(pause_step(100));
        steady.push_back(send_step(std::string(400, 's')));
    }
    struct Case {
        const char* name;
        std::int32_t time_limit_ms;
        std::int32_t window_ms;
        std::int64_t floor_bytes;
        const std::vector<ServerStep>& steps;
        HttpFailure failure;
        std::int64_t shortest_ms;
    };
    const Case cases[] = {
        {"time limit", 400, 0, 0, drip, HTTP_FAILED_TIME, 400},
        {"low rate", 0, 300, 100, drip, HTTP_FAILED_SLOW, 300},
        {"low rate, a link fast enough", 0, 300, 100, steady, HTTP_FAILED_NONE, 1400},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        client = new_http_client();
        client->time_limit_ms = c.time_limit_ms;
        client->low_rate_window_ms = c.window_ms;
        client->low_rate_bytes = c.floor_bytes;
        std::vector<ServerStep> steps = c.steps;
        steps.push_back(close_step());
        ScriptedServer server(steps);
        const std::int64_t started = clock_monotonic_ms();
        ASSERT_EQ(start(server), 1);
        // A limit ends the transfer well before the server is done.
        ASSERT_TRUE(poll_to_end(client.get(), c.failure == HTTP_FAILED_NONE ? 20000 : 2000));
        server.finish();
        EXPECT_GE(clock_monotonic_ms() - started, c.shortest_ms);
        EXPECT_EQ(client->failure, c.failure);
        EXPECT_EQ(client->status_code, c.failure == HTTP_FAILED_NONE ? 200 : -1);
    }
}

TEST_F(HttpTransfer, ConnectionResetMarksTheTransferFailed)
{
    ScriptedServer server({send_step("HTTP/1.0 200 OK\r\n\r\npart"), wait_step(), reset_step()});
    ASSERT_EQ(start(server), 1);
    const std::int64_t deadline = clock_monotonic_ms() + 5000;
    while (client->body_bytes < 4 && clock_monotonic_ms() < deadline) {
        http_poll(client.get());
    }
    EXPECT_EQ(client->status_code, 200);
    server.release();
    ASSERT_TRUE(poll_to_end(client.get()));
    server.finish();
    EXPECT_EQ(client->status_code, -1);
    EXPECT_EQ(client->active, 0);
    EXPECT_EQ(client->out_file, nullptr);
}

TEST_F(HttpTransfer, PollAfterCompletionChangesNothing)
{
    ScriptedServer server({send_step(ok_head + "done"), close_step()});
    run(server);
    auto before = std::make_unique<HttpClient>();
    std::memcpy(before.get(), client.get(), sizeof(HttpClient));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(http_poll(client.get()), 0);
        EXPECT_EQ(http_is_active(client.get()), 0);
    }
    EXPECT_EQ(std::memcmp(before.get(), client.get(), sizeof(HttpClient)), 0);
    expect_finished(200, "done");
}

TEST_F(HttpTransfer, GetWithoutFileThrowsTheBodyAway)
{
    ScriptedServer server({send_step(ok_head + std::string(50000, 'b')), close_step()});
    ASSERT_EQ(http_get(client.get(), server.url("/x").c_str()), 1);
    EXPECT_EQ(client->out_file, nullptr);
    ASSERT_TRUE(poll_to_end(client.get()));
    server.finish();
    EXPECT_EQ(client->status_code, 200);
    EXPECT_EQ(client->body_bytes, 0);
    EXPECT_EQ(client->body_received, 50000);
    EXPECT_EQ(client->transfer_state, HTTP_BODY);
    EXPECT_EQ(server.request().rfind("GET /x HTTP/1.0\r\n", 0), 0u);
}

TEST_F(HttpTransfer, HttpsToAServerThatSpeaksNoTlsFailsAndStoresNothing)
{
    // Plain HTTP on the TLS port, and a server that closes mid-handshake.
    const std::vector<ServerStep> scripts[] = {
        {send_step("HTTP/1.0 200 OK\r\n\r\nplain text, no TLS record"), close_step()},
        {close_step()},
    };
    for (const auto& script : scripts) {
        ScriptedServer server(script);
        const std::string url = "https://127.0.0.1:" + std::to_string(server.port()) + "/x";
        ASSERT_EQ(http_get_to_file(client.get(), url.c_str(), out.c_str()), 1);
        while (http_poll(client.get())) {
            http_wait(client.get(), 10);
        }
        EXPECT_EQ(client->status_code, -1);
        EXPECT_EQ(client->failure, HTTP_FAILED_TLS);
        EXPECT_NE(client->tls_failure[0], '\0');
        EXPECT_EQ(client->body_bytes, 0);
        EXPECT_LE(fs_file_size(out.c_str()), 0) << "no reply's body was stored";
    }
}

TEST_F(HttpTransfer, SecondTransferStartsFromZero)
{
    ScriptedServer first({send_step("HTTP/1.0 500 Oops\r\n\r\nfirst body"), close_step()});
    run(first);
    ASSERT_EQ(client->status_code, 500);
    ASSERT_EQ(client->body_bytes, 10);

    ScriptedServer second({wait_step(), send_step(ok_head + "2nd"), close_step()});
    ASSERT_EQ(start(second), 1);
    EXPECT_EQ(client->status_code, 0);
    EXPECT_EQ(client->body_bytes, 0);
    EXPECT_EQ(client->response_len, 0);
    EXPECT_EQ(client->transfer_state, HTTP_STATUS_LINE);
    second.release();
    ASSERT_TRUE(poll_to_end(client.get()));
    second.finish();
    expect_finished(200, "2nd");
}

TEST_F(HttpTransfer, StartWhileActiveIsRefused)
{
    ScriptedServer first({wait_step(), send_step(ok_head + "one"), close_step()});
    ScriptedServer second({send_step(ok_head + "two"), close_step()});
    ASSERT_EQ(start(first), 1);
    auto before = std::make_unique<HttpClient>();
    std::memcpy(before.get(), client.get(), sizeof(HttpClient));
    const std::string other = dir + "/other.bin";
    EXPECT_EQ(http_get_to_file(client.get(), second.url("/y").c_str(), other.c_str()), 0);
    EXPECT_EQ(http_get(client.get(), second.url("/y").c_str()), 0);
    EXPECT_EQ(std::memcmp(before.get(), client.get(), sizeof(HttpClient)), 0);
    EXPECT_FALSE(fs_exists(other.c_str()));
    first.release();
    ASSERT_TRUE(poll_to_end(client.get()));
    first.finish();
    expect_finished(200, "one");
    EXPECT_FALSE(second.accepted());
}

TEST_F(HttpTransfer, ConnectionFailure)
{
    // A port that was just listening and is closed now refuses connections.
    int port = 0;
    {
        ScriptedServer gone({close_step()});
        port = gone.port();
    }
    client->status_code = 404;
    client->body_bytes = 12;
    // The file the transfer was to replace stays as it was.
    const std::string old_bytes = std::string("old file\0\r\n", 11) + std::string(70000, 'o');
    write_file(out, old_bytes);
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/x";
    EXPECT_EQ(http_get_to_file(client.get(), url.c_str(), out.c_str()), 0);
    EXPECT_EQ(client->status_code, -1);
    EXPECT_EQ(client->active, 0);
    EXPECT_EQ(client->body_bytes, 12);
    EXPECT_EQ(client->transfer_state, HTTP_CONNECTING);
    EXPECT_EQ(client->failure, HTTP_FAILED_CONNECT);
    EXPECT_TRUE(read_file(out) == old_bytes);
    EXPECT_EQ(http_poll(client.get()), 0);

    // Where there was no file, a refused start makes none.
    std::remove(out.c_str());
    EXPECT_EQ(http_get_to_file(client.get(), url.c_str(), out.c_str()), 0);
    EXPECT_EQ(client->failure, HTTP_FAILED_CONNECT);
    EXPECT_EQ(read_file(out), "<missing>");
}

// A redirect to a port that is not 1 to 65535 in plain digits fails the
// transfer: read as far as it goes it would reach another server.
TEST_F(HttpTransfer, RedirectToABadPortFails)
{
    for (const char* target : {"http://127.0.0.1:114457/x", "http://127.0.0.1:48921abc/x",
                               "http://127.0.0.1:+48921/x", "//127.0.0.1:0/x"}) {
        SCOPED_TRACE(target);
        const std::string reply =
            std::string("HTTP/1.0 302 Found\r\nLocation: ") + target + "\r\n\r\nmoved";
        ScriptedServer server({send_step(reply), close_step()});
        run(server);
        expect_finished(-1, "");
        EXPECT_EQ(client->failure, HTTP_FAILED_REDIRECT);
        client = new_http_client();
    }
}

// An existing file at the output path is replaced only once a reply's body
// starts: a reply that fails in its head leaves it whole.
TEST_F(HttpTransfer, OutputFileIsReplacedOnlyWhenTheBodyStarts)
{
    const std::string old_bytes(5000, 'o');
    struct Case {
        const char* name;
        std::string reply;
        std::string file;
    };
    const Case cases[] = {
        {"a body", ok_head + "new", "new"},
        {"an empty body", ok_head, ""},
        {"a reply cut in its head", "HTTP/1.0 200 OK\r\nServer: x", old_bytes},
        {"a body announced past the limit", "HTTP/1.0 200 OK\r\nContent-Length: 99999\r\n\r\nnew",
         old_bytes},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(out, old_bytes);
        client->body_limit = 1000;
        ScriptedServer server({send_step(c.reply), close_step()});
        run(server);
        EXPECT_TRUE(read_file(out) == c.file);
        client = new_http_client();
    }
}

TEST_F(HttpTransfer, OutputFileThatCannotBeOpened)
{
    ScriptedServer server({send_step(ok_head + "x"), close_step()});
    const std::string bad = dir + "/missing-folder/out.bin";
    EXPECT_EQ(http_get_to_file(client.get(), server.url("/x").c_str(), bad.c_str()), 0);
    EXPECT_EQ(client->active, 0);
    EXPECT_EQ(client->connected, 0);
    EXPECT_EQ(client->out_file, nullptr);
    EXPECT_EQ(client->status_code, 0);
    EXPECT_EQ(client->failure, HTTP_FAILED_FILE);
    EXPECT_EQ(http_poll(client.get()), 0);
    sleep_ms(50);
    EXPECT_FALSE(server.accepted()); // no connection, no request
    server.release();
}

TEST_F(HttpTransfer, LongestUrlAndUserAgentAreSentWhole)
{
    ScriptedServer server({send_step(ok_head), close_step()});
    const std::string head = server.url("/");
    const std::string path_tail(HTTP_TEXT_SIZE - 1 - head.size(), 'p');
    const std::string agent(HTTP_USER_AGENT_SIZE - 1, 'u');
    http_set_user_agent(client.get(), agent.c_str());
    ASSERT_EQ(http_get_to_file(client.get(), (head + path_tail).c_str(), out.c_str()), 1);
    ASSERT_TRUE(poll_to_end(client.get()));
    server.finish();
    EXPECT_EQ(server.request(), "GET /" + path_tail +
                                    " HTTP/1.0\r\nHost: 127.0.0.1\r\nAccept: */*\r\n"
                                    "Connection: close\r\nUser-Agent: " +
                                    agent + "\r\n\r\n");

    ScriptedServer unused({close_step()});
    const std::string too_long = unused.url("/") + std::string(HTTP_TEXT_SIZE, 'p');
    EXPECT_EQ(http_get_to_file(client.get(), too_long.c_str(), out.c_str()), 0);
    EXPECT_EQ(client->status_code, 200);
    sleep_ms(50);
    EXPECT_FALSE(unused.accepted());
}

// A reply head of exactly size bytes, line ends included: the status line,
// header lines of 1 KiB, the empty line.
std::string head_of_size(std::size_t size)
{
    std::string head = "HTTP/1.0 200 OK\r\n";
    while (size - head.size() - 2 > 1024) {
        head += "X-Fill: " + std::string(1024 - 10, 'f') + "\r\n";
    }
    head += "X-Last: " + std::string(size - head.size() - 2 - 10, 'l') + "\r\n";
    return head + "\r\n";
}

// A status or header line of HTTP_BUFFER_SIZE - 4 bytes or more (before its
// line feed) can never be read; one byte shorter still can, however the
// bytes arrive. The head as a whole may take HTTP_HEAD_LIMIT bytes.
TEST_F(HttpTransfer, OverlongHeadLinesFailTheTransfer)
{
    const int longest = HTTP_BUFFER_SIZE - 5;
    struct Case {
        const char* name;
        std::string head;
        int status;
        const char* body;
    };
    const std::string header_prefix = "X-Long: ";
    const Case cases[] = {
        {"longest header line",
         "HTTP/1.0 200 OK\r\n" + header_prefix +
             std::string(static_cast<std::size_t>(longest) - header_prefix.size() - 1, 'h') +
             "\r\n\r\n",
         200, "body"},
        {"header line one byte longer",
         "HTTP/1.0 200 OK\r\n" + header_prefix +
             std::string(static_cast<std::size_t>(longest) - header_prefix.size(), 'h') +
             "\r\n\r\n",
         -1, ""},
        {"header line far too long",
         "HTTP/1.0 200 OK\r\n" + header_prefix + std::string(100000, 'h') + "\r\n\r\n", -1, ""},
        {"status line one byte longer",
         "HTTP/1.0 200 " + std::string(static_cast<std::size_t>(longest) - 12, 'r') + "\n\n", -1,
         ""},
        {"status line without end", "HTTP/1.0 200 " + std::string(40000, 'r'), -1, ""},
        {"head of the largest size", head_of_size(HTTP_HEAD_LIMIT), 200, "body"},
        {"head one byte larger", head_of_size(HTTP_HEAD_LIMIT + 1), -1, ""},
        // Each line well within the line limit, and no end to them.
        {"1 KiB header lines without end",
         head_of_size(HTTP_HEAD_LIMIT * 3).substr(0, HTTP_HEAD_LIMIT * 3 - 2), -1, ""},
    };
    for (const Case& c : cases) {
        for (int pieces : {1, 3}) {
            SCOPED_TRACE(std::string(c.name) + (pieces == 1 ? ", one send" : ", three sends"));
            std::remove(out.c_str()); // a failed transfer would leave the last one's file
            std::vector<ServerStep> steps;
            const std::string all = c.head + "body";
            const std::size_t third = all.size() / 3;
            if (pieces == 1) {
                steps.push_back(send_step(all));
            } else {
                steps.push_back(send_step(all.substr(0, third)));
                steps.push_back(pause_step(20));
                steps.push_back(send_step(all.substr(third, third)));
                steps.push_back(pause_step(20));
                steps.push_back(send_step(all.substr(2 * third)));
            }
            steps.push_back(wait_step()); // the connection stays open
            steps.push_back(close_step());
            ScriptedServer server(steps);
            ASSERT_EQ(start(server), 1);
            if (c.status == -1) {
                // Finishes although the server never closes (it gives up
                // waiting after 10 s).
                ASSERT_TRUE(poll_to_end(client.get(), 5000));
                expect_finished(-1, "");
                server.release();
            } else {
                const std::int64_t deadline = clock_monotonic_ms() + 5000;
                while (client->body_bytes < 4 && clock_monotonic_ms() < deadline) {
                    http_poll(client.get());
                }
                server.release();
                ASSERT_TRUE(poll_to_end(client.get()));
                expect_finished(c.status, c.body);
            }
            server.finish();
            client = new_http_client();
        }
    }
}

TEST_F(HttpTransfer, BodyPastTheBodyLimitFailsAndSizesPast2GiBDoNot)
{
    for (int over : {0, 1}) {
        SCOPED_TRACE(over ? "one byte too many" : "exactly the largest size");
        ScriptedServer server(
            {send_step(ok_head), wait_step(), send_step("0123456789"), wait_step(), close_step()});
        ASSERT_EQ(start(server), 1);
        const std::int64_t deadline = clock_monotonic_ms() + 5000;
        while (client->transfer_state != HTTP_BODY && clock_monotonic_ms() < deadline) {
            http_poll(client.get());
        }
        ASSERT_EQ(client->transfer_state, HTTP_BODY);
        // Stands in for all but ten bytes of the limit (far past 2 GiB).
        client->body_bytes = HTTP_BODY_LIMIT - 10 + over;
        client->body_received = client->body_bytes;
        server.release();
        while (client->connected != 0 && client->body_bytes < HTTP_BODY_LIMIT &&
               clock_monotonic_ms() < deadline) {
            http_poll(client.get());
        }
        if (over) {
            EXPECT_EQ(client->connected, 0);
            EXPECT_EQ(client->status_code, -1);
            EXPECT_EQ(http_poll(client.get()), 0);
        } else {
            EXPECT_EQ(client->body_bytes, HTTP_BODY_LIMIT);
            EXPECT_EQ(client->status_code, 200);
            server.release();
            ASSERT_TRUE(poll_to_end(client.get()));
            EXPECT_EQ(client->status_code, 200);
        }
        server.release();
        server.finish();
        client = new_http_client();
    }
}

} // namespace

namespace {

// Body files share a few large write buffers: more transfers at once than
// there are buffers, each body larger than a buffer, still leave every file
// exact, and buffers freed by finished files serve the next ones.
TEST(HttpBodyFiles, ConcurrentTransfersEachWriteTheirOwnExactBody)
{
    const std::string dir = make_scratch_dir();
    for (int wave = 0; wave < 2; ++wave) {
        constexpr int count = 3;
        std::vector<std::unique_ptr<HttpClient>> clients;
        std::vector<std::unique_ptr<ScriptedServer>> servers;
        std::vector<std::string> bodies;
        std::vector<std::string> paths;
        for (int c = 0; c < count; ++c) {
            std::string body(600000 + c * 1001, '\0');
            for (std::size_t i = 0; i < body.size(); ++i) {
                body[i] = static_cast<char>((i * (c + 3) + i / 4093 + wave) & 0xFF);
            }
            bodies.push_back(body);
            paths.push_back(dir + "/body" + std::to_string(wave) + "-" + std::to_string(c));
            servers.push_back(std::make_unique<ScriptedServer>(
                std::vector<ServerStep>{send_step(ok_head + body.substr(0, 100000)), pause_step(5),
                                        send_step(body.substr(100000)), close_step()}));
            clients.push_back(new_http_client());
            ASSERT_EQ(http_get_to_file(clients.back().get(), servers.back()->url("/b").c_str(),
                                       paths.back().c_str()),
                      1);
        }
        // Round-robin polling so that all files are open and written at once.
        int active = count;
        while (active > 0) {
            active = 0;
            for (auto& client : clients) {
                active += http_poll(client.get());
            }
        }
        for (int c = 0; c < count; ++c) {
            servers[c]->finish();
            EXPECT_EQ(clients[c]->status_code, 200);
            EXPECT_EQ(clients[c]->out_file, nullptr);
            EXPECT_TRUE(read_file(paths[c]) == bodies[c]) << "wave " << wave << " body " << c;
        }
    }
}

} // namespace
