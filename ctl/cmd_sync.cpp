// quorvelctl sync: the launcher's update without a window, for dedicated
// servers and scripted installs.
#include "app/progress.h"
#include "app/startup.h"
#include "catalog/catalog.h"
#include "catalog/verify.h"
#include "ctl/commands.h"
#include "net/http.h"
#include "net/http_route.h"
#include "platform/platform.h"
#include "update/settings.h"
#include "update/update_core.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int MAX_TRIES = 5;
constexpr std::int64_t REPORT_INTERVAL_MS = 500;

HttpClient sync_client;
UpdateSettings sync_settings;
HttpProxy sync_proxies[2];
RateLimit sync_rate_limit;

// --max-rate KIB and --proxy URL: the settings file's keys on the command
// line, which win over the file in DATADIR. 0 with a message for a value
// that does not read.
int take_network_options(int* argc, char** argv, const char** max_rate, const char** proxy)
{
    int kept = 0;
    for (int i = 0; i < *argc; ++i) {
        const int is_rate = std::strcmp(argv[i], "--max-rate") == 0;
        if ((is_rate || std::strcmp(argv[i], "--proxy") == 0) && i + 1 < *argc) {
            *(is_rate ? max_rate : proxy) = argv[++i];
            continue;
        }
        argv[kept++] = argv[i];
    }
    *argc = kept;
    if (*max_rate != nullptr) {
        const char* c = *max_rate;
        while (*c >= '0' && *c <= '9') {
            ++c;
        }
        if (c == *max_rate || *c != '\0' || c - *max_rate > 9) {
            std::fprintf(stderr, "quorvelctl sync: --max-rate takes KiB/s (0: no limit)\n");
            return 0;
        }
    }
    return 1;
}

// Runs the catalog transfer to its end. Without a window to keep alive, the
// socket is waited on between polls.
void run_catalog_transfer(const char* url, const char* path)
{
    update_fetch_begin(&sync_client, url, path);
    while (http_poll(&sync_client)) {
        http_wait(&sync_client, 100);
    }
}

// After every base answered the current file with 404 or 410: the catalog
// again. 1 when the new one names other files and replaced *head and
// *bases; 0 to go on with the run and its wait.
int refetch_catalog(DownloadRun* run, const char* catalog_url, const char* catalog_file,
                    const char* temporary_file, const char* data_dir, const char* base,
                    CatalogEntry** head, DownloadBases* bases)
{
    const CatalogEntry gone = *run->current;
    std::fprintf(stderr, "quorvelctl sync: %s is gone from every server; fetching the catalog\n",
                 gone.file_name);
    run_catalog_transfer(catalog_url, temporary_file);
    const int replaced =
        update_fetch_end(&sync_client, temporary_file, catalog_file) &&
        download_catalog_replaces(catalog_file, data_dir, base, &gone, head, bases);
    download_use_client(&sync_client);
    return replaced;
}

struct Reporter {
    TransferProgress progress;
    std::int64_t last_report_ms;
};

void report_progress(Reporter* r, const DownloadRun* run)
{
    const std::int64_t now = clock_monotonic_ms();
    if (now - r->last_report_ms < REPORT_INTERVAL_MS || run->current == nullptr) {
        return;
    }
    r->last_report_ms = now;
    char bytes[PROGRESS_TEXT_SIZE];
    char speed[PROGRESS_TEXT_SIZE];
    char time[PROGRESS_TEXT_SIZE];
    transfer_update(&r->progress, download_transfer_bytes(run, &sync_client), bytes, speed, time);
    std::fprintf(stderr, "%s  %s  %s  (%s)\n", bytes, speed, time, run->current->file_name);
}

} // namespace

int cmd_sync(int argc, char** argv)
{
    const char* max_rate = nullptr;
    const char* proxy = nullptr;
    if (!ctl_take_keys("sync", &argc, argv) ||
        !take_network_options(&argc, argv, &max_rate, &proxy)) {
        return EXIT_USAGE;
    }
    if (argc != 2) {
        std::fprintf(stderr, "usage: quorvelctl sync BASE DATADIR [--key PUBLIC]... [--max-rate "
                             "KIB] [--proxy URL]\n");
        return EXIT_USAGE;
    }
    const char* base = argv[0];
    const char* data_dir = argv[1];
    // Made when missing, with its parents, as the launcher makes its own;
    // something else at the path is never touched.
    if (fs_exists(data_dir) && !fs_is_dir(data_dir)) {
        std::fprintf(stderr, "quorvelctl sync: not a folder: %s\n", data_dir);
        return EXIT_USAGE;
    }
    if (!fs_is_dir(data_dir) && !make_folders(data_dir)) {
        std::fprintf(stderr, "quorvelctl sync: cannot make the folder %s\n", data_dir);
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
    update_apply_settings(&sync_client, data_dir, &sync_settings, sync_proxies, &sync_rate_limit);
    if (max_rate != nullptr) {
        sync_settings.max_rate_kib = std::strtoll(max_rate, nullptr, 10);
        rate_limit_set(&sync_rate_limit, sync_settings.max_rate_kib * 1024, clock_monotonic_ms());
        sync_client.rate_limit = sync_settings.max_rate_kib > 0 ? &sync_rate_limit : nullptr;
    }
    if (proxy != nullptr) {
        sync_settings.has_proxy = 1;
        std::snprintf(sync_settings.proxy, sizeof sync_settings.proxy, "%s", proxy);
        update_use_proxies(&sync_client, &sync_settings, sync_proxies);
    }
    std::printf("Fetching Catalog: %s\n", catalog_url);
    std::fflush(stdout);
    run_catalog_transfer(catalog_url, temporary_file);
    const int fetched = update_fetch_end(&sync_client, temporary_file, catalog_file);
    if (!fetched) {
        std::fprintf(stderr,
                     "quorvelctl sync: catalog not fetched (status %d); using the local one\n",
                     static_cast<int>(sync_client.status_code));
    }

    static DownloadBases bases;
    CatalogEntry* head = update_catalog_load(catalog_file, data_dir, base, &bases);
    if (update_verify_all(head)) {
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
    std::int64_t pending = catalog_pending_bytes(head);
    transfer_begin(&reporter.progress, pending);
    DownloadRun run;
    download_begin(&run, &sync_client, head, data_dir, MAX_TRIES);
    run.bases = &bases;
    int status = 0;
    int catalog_refetches = 0;
    std::int64_t announced_retry = 0;
    while (true) {
        CatalogEntry* finished = nullptr;
        const DownloadStep step = download_step(&run, &sync_client, &finished);
        reporter.progress.total = pending - run.spared_bytes; // what crosses the network
        if (finished != nullptr) {
            transfer_entry_done(&reporter.progress, run.finished_bytes);
            std::printf("fetched: %s\n", finished->file_name);
            std::fflush(stdout);
        }
        if (step == DOWNLOAD_DONE) {
            break;
        }
        if (step == DOWNLOAD_GAVE_UP) {
            std::fprintf(stderr, "quorvelctl sync: %s does not match the catalog after %d tries\n",
                         run.current->file_name, MAX_TRIES);
            status = 1;
            break;
        }
        if (step == DOWNLOAD_UNWRITABLE) {
            std::fprintf(stderr, "quorvelctl sync: cannot write %s\n", run.current->local_path);
            status = 1;
            break;
        }
        if (step == DOWNLOAD_NO_SPACE) {
            char needed[PROGRESS_TEXT_SIZE];
            transfer_write_space_text(needed, run.space_missing);
            std::fprintf(stderr, "quorvelctl sync: %s %s\n", SPACE_LINE, needed);
            status = 1;
            break;
        }
        // A server whose every catalog names other files it does not have is
        // asked for its catalog at most MAX_TRIES times; past that the gone
        // file's tries run out as any other's.
        if (step == DOWNLOAD_CATALOG_STALE && catalog_refetches < MAX_TRIES &&
            refetch_catalog(&run, catalog_url, catalog_file, temporary_file, data_dir, base, &head,
                            &bases)) {
            ++catalog_refetches;
            // A new run over the new catalog's files, as at the start, whose
            // first try waits out the failed one's back-off.
            if (update_verify_all(head)) {
                break;
            }
            const std::int64_t due_ms = run.retry_due_ms;
            pending = catalog_pending_bytes(head);
            transfer_begin(&reporter.progress, pending);
            download_begin(&run, &sync_client, head, data_dir, MAX_TRIES);
            run.bases = &bases;
            run.retry_due_ms = due_ms;
            announced_retry = 0;
            continue;
        }
        report_progress(&reporter, &run);
        // A file that did not verify waits before its next try: there is no
        // socket to wait on then, so the wait is slept in pieces.
        const std::int64_t retry_in = download_retry_in_ms(&run);
        if (run.retry_due_ms != announced_retry) {
            announced_retry = run.retry_due_ms;
            if (announced_retry != 0) {
                std::fprintf(stderr,
                             "quorvelctl sync: %s not verified (reply status %d); next try in "
                             "%.1f s\n",
                             run.current->file_name, static_cast<int>(run.failed_status),
                             static_cast<double>(retry_in) / 1000.0);
            }
        }
        if (retry_in > 0) {
            sleep_ms(static_cast<int>(retry_in < 100 ? retry_in : 100));
        } else {
            http_wait(&sync_client, 100);
        }
    }
    if (status == 0) {
        std::printf("complete: every file verified\n");
    }
    catalog_free(&head);
    return status;
}
