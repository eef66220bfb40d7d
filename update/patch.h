// Patching: a download that takes the blocks it can from the old copy of a
// file and fetches only the rest, when the catalog names a block map for
// it. The result goes to "<local path>.partial", front to back, so a patch
// cut short resumes like any download, and is verified whole before it
// takes the old copy's place. Anything that goes wrong (no map, a map that
// lies, a server that ignores ranges, a result that does not verify) falls
// back to fetching the whole file.
#pragma once

#include "catalog/block_map.h"
#include "catalog/catalog.h"

#include <cstdint>

struct DownloadRun;
struct HttpClient;

enum PatchStage : std::int32_t {
    PATCH_NONE = 0,  // no patch: the entry downloads whole
    PATCH_MAP = 1,   // the block map is being fetched
    PATCH_MATCH = 2, // the old copy is being read for the blocks it holds
    PATCH_BUILD = 3, // the part is written: blocks copied, spans fetched
};

enum PatchStep : std::int32_t {
    PATCH_GOING = 0,      // call again
    PATCH_BUILT = 1,      // the part holds the whole file: verify it
    PATCH_WHOLE = 2,      // fall back: the entry downloads whole from now on
    PATCH_TRY_FAILED = 3, // a transfer failed: wait as for any failed try, then go on
    PATCH_UNWRITABLE = 4, // the part cannot be written
};

// The patch of the current entry. Its map is kept beside the part as
// "<local path>.partial.qblocks" until the entry is done, so a patch that
// resumes does not fetch it again.
struct DownloadPatch {
    PatchStage stage;
    // Set once the entry fell back to the whole file, for the rest of this run.
    std::int32_t whole_only;
    char map_path[CATALOG_TEXT_SIZE + 24];
    BlockMap map;
    BlockMatch match;
    // Where each block stands in the old copy (-1: to fetch), from the match.
    std::int64_t* found;
    BlockSpan spans[BLOCK_SPANS_MAX];
    std::int32_t span_count;
    // Bytes of the part written so far; the part's size when a span's
    // transfer began, while one runs.
    std::int64_t built;
    // What the patch costs on the network (the map and the spans), and what
    // of that is done: the map when it was fetched, the spans below built.
    std::int64_t fetch_bytes;
    std::int64_t map_bytes_fetched;
    std::int32_t transfer_running;
    // What this patch spares the network, as counted in the run's total.
    std::int64_t spared;
};

// Begins a patch of entry (run's current entry, its paths set) when the
// catalog gives it a map and an old copy stands at its local path. 1 when
// the patch has begun (or resumed a part it left); 0 to download whole.
int patch_begin(DownloadRun* run, HttpClient* client, CatalogEntry* entry);

// One pass of the patch under way.
PatchStep patch_step(DownloadRun* run, HttpClient* client, CatalogEntry* entry);

// Gives back what the patch holds; the map file goes too when discard_map.
void patch_end(DownloadPatch* patch, int discard_map);

// The network bytes of the patch so far (the transfer running included).
std::int64_t patch_network_bytes(const DownloadPatch* patch, const HttpClient* client);
