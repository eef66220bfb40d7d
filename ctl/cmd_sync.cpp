// quorvelctl sync: the launcher's update without a window, for dedicated
// servers and scripted installs.
#include "app/progress.h"
#include "app/startup.h"
#include "catalog/catalog.h"
#include "catalog/verify.h"
#include "ctl/commands.h"
#include "net/http.h"
#include "platform/platform.h"

#include <cstdio>

namespace {

constexpr int MAX_TRIES = 5;
constexpr std::int64_t REPORT_INTERVAL_MS = 500;

HttpClient sync_client;

// Runs one transfer to its end. Polls never block; without a window to keep
// alive, waiting on the socket between polls spares a core while the server
// is quiet and costs nothing while data flows.
void run_transfer(const char* url, const char* path, void (*on_poll)(void*), void* context)
{
    if (!http_get_to_file(&sync_client, url, path)) {
        return;
    }
    while (true) {
        if (sync_client.connected && sync_client.request_pending == 0) {
            net_can_read(sync_client.socket_handle, 100);
        }
        if (!http_poll(&sync_client)) {
            break;
        }
        if (on_poll != nullptr) {
            on_poll(context);
        }
    }
}

struct Reporter {
    TransferProgress progress;
    std::int64_t last_report_ms;
    const char* name;
};

void report_progress(void* context)
{
    auto* r = static_cast<Reporter*>(context);
    const std::int64_t now = clock_ms();
    if (now - r->last_report_ms < REPORT_INTERVAL_MS) {
        return;
    }
    r->last_report_ms = now;
    char bytes[PROGRESS_TEXT_SIZE];
    char speed[PROGRESS_TEXT_SIZE];
    char time[PROGRESS_TEXT_SIZE];
    transfer_update(&r->progress, sync_client.body_bytes, bytes, speed, time);
    std::fprintf(stderr, "%s  %s  %s  (%s)\n", bytes, speed, time, r->name);
}

} // namespace

int cmd_sync(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: quorvelctl sync BASE DATADIR\n");
        return EXIT_USAGE;
    }
    const char* base = argv[0];
    const char* data_dir = argv[1];
    if (!fs_is_dir(data_dir)) {
        std::fprintf(stderr, "quorvelctl sync: not a folder: %s\n", data_dir);
        return EXIT_USAGE;
    }
    char catalog_url[APP_PATH_SIZE];
    char catalog_file[APP_PATH_SIZE];
    char temporary_file[APP_PATH_SIZE];
    const int lengths[] = {
        std::snprintf(catalog_url, sizeof catalog_url, "%s/catalog.php", base),
        std::snprintf(catalog_file, sizeof catalog_file, "%s/catalog.txt", data_dir),
        std::snprintf(temporary_file, sizeof temporary_file, "%s/catalog.txt.new", data_dir),
    };
    for (const int length : lengths) {
        if (length < 0 || length >= APP_PATH_SIZE) {
            std::fprintf(stderr, "quorvelctl sync: server address or folder path too long\n");
            return EXIT_USAGE;
        }
    }

    net_startup();
    http_init(&sync_client);
    http_set_user_agent(&sync_client, "Quorvel_Launcher");
    std::printf("Fetching Catalog: %s\n", catalog_url);
    std::fflush(stdout);
    sync_client.body_limit = CATALOG_BODY_LIMIT;
    sync_client.idle_timeout_ms = CATALOG_IDLE_TIMEOUT_MS;
    run_transfer(catalog_url, temporary_file, nullptr, nullptr);
    sync_client.body_limit = HTTP_BODY_LIMIT;
    sync_client.idle_timeout_ms = HTTP_IDLE_TIMEOUT_MS;
    int fetched = sync_client.status_code == 200;
    if (fetched) {
        fetched = catalog_install(temporary_file, catalog_file);
    } else {
        std::remove(temporary_file);
        std::fprintf(stderr,
                     "quorvelctl sync: catalog not fetched (status %d); using the local one\n",
                     static_cast<int>(sync_client.status_code));
    }

    CatalogEntry* head = catalog_load(catalog_file, data_dir, base);
    if (catalog_verify_all(head)) {
        std::printf("complete: every file verified\n");
        catalog_free(&head);
        return 0;
    }
    if (!fetched) {
        std::fprintf(stderr, "quorvelctl sync: the server cannot be reached and the files are "
                             "incomplete\n");
        catalog_free(&head);
        return 1;
    }

    Reporter reporter = {};
    transfer_begin(&reporter.progress, catalog_pending_bytes(head));
    int status = 0;
    for (CatalogEntry* e = head; e != nullptr && status == 0; e = e->next) {
        if (e->update == 0) {
            continue;
        }
        reporter.name = e->file_name;
        int verified = 0;
        for (int attempt = 1; attempt <= MAX_TRIES && !verified; ++attempt) {
            make_parent_folders(data_dir, e->file_name);
            run_transfer(e->url, e->local_path, report_progress, &reporter);
            verified = entry_verify(e);
        }
        if (!verified) {
            std::fprintf(stderr, "quorvelctl sync: %s does not match the catalog after %d tries\n",
                         e->file_name, MAX_TRIES);
            status = 1;
            break;
        }
        transfer_entry_done(&reporter.progress, e->size);
        std::printf("fetched: %s\n", e->file_name);
        std::fflush(stdout);
    }
    if (status == 0) {
        std::printf("complete: every file verified\n");
    }
    catalog_free(&head);
    return status;
}
