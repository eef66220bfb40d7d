// quorvelctl fetch: one transfer with the launcher's own HTTP client, polled
// to the end, for support staff checking what a server really sends.
#include "ctl/commands.h"
#include "net/http.h"
#include "platform/platform.h"

#include <cstdio>

namespace {

// Static like the launcher's: the record holds 40 KiB of buffers.
HttpClient fetch_client;

} // namespace

int cmd_fetch(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: quorvelctl fetch URL FILE\n");
        return EXIT_USAGE;
    }
    const char* url = argv[0];
    const char* output_path = argv[1];
    if (!net_startup()) {
        std::fprintf(stderr, "quorvelctl fetch: cannot start the socket library\n");
        return 1;
    }
    HttpClient* client = &fetch_client;
    http_init(client);
    http_set_user_agent(client, "Quorvel_Launcher");
    if (!http_get_to_file(client, url, output_path)) {
        // A refused URL leaves the fresh record untouched; a failed
        // connection sets -1; a file that cannot be opened comes after both.
        if (client->status_code == -1) {
            std::fprintf(stderr, "quorvelctl fetch: cannot connect for %s\n", url);
        } else if (client->host_name[0] == '\0' && client->port == 0) {
            std::fprintf(stderr, "quorvelctl fetch: not an http URL, or too long: %s\n", url);
            return EXIT_USAGE;
        } else {
            std::fprintf(stderr, "quorvelctl fetch: cannot write %s\n", output_path);
        }
    } else {
        while (http_poll(client) != 0) {
            // With nothing received this pass, wait for the socket instead
            // of spinning; the launcher's loop pumps its window here.
            if (client->connected != 0 && client->response_len == 0 &&
                client->request_pending == 0) {
                net_can_read(client->socket_handle, 100);
            }
        }
    }
    std::printf("status %d\nbody bytes %lld\n", client->status_code,
                static_cast<long long>(client->body_bytes));
    return client->status_code == 200 ? 0 : 1;
}
