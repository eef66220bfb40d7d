#include "update/update_core.h"

#include "catalog/signing.h"
#include "catalog/verify.h"
#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

std::uint8_t publisher_keys[UPDATE_KEYS_MAX][ED25519_KEY_SIZE];
int publisher_key_count = 0;

// One reading of a catalog file: its bytes, and in signed mode the checks
// (expiry only when now is given) over those very bytes. *length is then the
// length of the signed part: the only bytes anything may act on.
CatalogCheck read_checked(const char* path, std::int64_t lowest_version, std::int64_t now,
                          char** bytes, std::int64_t* length, std::int64_t* version)
{
    *version = 0;
    if (!catalog_text_read(path, bytes, length)) {
        return CATALOG_CHECK_UNREADABLE;
    }
    if (!update_signed_mode()) {
        return CATALOG_CHECK_OK;
    }
    const CatalogCheck check = catalog_check_sealed_text(
        *bytes, *length, publisher_keys, publisher_key_count, lowest_version, now, version, length);
    if (check != CATALOG_CHECK_OK) {
        std::free(*bytes);
        *bytes = nullptr;
        *length = 0;
    }
    return check;
}

// The catalog in place, read once; in signed mode it must still pass the
// checks it passed on arrival, expiry aside (a player offline keeps
// playing). Null bytes when it cannot be used, with one standard-error line
// in signed mode.
char* read_in_place(const char* catalog_file, std::int64_t* length, std::int64_t* version)
{
    char* bytes = nullptr;
    const CatalogCheck check = read_checked(catalog_file, 0, INT64_MIN, &bytes, length, version);
    if (check != CATALOG_CHECK_OK && check != CATALOG_CHECK_UNREADABLE) {
        std::fprintf(stderr, "catalog in place not used: %s\n", catalog_check_text(check));
    }
    return bytes;
}

// The VERSION of the catalog in place when it still passes the checks; 0
// otherwise, so that a file no key signed cannot set the lowest version a
// publisher may send.
std::int64_t version_in_place(const char* catalog_file)
{
    char* bytes = nullptr;
    std::int64_t length = 0;
    std::int64_t version = 0;
    const CatalogCheck check = read_checked(catalog_file, 0, INT64_MIN, &bytes, &length, &version);
    std::free(bytes);
    return check == CATALOG_CHECK_OK ? version : 0;
}

} // namespace

int update_add_keys(const char* list)
{
    std::uint8_t found[UPDATE_KEYS_MAX][ED25519_KEY_SIZE];
    int count = 0;
    for (const char* item = list; *item != '\0';) {
        const char* end = std::strchr(item, ';');
        const std::size_t length =
            end != nullptr ? static_cast<std::size_t>(end - item) : std::strlen(item);
        char text[96];
        if (length >= sizeof text) {
            return 0;
        }
        std::memcpy(text, item, length);
        text[length] = '\0';
        const bool blank = std::strspn(text, " \t\r\n") == length;
        if (!blank) {
            if (count + publisher_key_count >= UPDATE_KEYS_MAX ||
                base64_decode(text, static_cast<int>(length), found[count], ED25519_KEY_SIZE) !=
                    ED25519_KEY_SIZE) {
                return 0;
            }
            ++count;
        }
        item += length + (end != nullptr ? 1 : 0);
    }
    std::memcpy(publisher_keys[publisher_key_count], found, sizeof found[0] * count);
    publisher_key_count += count;
    return 1;
}

int update_signed_mode()
{
    return publisher_key_count > 0;
}

CatalogEntry* update_catalog_load(const char* catalog_file, const char* data_folder,
                                  const char* url_prefix)
{
    std::int64_t length = 0;
    std::int64_t version = 0;
    char* bytes = read_in_place(catalog_file, &length, &version);
    if (bytes == nullptr) {
        return nullptr;
    }
    CatalogEntry* head = catalog_parse(bytes, length, data_folder, url_prefix);
    std::free(bytes);
    return head;
}

int update_find_launcher(const char* catalog_file, const char* platform, const char* url_prefix,
                         CatalogEntry* out)
{
    std::int64_t length = 0;
    std::int64_t version = 0;
    char* bytes = read_in_place(catalog_file, &length, &version);
    if (bytes == nullptr) {
        return 0;
    }
    const int found = catalog_find_launcher_in(bytes, length, platform, url_prefix, out);
    std::free(bytes);
    return found;
}

int update_entry_verify(CatalogEntry* entry)
{
    if (!update_signed_mode()) {
        return entry_verify(entry);
    }
    if (entry_matches_sealed(entry, nullptr)) {
        return 1;
    }
    entry->update = 1;
    return 0;
}

int update_verify_all(CatalogEntry* head)
{
    return catalog_verify_each(head, update_entry_verify);
}

void update_fetch_begin(HttpClient* client, const char* catalog_url, const char* temporary_path)
{
    client->body_limit = CATALOG_BODY_LIMIT;
    client->idle_timeout_ms = CATALOG_IDLE_TIMEOUT_MS;
    client->time_limit_ms = CATALOG_TIME_LIMIT_MS;
    http_get_to_file(client, catalog_url, temporary_path);
}

int update_fetch_end(const HttpClient* client, const char* temporary_path, const char* catalog_file)
{
    // A cut reply ends with -1; a whole one must still read as a catalog.
    if (client->status_code != 200) {
        std::remove(temporary_path);
        return 0;
    }
    if (update_signed_mode()) {
        char* bytes = nullptr;
        std::int64_t length = 0;
        std::int64_t version = 0;
        const CatalogCheck check = read_checked(temporary_path, version_in_place(catalog_file),
                                                clock_ms() / 1000, &bytes, &length, &version);
        std::free(bytes);
        if (check != CATALOG_CHECK_OK) {
            std::fprintf(stderr, "catalog refused: %s\n", catalog_check_text(check));
            std::remove(temporary_path);
            return 0;
        }
    }
    return catalog_install(temporary_path, catalog_file);
}

void download_begin(DownloadRun* run, HttpClient* client, CatalogEntry* list,
                    const char* data_folder, std::int32_t max_tries)
{
    run->current = list;
    run->data_directory = data_folder;
    run->max_tries = max_tries;
    run->tries = 0;
    run->counting_current = 0;
    run->retries = 0;
    run->retry_due_ms = 0;
    run->failed_status = 0;
    run->target_path[0] = '\0';
    run->first_wait_ms = DOWNLOAD_FIRST_WAIT_MS;
    run->longest_wait_ms = DOWNLOAD_LONGEST_WAIT_MS;
    const char* first_wait = std::getenv("QUORVEL_RETRY_WAIT_MS");
    if (first_wait != nullptr && first_wait[0] >= '0' && first_wait[0] <= '9') {
        const long long value = std::strtoll(first_wait, nullptr, 10);
        run->first_wait_ms = value < DOWNLOAD_LONGEST_WAIT_MS ? value : DOWNLOAD_LONGEST_WAIT_MS;
    }
    client->idle_timeout_ms = HTTP_IDLE_TIMEOUT_MS;
    client->time_limit_ms = 0; // a large file may take hours
}

namespace {

// The jitter's source: xorshift32, seeded from both clocks on first use.
std::uint32_t jitter_state = 0;

std::uint32_t next_jitter()
{
    if (jitter_state == 0) {
        jitter_state = static_cast<std::uint32_t>(clock_ms() ^ (clock_monotonic_ms() << 16)) | 1u;
    }
    jitter_state ^= jitter_state << 13;
    jitter_state ^= jitter_state >> 17;
    jitter_state ^= jitter_state << 5;
    return jitter_state;
}

void move_to(DownloadRun* run, CatalogEntry* entry)
{
    run->current = entry;
    run->tries = 0;
    run->counting_current = 0;
    run->retries = 0;
    run->retry_due_ms = 0;
}

// Whether a try that did not give the file was cut short after its body
// added bytes: a 200 or 206 reply that broke off. An error page, a refused
// or silent server, a body past the record's size and a disk that takes no
// more are failed tries.
int try_added_bytes(const HttpClient* client)
{
    const int cut_short = client->status_code == -1 && client->failure != HTTP_FAILED_TOO_LARGE &&
                          client->failure != HTTP_FAILED_WRITE;
    return cut_short && client->body_bytes > 0 &&
           (client->reply_status == 200 || client->reply_status == 206);
}

} // namespace

DownloadStep download_step(DownloadRun* run, HttpClient* client, CatalogEntry** finished)
{
    *finished = nullptr;
    if (run->current == nullptr) {
        return DOWNLOAD_DONE;
    }
    if (!http_is_active(client)) {
        if (run->retry_due_ms != 0) {
            if (clock_monotonic_ms() < run->retry_due_ms) {
                return DOWNLOAD_RUNNING;
            }
            run->retry_due_ms = 0;
        }
        while (run->current != nullptr && run->current->update == 0) {
            move_to(run, run->current->next);
        }
        if (run->current == nullptr) {
            return DOWNLOAD_RUNNING; // the next step reports the end
        }
        CatalogEntry* entry = run->current;
        const char* suffix = update_signed_mode() ? ".partial" : "";
        const int length = std::snprintf(run->target_path, sizeof run->target_path, "%s%s",
                                         entry->local_path, suffix);
        if (length < 0 || length >= static_cast<int>(sizeof run->target_path)) {
            return DOWNLOAD_UNWRITABLE;
        }
        make_parent_folders(run->data_directory, entry->file_name);
        client->body_limit = entry->size + 1;
        if (http_get_to_file(client, entry->url, run->target_path)) {
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
    int verified = 0;
    if (!update_signed_mode()) {
        verified = entry_verify(entry);
    } else if (entry_matches_sealed(entry, run->target_path)) {
        // Only the publisher's exact bytes ever stand at the real path.
        if (!fs_replace(run->target_path, entry->local_path)) {
            std::remove(run->target_path);
            return DOWNLOAD_UNWRITABLE;
        }
        verified = 1;
    } else {
        std::remove(run->target_path);
    }
    if (verified) {
        move_to(run, entry->next);
        *finished = entry;
        return run->current == nullptr ? DOWNLOAD_DONE : DOWNLOAD_RUNNING;
    }
    const int added_bytes = try_added_bytes(client);
    if (!added_bytes) {
        ++run->tries;
    }
    if (run->max_tries > 0 && run->tries >= run->max_tries) {
        return DOWNLOAD_GAVE_UP;
    }
    run->retries = added_bytes ? 1 : run->retries + 1;
    run->failed_status = client->reply_status;
    run->retry_due_ms =
        clock_monotonic_ms() + download_retry_wait_ms(run, run->retries, next_jitter());
    return DOWNLOAD_RUNNING;
}

std::int64_t download_transfer_bytes(const DownloadRun* run, const HttpClient* client)
{
    return run->counting_current && run->retry_due_ms == 0 ? client->body_bytes : 0;
}

std::int64_t download_retry_in_ms(const DownloadRun* run)
{
    if (run->retry_due_ms == 0) {
        return 0;
    }
    const std::int64_t left = run->retry_due_ms - clock_monotonic_ms();
    return left > 0 ? left : 0;
}

std::int64_t download_retry_wait_ms(const DownloadRun* run, std::int32_t retry,
                                    std::uint32_t random)
{
    std::int64_t wait = run->first_wait_ms > 0 ? run->first_wait_ms : 0;
    for (std::int32_t i = 1; i < retry && wait > 0 && wait < run->longest_wait_ms; ++i) {
        wait *= 2;
    }
    if (wait > run->longest_wait_ms) {
        wait = run->longest_wait_ms;
    }
    const std::uint64_t jitter = (static_cast<std::uint64_t>(wait) * random) >> 32;
    return wait + static_cast<std::int64_t>(jitter / 5);
}
