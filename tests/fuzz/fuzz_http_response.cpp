// The HTTP client's response path (status line, headers, body into a file)
// fed arbitrary bytes in arbitrary chunks through a connected local socket
// pair standing in for the server. Checks: the receive buffer never
// overflows, the body counted is exactly what reached the file, no more body
// than was sent, and the transfer always ends once the peer has closed.
#include "net/http.h"
#include "platform/platform.h"
#include "tests/fuzz/fuzz_support.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void check_record(const HttpClient& client, std::int64_t sent)
{
    FUZZ_CHECK(client.response_len >= 0 && client.response_len <= HTTP_BUFFER_SIZE);
    FUZZ_CHECK(client.body_bytes >= 0 && client.body_bytes <= sent);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static bool started = net_startup() != 0;
    FUZZ_CHECK(started);
    int pair[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM, 0, pair) == 0);

    static HttpClient client;
    http_init(&client);
    // The state http_get_to_file leaves once connected, with the request
    // already sent: the response is all that is left. The file is opened
    // when the body starts; until then it keeps what it held (nothing).
    client.socket_handle = pair[0];
    net_set_nonblocking(client.socket_handle);
    client.active = 1;
    client.connected = 1;
    client.transfer_state = HTTP_STATUS_LINE;
    client.request_pending = 0;
    client.started_ms = clock_monotonic_ms();
    client.last_activity_ms = client.started_ms;
    client.window_start_ms = client.started_ms;
    const char* out_path = fuzz_write_file(nullptr, 0);
    std::snprintf(client.out_path, sizeof client.out_path, "%s", out_path);
    client.body_bytes = 0;

    FuzzReader in{data, size};
    std::int64_t sent = 0;
    bool peer_open = true;
    while (in.size > 0 && peer_open) {
        std::size_t chunk = static_cast<std::size_t>(in.take<std::uint8_t>()) * 4 + 1;
        if (chunk > in.size) {
            chunk = in.size;
        }
        std::size_t offset = 0;
        while (offset < chunk) {
            const ssize_t n =
                send(pair[1], in.data + offset, chunk - offset, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n <= 0) {
                if (http_poll(&client) == 0) {
                    peer_open = false; // the client gave up: nobody reads
                    break;
                }
                continue;
            }
            offset += static_cast<std::size_t>(n);
            sent += n;
        }
        in.data += chunk;
        in.size -= chunk;
        http_poll(&client);
        check_record(client, sent);
    }
    close(pair[1]);
    // Each pass moves at least one buffer's worth, so this bound is generous.
    int passes = 0;
    while (http_poll(&client) != 0) {
        check_record(client, sent);
        ++passes;
        FUZZ_CHECK(passes < 64 + static_cast<int>(size));
    }
    check_record(client, sent);
    FUZZ_CHECK(client.active == 0);
    FUZZ_CHECK(client.out_file == nullptr);
    struct stat st {};
    FUZZ_CHECK(stat(out_path, &st) == 0);
    FUZZ_CHECK(st.st_size == client.body_bytes);
    return 0;
}
