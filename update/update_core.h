// The update rules without a window: the catalog fetch and its acceptance,
// and the download of every flagged entry, as steps a caller drives. The
// launcher pumps its window between steps; quorvelctl sync waits on the
// socket. Both get the same rules from here.
#pragma once

#include "catalog/catalog.h"
#include "net/http.h"

#include <cstdint>

// ---- The catalog --------------------------------------------------------

// Starts the catalog transfer into temporary_path with the catalog's limits
// (body size, silence). A start that fails leaves the client inactive, so
// the first poll reports the end.
void update_fetch_begin(HttpClient* client, const char* catalog_url, const char* temporary_path);

// After the transfer ended: a whole status-200 reply that reads as a catalog
// replaces catalog_file in one step; anything else is removed and
// catalog_file left as it was. 1 when the fetch failed.
int update_fetch_end(const HttpClient* client, const char* temporary_path,
                     const char* catalog_file);

// ---- The downloads ------------------------------------------------------

enum DownloadStep : std::int32_t {
    DOWNLOAD_RUNNING = 0,    // call again
    DOWNLOAD_DONE = 1,       // every flagged entry verified (or none was flagged)
    DOWNLOAD_GAVE_UP = 2,    // the current entry failed max_tries times
    DOWNLOAD_UNWRITABLE = 3, // the current entry's file cannot be opened: no request made
};

struct DownloadRun {
    CatalogEntry* current;
    const char* data_directory;
    std::int32_t max_tries; // tries per entry; 0 for no limit
    std::int32_t tries;     // of the current entry
    // Whether the client's byte count belongs to the current entry: before
    // its first start the client still counts the catalog or the entry
    // before.
    std::int32_t counting_current;
};

// Downloads go in list order; entries whose update flag is 0 are passed
// over. The client's limits are set for game files.
void download_begin(DownloadRun* run, HttpClient* client, CatalogEntry* list,
                    const char* data_folder, std::int32_t max_tries);

// One pass: starts the current entry's transfer when none is under way,
// advances it by one poll, and verifies the file once the transfer ended.
// An entry that does not verify is fetched again. *finished is the entry
// that has just verified, else null.
DownloadStep download_step(DownloadRun* run, HttpClient* client, CatalogEntry** finished);

// The current entry's bytes so far (0 before its transfer started).
std::int64_t download_transfer_bytes(const DownloadRun* run, const HttpClient* client);
