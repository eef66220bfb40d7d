#include "update/update_core.h"

#include "app/startup.h"
#include "catalog/verify.h"

#include <cstdio>

void update_fetch_begin(HttpClient* client, const char* catalog_url, const char* temporary_path)
{
    client->body_limit = CATALOG_BODY_LIMIT;
    client->idle_timeout_ms = CATALOG_IDLE_TIMEOUT_MS;
    http_get_to_file(client, catalog_url, temporary_path);
}

int update_fetch_end(const HttpClient* client, const char* temporary_path, const char* catalog_file)
{
    // A cut reply ends with -1; a whole one must still read as a catalog.
    if (client->status_code == 200) {
        return catalog_install(temporary_path, catalog_file) ? 0 : 1;
    }
    std::remove(temporary_path);
    return 1;
}

void download_begin(DownloadRun* run, HttpClient* client, CatalogEntry* list,
                    const char* data_folder, std::int32_t max_tries)
{
    run->current = list;
    run->data_directory = data_folder;
    run->max_tries = max_tries;
    run->tries = 0;
    run->counting_current = 0;
    client->body_limit = HTTP_BODY_LIMIT;
    client->idle_timeout_ms = HTTP_IDLE_TIMEOUT_MS;
}

namespace {

void move_to(DownloadRun* run, CatalogEntry* entry)
{
    run->current = entry;
    run->tries = 0;
    run->counting_current = 0;
}

} // namespace

DownloadStep download_step(DownloadRun* run, HttpClient* client, CatalogEntry** finished)
{
    *finished = nullptr;
    if (run->current == nullptr) {
        return DOWNLOAD_DONE;
    }
    if (!http_is_active(client)) {
        while (run->current != nullptr && run->current->update == 0) {
            move_to(run, run->current->next);
        }
        if (run->current == nullptr) {
            return DOWNLOAD_RUNNING; // the next step reports the end
        }
        CatalogEntry* entry = run->current;
        make_parent_folders(run->data_directory, entry->file_name);
        ++run->tries;
        if (http_get_to_file(client, entry->url, entry->local_path)) {
            run->counting_current = 1;
        } else if (client->failure == HTTP_FAILED_FILE) {
            // Asking the server again would change nothing.
            return DOWNLOAD_UNWRITABLE;
        }
    }
    if (http_poll(client)) {
        return DOWNLOAD_RUNNING;
    }
    CatalogEntry* entry = run->current;
    if (entry_verify(entry)) {
        move_to(run, entry->next);
        *finished = entry;
        return run->current == nullptr ? DOWNLOAD_DONE : DOWNLOAD_RUNNING;
    }
    if (run->max_tries > 0 && run->tries >= run->max_tries) {
        return DOWNLOAD_GAVE_UP;
    }
    return DOWNLOAD_RUNNING;
}

std::int64_t download_transfer_bytes(const DownloadRun* run, const HttpClient* client)
{
    return run->counting_current ? client->body_bytes : 0;
}
