#include "app/update.h"

#include "app/progress.h"
#include "app/screens.h"
#include "app/startup.h"
#include "catalog/catalog.h"
#include "catalog/verify.h"
#include "platform/platform.h"
#include "platform/window.h"
#include "update/self_update.h"
#include "update/settings.h"
#include "update/update_core.h"

#include <cstdio>

HttpClient http_client;
// What the settings file in the data folder asks for: a proxy, a rate limit.
UpdateSettings launcher_settings;
HttpProxy launcher_proxies[2];
// The server base and the catalog's mirrors, from the catalog in place.
DownloadBases download_bases;
RateLimit launcher_rate_limit;

namespace {

// Restart: the download found the catalog's objects gone and a new catalog
// is in place of the old one's entries; its files are checked and fetched.
enum class Next { End, Ready, Download, Retry, GaveUp, Restart };

// Tries of the launcher's own download: unlike a game file's, a failure
// here costs nothing (the running launcher carries on).
constexpr std::int32_t SELF_UPDATE_TRIES = 3;

// How long a transfer loop's pass that brought nothing waits for the socket
// before it looks at the window again. Going round at once took a whole
// core for the whole transfer (and for the 30 s a silent server is given),
// from the server and the display on a small machine and from a laptop's
// battery; the wait ends with the first byte.
constexpr int IDLE_WAIT_MS = 1;
// While a file waits for its next try there is no socket to wait on: a pass
// waits for the window up to this long, so that the countdown moves and a
// close ends the run at once, without spinning a core.
constexpr int RETRY_WAIT_SLICE_MS = 100;

// The back-off a run after Restart starts with.
struct StaleWait {
    std::int64_t due_ms;
    std::int32_t retries;
};
StaleWait stale_wait = {};

Next download_phase(CatalogEntry* list, const char* folder, std::int32_t max_tries,
                    const DownloadBases* bases);
Next self_update_pass();

// The window is gone once a pump has taken its close, or when a screen
// change took it (screen_show drains the queue).
int window_gone(int pump_result)
{
    return pump_result == 0 || window_is_closed();
}

// Console lines are flushed at once so that whoever watches them (a support
// session, a test) sees each as it happens, not at exit.
void console_line(const char* text)
{
    std::puts(text);
    std::fflush(stdout);
}

void set_up()
{
    screen_setup();
    set_mouse_move_handler(screen_on_mouse_move);
    set_mouse_down_handler(screen_on_mouse_down);
    set_mouse_up_handler(screen_on_mouse_up);
    screen_compose();
    pump_pending();
    http_init(&http_client);
    http_set_user_agent(&http_client, "Quorvel_Launcher");
    update_apply_settings(&http_client, data_directory, &launcher_settings, launcher_proxies,
                          &launcher_rate_limit);
}

// Fetches the catalog into catalog.txt.new and puts it in place when it is
// a whole catalog. 1 when a new catalog is in place; 0 when the fetch failed
// or the window went away.
int fetch_catalog()
{
    char catalog_url[APP_PATH_SIZE];
    char temporary_path[APP_PATH_SIZE];
    const int url_len =
        std::snprintf(catalog_url, sizeof catalog_url, "%s/catalog.php", server_base);
    const int tmp_len =
        std::snprintf(temporary_path, sizeof temporary_path, "%s/catalog.txt.new", data_directory);
    if (url_len < 0 || url_len >= APP_PATH_SIZE) {
        // A cut URL would ask some other resource: no request, a failed fetch.
        std::printf("Fetching Catalog: %.60s... (server address too long)\n", server_base);
        std::fflush(stdout);
        return 0;
    }
    std::printf("Fetching Catalog: %s\n", catalog_url);
    std::fflush(stdout);
    if (tmp_len < 0 || tmp_len >= APP_PATH_SIZE) {
        return 0;
    }

    update_fetch_begin(&http_client, catalog_url, temporary_path);
    while (true) {
        if (window_gone(pump_pending())) {
            return 0;
        }
        if (!http_poll(&http_client)) {
            return update_fetch_end(&http_client, temporary_path, catalog_path);
        }
        screen_compose();
        http_wait(&http_client, IDLE_WAIT_MS);
    }
}

// One catalog pass: fetch, load, verify, and the way on.
Next catalog_pass()
{
    space_text[0] = '\0';
    if (window_gone(screen_show(SCREEN_CHECKING))) {
        return Next::End;
    }
    const int fetched = fetch_catalog();
    if (window_is_closed()) {
        return Next::End;
    }
    if (fetched && self_update_pass() == Next::End) {
        return Next::End;
    }
    catalog_free(&entry_list);
    entry_list = update_catalog_load(catalog_path, data_directory, server_base, &download_bases);
    if (entry_list != nullptr && update_verify_all(entry_list)) {
        catalog_print(entry_list);
        std::fflush(stdout);
        return Next::Ready;
    }
    return fetched ? Next::Download : Next::Retry;
}

// 1 when Retry was clicked, 0 when the window went away.
int retry_wait()
{
    console_line("Fallo de ficheros: Reintentando");
    if (window_gone(screen_show(SCREEN_RETRY))) {
        return 0;
    }
    retry_pressed = 0;
    while (true) {
        if (window_gone(pump_wait()) || retry_pressed) {
            break;
        }
        screen_compose();
        if (retry_pressed) {
            break;
        }
    }
    return window_is_closed() ? 0 : 1;
}

// Downloads every flagged entry of list into folder. Ready when the last one
// verified, Retry when a file cannot be written (a folder in its place, a
// running game) or the disk has no room for the rest (space_text says how
// much more): asking the server again and again would change nothing.
// With bases (the game's files), a file every base answers 404 or 410 for
// fetches the catalog again; Restart when the new one names other files.
// End when the window is gone. A file that does not verify is fetched again,
// without limit for max_tries 0, else GaveUp after that many tries.
Next download_phase(CatalogEntry* list, const char* folder, std::int32_t max_tries,
                    const DownloadBases* bases)
{
    if (window_gone(screen_show(SCREEN_DOWNLOAD))) {
        return Next::End;
    }
    TransferProgress progress;
    DownloadRun run;
    download_begin(&run, &http_client, list, folder, max_tries);
    run.bases = bases;
    // A run after a catalog fetched again waits out the back-off of the try
    // that found the file gone: a server whose every catalog names files it
    // does not have is not asked again at once, without end.
    run.retry_due_ms = stale_wait.due_ms;
    run.retries = stale_wait.retries;
    stale_wait = {};
    progress_set(&download_bar, 0.0f);
    const std::int64_t pending = catalog_pending_bytes(list);
    transfer_begin(&progress, pending);
    retry_text[0] = '\0';
    patch_text[0] = '\0';
    std::int64_t announced_retry = 0;

    while (true) {
        if (window_gone(pump_pending())) {
            return Next::End;
        }
        CatalogEntry* finished = nullptr;
        const std::int64_t before = download_transfer_bytes(&run, &http_client);
        const DownloadStep step = download_step(&run, &http_client, &finished);
        const int arrived = download_transfer_bytes(&run, &http_client) != before;
        if (step == DOWNLOAD_DONE) {
            return Next::Ready;
        }
        if (step == DOWNLOAD_GAVE_UP) {
            return Next::GaveUp;
        }
        if (step == DOWNLOAD_UNWRITABLE) {
            std::fprintf(stderr, "quorvel: cannot write %s\n", run.current->local_path);
            return Next::Retry;
        }
        if (step == DOWNLOAD_NO_SPACE) {
            transfer_write_space_text(space_text, run.space_missing);
            std::fprintf(stderr, "quorvel: %s %s\n", SPACE_LINE, space_text);
            return Next::Retry;
        }
        if (step == DOWNLOAD_CATALOG_STALE && bases != nullptr) {
            const CatalogEntry gone = *run.current;
            std::fprintf(stderr, "quorvel: %s is gone from every server; fetching the catalog\n",
                         gone.file_name);
            const int fetched = fetch_catalog();
            if (window_is_closed()) {
                return Next::End;
            }
            if (fetched && download_catalog_replaces(catalog_path, data_directory, server_base,
                                                     &gone, &entry_list, &download_bases)) {
                stale_wait = {run.retry_due_ms, run.retries};
                return Next::Restart;
            }
            download_use_client(&http_client);
        }
        if (finished != nullptr) {
            transfer_entry_done(&progress, run.finished_bytes);
        }
        // The figures count what crosses the network: a patch's total is
        // what it fetches, not the file's size.
        progress.total = pending - run.spared_bytes;
        const DownloadPatch* patch = &run.patch;
        if (transfer_write_patch_text(patch_text,
                                      run.current != nullptr ? run.current->file_name : "",
                                      patch->stage == PATCH_BUILD ? patch->fetch_bytes : -1,
                                      patch->stage != PATCH_NONE ? run.current->size : 0)) {
            redraw_needed = 1;
        }
        // A file that did not verify waits before its next try; the player
        // sees which one and for how long, so that a bar that stands still
        // says why.
        const std::int64_t retry_in = download_retry_in_ms(&run);
        if (run.retry_due_ms != announced_retry) {
            announced_retry = run.retry_due_ms;
            if (announced_retry != 0) {
                std::fprintf(stderr,
                             "quorvel: %s not verified (reply status %d); next try in %.1f s\n",
                             run.current->file_name, static_cast<int>(run.failed_status),
                             static_cast<double>(retry_in) / 1000.0);
            }
        }
        if (transfer_write_retry_text(
                retry_text, run.current != nullptr ? run.current->file_name : "", retry_in)) {
            redraw_needed = 1;
        }
        const TransferFigures figures =
            transfer_figures(&progress, download_transfer_bytes(&run, &http_client));
        progress_set(&download_bar, figures.fraction);
        if (figures.redraw_due) {
            redraw_needed = 1;
        }
        // The texts are seen only when the window is composed: made from this
        // pass's figures on the passes that compose, they draw exactly what
        // making them on every pass would.
        if (redraw_needed || widget_changed) {
            transfer_write_texts(&progress, &figures, bytes_text, speed_text, time_text);
        }
        screen_compose();
        if (retry_in > 0) {
            window_wait(
                static_cast<int>(retry_in < RETRY_WAIT_SLICE_MS ? retry_in : RETRY_WAIT_SLICE_MS));
        } else if (!arrived) {
            http_wait(&http_client, IDLE_WAIT_MS);
        }
    }
}

// Right after a catalog was accepted: the launcher's own new version, when
// the catalog names one for this platform. End when the new launcher was
// started (this one then ends) or the window went away; otherwise the
// game's update goes on, whatever happened here.
Next self_update_pass()
{
    static SelfUpdate update;
    const SelfUpdatePlan plan = self_update_plan(&update, catalog_path, server_base);
    if (plan == SELF_UPDATE_SKIP) {
        std::printf("Launcher update skipped: %s\n", update.reason);
        std::fflush(stdout);
    }
    if (plan != SELF_UPDATE_FETCH) {
        return Next::Ready;
    }
    std::printf("Updating the launcher: %s\n", update.record.url);
    std::fflush(stdout);
    const Next fetched = download_phase(&update.record, update.folder, SELF_UPDATE_TRIES, nullptr);
    if (fetched == Next::End) {
        std::remove(update.record.local_path);
        return Next::End;
    }
    const char* skipped = nullptr;
    if (fetched != Next::Ready) {
        std::remove(update.record.local_path);
        skipped = "the new launcher does not verify";
    } else if (!self_update_swap(&update)) {
        skipped = "it cannot be put in place of the running one";
    } else if (!restart_program(update.own_path, launch_arguments)) {
        skipped = "the new launcher is in place but did not start; it runs from the next start";
    }
    if (skipped != nullptr) {
        std::printf("Launcher update skipped: %s\n", skipped);
        std::fflush(stdout);
        return window_gone(screen_show(SCREEN_CHECKING)) ? Next::End : Next::Ready;
    }
    console_line("Launcher updated; restarting");
    return Next::End;
}

void ready_phase()
{
    console_line("Listo para jugar!");
    notes_load(entry_list, notes_lines, &notes_count, NOTES_SLOTS);
    if (window_gone(screen_show(SCREEN_READY))) {
        return;
    }
    play_pressed = 0;
    while (true) {
        if (window_gone(pump_wait()) || play_pressed) {
            return;
        }
        screen_compose();
        if (play_pressed) {
            return;
        }
    }
}

} // namespace

int update_run()
{
    self_update_remove_old();
    set_up();
    while (true) {
        const Next next = catalog_pass();
        if (next == Next::End) {
            return 0;
        }
        if (next == Next::Retry) {
            if (!retry_wait()) {
                return 0;
            }
            continue;
        }
        if (next == Next::Download) {
            Next after = download_phase(entry_list, data_directory, 0, &download_bases);
            while (after == Next::Restart) {
                after = update_verify_all(entry_list)
                            ? Next::Ready
                            : download_phase(entry_list, data_directory, 0, &download_bases);
            }
            if (after == Next::Retry) {
                if (!retry_wait()) {
                    return 0;
                }
                continue;
            }
        }
        if (window_is_closed()) {
            return 0;
        }
        ready_phase();
        return 0;
    }
}
