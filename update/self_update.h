// The launcher replacing itself with the version a catalog's
// "LAUNCHER <platform>" record names: the window-free steps. The caller
// downloads the record (its local path is "<own path>.new") between plan
// and swap, then starts the new launcher and ends.
#pragma once

#include "catalog/catalog.h"

#include <cstdint>

enum SelfUpdatePlan : std::int32_t {
    SELF_UPDATE_NONE = 0,  // no record for this platform, or this launcher is it
    SELF_UPDATE_FETCH = 1, // download the record, then swap
    SELF_UPDATE_SKIP = 2,  // the record differs but cannot be taken: reason says why
};

struct SelfUpdate {
    CatalogEntry record;
    char own_path[CATALOG_TEXT_SIZE];
    char folder[CATALOG_TEXT_SIZE];
    char old_path[CATALOG_TEXT_SIZE + 8];
    const char* reason;
};

// Compares the running launcher's own file with this platform's record in
// catalog_file. A launcher started by a self-update never fetches again
// (a record that does not describe what it serves would loop), nor does
// one whose folder cannot be written (installed for all users).
SelfUpdatePlan self_update_plan(SelfUpdate* update, const char* catalog_file,
                                const char* url_prefix);

// After the record verified at "<own path>.new": puts it in the running
// launcher's place. 1 when it stands there; 0 when the old one is kept (the
// new file is removed).
int self_update_swap(SelfUpdate* update);

// Removes "<own path>.old" that a swap left; one still held open (the old
// process, a virus scanner) stays for a later start.
void self_update_remove_old();
