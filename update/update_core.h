// The update rules without a window: the catalog fetch and its acceptance,
// and the download of every flagged entry, as steps a caller drives. The
// launcher pumps its window between steps; quorvelctl sync waits on the
// socket. Both get the same rules from here.
#pragma once

#include "catalog/catalog.h"
#include "crypto/crypto.h"
#include "net/http.h"
#include "update/patch.h"

#include <cstdint>

// ---- Signed mode --------------------------------------------------------
//
// With at least one publisher key the update is in signed mode: a catalog
// replaces the one in place only when it carries a signature by one of the
// keys, a VERSION not below the one in place and an EXPIRES still ahead,
// with a SHA256 line for every record; a file counts as the record's only
// with its SHA-256, and a download stands at its real path only after it
// verified. Without keys every rule is the unsigned one.

constexpr int UPDATE_KEYS_MAX = 8;

// Adds the keys of a key list: base64 texts of 32 bytes separated by ";"
// (blanks around each allowed; an empty list adds none). 1 when every one
// is a key and there is room for all; nothing is added otherwise.
int update_add_keys(const char* list);

// The keys this program was built with (QUORVEL_CATALOG_KEYS); each
// program's own build provides it.
const char* update_built_in_keys();

// 1 once a key was added.
int update_signed_mode();

// The catalog in place as the rules allow it to be used. In signed mode it
// must still carry a signature by one of the keys (it passed every check
// when it arrived; expiry is not asked again, so that a player offline
// keeps playing); otherwise it counts as no catalog, with one
// standard-error line.
//
// The file is read once: in signed mode the entries come from the very
// bytes the signature was checked over, never from another reading.
//
// bases, when given, receives where the files may come from, read from
// the same bytes: url_prefix, then the catalog's MIRROR bases in order.
// With an https url_prefix only https mirrors are taken: a file must not
// lose https because its try moved on to a plain mirror. Each one skipped
// is named in one standard-error line.
struct DownloadBases;
CatalogEntry* update_catalog_load(const char* catalog_file, const char* data_folder,
                                  const char* url_prefix, DownloadBases* bases);

// The catalog in place's "LAUNCHER <platform>" record (catalog_find_launcher_in)
// under the same rules, from one reading of the file. 1 when found whole.
int update_find_launcher(const char* catalog_file, const char* platform, const char* url_prefix,
                         CatalogEntry* out);

// 1 when the entry's local file is the record's (size and CRC-32, and the
// SHA-256 in signed mode); otherwise 0 and the update flag set.
int update_entry_verify(CatalogEntry* entry);

// Every entry, with no early stop; 1 when the list is not empty and every
// entry matched.
int update_verify_all(CatalogEntry* head);

// ---- The settings -------------------------------------------------------

struct UpdateSettings;
struct HttpProxy;
struct RateLimit;

// Reads data_folder's settings file (settings_load) and puts its proxy (or
// the system's) and its rate limit on client; the records must outlive the
// client's transfers.
void update_apply_settings(HttpClient* client, const char* data_folder, UpdateSettings* settings,
                           HttpProxy proxies[2], RateLimit* rate_limit);

// The settings' proxy (or the system's) on client: proxies[0] for http://
// requests, proxies[1] for https:// ones (reached with CONNECT).
void update_use_proxies(HttpClient* client, const UpdateSettings* settings, HttpProxy proxies[2]);

// ---- The catalog --------------------------------------------------------

// Starts the catalog transfer into temporary_path with the catalog's limits
// (body size, silence, time). A start that fails leaves the client inactive, so
// the first poll reports the end.
void update_fetch_begin(HttpClient* client, const char* catalog_url, const char* temporary_path);

// After the transfer ended: a whole status-200 reply that reads as a catalog
// (and in signed mode passes the checks) replaces catalog_file in one step;
// anything else is removed and catalog_file left as it was. 1 when the new
// catalog is in place, 0 when the fetch failed. Once it is in place, the
// parts (catalog_part_path: the download, its sidecar, a patch's map) of
// files the catalog it replaced named and it does not are removed: nothing
// would ever resume them. Nothing else goes.
int update_fetch_end(const HttpClient* client, const char* temporary_path,
                     const char* catalog_file);

// ---- The downloads ------------------------------------------------------

// Where files come from: the server base first, then the catalog's MIRROR
// bases. A try that fails (no connection, an error status, bytes that do
// not verify) moves the file to the next base at once; the wait between
// tries comes after a whole round, and counts as one try.
constexpr int DOWNLOAD_BASES_MAX = 1 + CATALOG_MIRRORS_MAX;
struct DownloadBases {
    std::int32_t count;
    char base[DOWNLOAD_BASES_MAX][CATALOG_TEXT_SIZE];
};

enum DownloadStep : std::int32_t {
    DOWNLOAD_RUNNING = 0,    // call again (also while waiting before a retry)
    DOWNLOAD_DONE = 1,       // every flagged entry verified (or none was flagged)
    DOWNLOAD_GAVE_UP = 2,    // the current entry failed max_tries counted tries
    DOWNLOAD_UNWRITABLE = 3, // the current entry's file cannot be written or put in place
    // The data folder has no room for what is left to fetch (found before the
    // first request, or when a write failed for lack of space): nothing more
    // is asked for, the part that filled the disk is gone, space_missing
    // says how much more room is needed.
    DOWNLOAD_NO_SPACE = 4,
    // Every base answered the current entry's try with 404 or 410: the
    // catalog names objects that are gone, and a new one may be out. The
    // failed try is counted and its wait set as for any other: call again
    // to go on with this run.
    DOWNLOAD_CATALOG_STALE = 5,
};

// Room kept free beyond the files' bytes: each file's sidecar and its last
// block, a catalog.txt.new, and a little for the rest of the system.
constexpr std::int64_t DOWNLOAD_SPACE_MARGIN = 256 * 1024;
constexpr std::int64_t DOWNLOAD_SPACE_PER_FILE = 8 * 1024;

// The wait before a file's first retry and the longest wait: each retry
// of the same file waits twice as long as the one before, up to the
// longest, plus 0-20 % of it at random, so that a file that never verifies
// costs a server a request a minute, not thousands a second, and players
// whose tries failed together do not all come back together.
constexpr std::int64_t DOWNLOAD_FIRST_WAIT_MS = 1000;
constexpr std::int64_t DOWNLOAD_LONGEST_WAIT_MS = 60000;

struct DownloadRun {
    CatalogEntry* current;
    // Where the current entry's bytes go, its part (catalog_part_path:
    // "<local path>.partial", or a short name in the same folder), renamed
    // over the local path once it verified; and its sidecar "<part>.meta",
    // which says what record the part belongs to and the server's validator
    // for it, so that a try cut short (in this run or one that ended, however
    // it ended) asks only for the rest. The sidecar is written when a reply's
    // body starts, before the part grows.
    char target_path[CATALOG_TEXT_SIZE + 16];
    char meta_path[CATALOG_TEXT_SIZE + 16];
    // Bytes of the current entry already in its .partial when its try began.
    std::int64_t resumed_bytes;
    const char* data_directory;
    std::int32_t max_tries; // counted tries per entry; 0 for no limit
    // Counted tries of the current entry: each one that ended without the
    // file verifying, except one whose part grew and is kept for resume
    // (with its sidecar): the link works, if badly, and the file comes
    // closer. A cut that kept nothing, a server that starts again from the
    // first byte, a block map cut short, a mirror's cut all count, in the
    // game's download and the launcher's own alike.
    std::int32_t tries;
    // Whether the client's byte count belongs to the current entry: before
    // its first start the client still counts the catalog or the entry
    // before.
    std::int32_t counting_current;
    // The current entry's retries since its first try, or since its last try
    // that added bytes (which makes the next wait the first one again).
    std::int32_t retries;
    // While the current entry waits for its next try: when that try is due
    // (clock_monotonic_ms), else 0; and the reply status of the try that
    // failed (0 when none was read: refused, silent).
    std::int64_t retry_due_ms;
    std::int32_t failed_status;
    // DOWNLOAD_FIRST_WAIT_MS and DOWNLOAD_LONGEST_WAIT_MS from download_begin
    // (QUORVEL_RETRY_WAIT_MS in the environment sets the first wait: the
    // end-to-end tests shorten it); tests may change them.
    std::int64_t first_wait_ms;
    std::int64_t longest_wait_ms;
    // The current entry's patch, when the catalog gives it a block map.
    DownloadPatch patch;
    // Set by the caller after download_begin (null: the catalog's URLs
    // only), and the base the current entry is fetched from.
    const DownloadBases* bases;
    std::int32_t base_index;
    // Bytes the patches planned so far spare the network (each patched
    // file's size less what its patch fetches), and what the entry that has
    // just verified cost on the network: a progress display's total and
    // count follow the network, not the files' sizes.
    std::int64_t spared_bytes;
    std::int64_t finished_bytes;
    // Bytes more the data folder needs for the rest of the run, once a step
    // returned DOWNLOAD_NO_SPACE; and whether the room was looked at before
    // the first request.
    std::int64_t space_missing;
    std::int32_t space_checked;
    // Bases that answered the current entry's tries in this round with 404
    // or 410.
    std::int32_t gone_replies;
};

// Downloads go in list order; entries whose update flag is 0 are passed
// over. A body is never stored past its record's size + 1 bytes (it could
// not verify; an endless one must not fill the disk).
void download_begin(DownloadRun* run, HttpClient* client, CatalogEntry* list,
                    const char* data_folder, std::int32_t max_tries);

// What the flagged entries from entry on still write into the data folder:
// each file whole as its part while the old copy stays (a patch builds a
// whole part too), less what a part already holds (a part that resumes
// keeps those bytes, one that is discarded frees them), plus the margin.
std::int64_t download_space_needed(const CatalogEntry* entry);

// One pass: starts the current entry's transfer when none is under way and
// its retry is due, advances it by one poll, and verifies the file once the
// transfer ended. An entry that does not verify is fetched again after a
// wait; the wait does not block: the step returns DOWNLOAD_RUNNING at once
// until it is over (download_retry_in_ms tells how long it has left).
// *finished is the entry that has just verified, else null.
DownloadStep download_step(DownloadRun* run, HttpClient* client, CatalogEntry** finished);

// After DOWNLOAD_CATALOG_STALE and a new catalog fetch: the catalog in place
// (update_catalog_load) replaces *list and *bases when it no longer names
// the record gone (same URL name, size and CRC-32). 1 then (the caller
// starts a new run over *list); 0 when it still names it or cannot be read,
// and the run goes on with its wait.
int download_catalog_replaces(const char* catalog_file, const char* data_folder,
                              const char* url_prefix, const CatalogEntry* gone, CatalogEntry** list,
                              DownloadBases* bases);

// After a catalog fetch on the download's client: puts the downloads' limits
// back (no time limit, the silence limit).
void download_use_client(HttpClient* client);

// The URL of url_name (the entry's own, or its map's) at the base the
// current entry is fetched from. 1 when it fits in size bytes.
int download_url(const DownloadRun* run, const CatalogEntry* entry, const char* url_name, char* out,
                 int size);

// The current entry's bytes so far, what a resumed try found in place
// included (0 before its transfer started and while it waits for a retry);
// for a patch, the bytes it fetched (the blocks copied from the old copy
// cross no network).
std::int64_t download_transfer_bytes(const DownloadRun* run, const HttpClient* client);

// Milliseconds until the current entry's next try; 0 when none is waited for.
std::int64_t download_retry_in_ms(const DownloadRun* run);

// The wait before retry number retry (1 for the first) of one file:
// min(first_wait_ms * 2^(retry - 1), longest_wait_ms), plus random / 2^32
// of a fifth of it.
std::int64_t download_retry_wait_ms(const DownloadRun* run, std::int32_t retry,
                                    std::uint32_t random);
