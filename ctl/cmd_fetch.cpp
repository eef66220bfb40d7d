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
        // A refused URL leaves the fresh record untouched (no failure).
        if (client->failure == HTTP_FAILED_CONNECT) {
            std::fprintf(stderr, "quorvelctl fetch: cannot connect for %s\n", url);
        } else if (client->failure == HTTP_FAILED_FILE) {
            std::fprintf(stderr, "quorvelctl fetch: cannot write %s\n", output_path);
        } else {
            std::fprintf(stderr, "quorvelctl fetch: not an http URL, or too long: %s\n", url);
            return EXIT_USAGE;
        }
    } else {
        // The launcher's loop pumps its window between polls; here the
        // socket is waited on instead of spinning.
        while (http_poll(client) != 0) {
            http_wait(client, 100);
        }
    }
    std::printf("status %d\nbody bytes %lld\n", client->status_code,
                static_cast<long long>(client->body_bytes));
    return client->status_code == 200 ? 0 : 1;
}
