#include "update/patch.h"

#include "crypto/crypto.h"
#include "net/http.h"
#include "platform/platform.h"
#include "update/update_core.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// How much of the old copy one pass reads while matching, and copies while
// building: a few milliseconds, so that a window stays responsive.
constexpr std::int64_t MATCH_STEP_BYTES = 16LL << 20;
constexpr std::int64_t COPY_STEP_BYTES = 8LL << 20;

// A patch that would fetch more than this share of the file fetches the
// file whole: one request, no copying.
constexpr std::int64_t PATCH_MOST_NUMERATOR = 3;
constexpr std::int64_t PATCH_MOST_DENOMINATOR = 4;

std::uint8_t copy_buffer[1 << 20];

double mib(std::int64_t bytes)
{
    return static_cast<double>(bytes) / 1048576.0;
}

void fall_back(const CatalogEntry* entry, const char* why)
{
    std::fprintf(stderr, "patch %s: %s; fetching the whole file\n", entry->file_name, why);
}

// The sidecar of a patch's part: the record and the map the part was built
// by, so that a later run resumes only a part of this very patch.
int patch_meta_text(const CatalogEntry* entry, char* out, int size)
{
    char digest[2 * SHA256_SIZE + 1] = "-";
    char blocks[2 * SHA256_SIZE + 1];
    if (entry->has_sha256) {
        hex_encode(entry->sha256, SHA256_SIZE, digest);
    }
    hex_encode(entry->blocks_sha256, SHA256_SIZE, blocks);
    const int n = std::snprintf(
        out, static_cast<std::size_t>(size), "size %lld\ncrc %08X\nsha256 %s\nblocks %s\n",
        static_cast<long long>(entry->size), static_cast<unsigned int>(entry->crc), digest, blocks);
    return n > 0 && n < size ? n : 0;
}

int file_is_text(const char* path, const char* text, int length)
{
    char read[400];
    std::FILE* file = fs_is_file(path) ? std::fopen(path, "rb") : nullptr;
    if (file == nullptr) {
        return 0;
    }
    const std::size_t got = std::fread(read, 1, sizeof read, file);
    std::fclose(file);
    return got == static_cast<std::size_t>(length) &&
           std::memcmp(read, text, static_cast<std::size_t>(length)) == 0;
}

// The map file, checked against the catalog's line (its size and SHA-256)
// and read; the map is kept in patch->map. Null when it is good, else why
// not.
const char* load_map(DownloadPatch* patch, const CatalogEntry* entry)
{
    char* bytes = nullptr;
    std::int64_t length = 0;
    if (fs_file_size(patch->map_path) != entry->blocks_size ||
        !catalog_text_read(patch->map_path, &bytes, &length) || length != entry->blocks_size) {
        std::free(bytes);
        return "map of another size than the catalog says";
    }
    std::uint8_t digest[SHA256_SIZE];
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes);
    const char* problem = nullptr;
    if (!sha256_digest(data, static_cast<std::size_t>(length), digest) ||
        std::memcmp(digest, entry->blocks_sha256, SHA256_SIZE) != 0) {
        problem = "map's SHA-256 is not the catalog's";
    } else if (!block_map_read(data, length, entry->size, &patch->map, &problem)) {
        // problem says why
    }
    std::free(bytes);
    return problem;
}

std::int64_t spans_below(const DownloadPatch* patch, std::int64_t offset)
{
    std::int64_t bytes = 0;
    for (int i = 0; i < patch->span_count; ++i) {
        const BlockSpan& span = patch->spans[i];
        const std::int64_t end = span.to < offset ? span.to : offset;
        bytes += end > span.from ? end - span.from : 0;
    }
    return bytes;
}

// Copies the old copy's blocks for the part's bytes [built, until) (at
// most COPY_STEP_BYTES of them). 1 on success; 0 when the old copy could
// not be read, -1 when the part could not be written.
int copy_blocks(DownloadPatch* patch, const DownloadRun* run, const CatalogEntry* entry,
                std::int64_t until)
{
    if (until > patch->built + COPY_STEP_BYTES) {
        until = patch->built + COPY_STEP_BYTES;
    }
    std::FILE* old_copy = std::fopen(entry->local_path, "rb");
    std::FILE* part = fs_open_append(run->target_path);
    int result = old_copy != nullptr ? 1 : 0;
    if (part == nullptr) {
        result = -1;
    }
    const std::int64_t block = patch->map.block_size;
    while (result == 1 && patch->built < until) {
        const std::int64_t index = patch->built / block;
        const std::int64_t within = patch->built - index * block;
        std::int64_t length = block_length(&patch->map, index) - within;
        length = length < until - patch->built ? length : until - patch->built;
        length = length < static_cast<std::int64_t>(sizeof copy_buffer)
                     ? length
                     : static_cast<std::int64_t>(sizeof copy_buffer);
        const auto count = static_cast<std::size_t>(length);
        if (patch->found[index] < 0 || !fs_seek(old_copy, patch->found[index] + within) ||
            std::fread(copy_buffer, 1, count, old_copy) != count) {
            result = 0;
        } else if (std::fwrite(copy_buffer, 1, count, part) != count) {
            result = -1;
        } else {
            patch->built += length;
        }
    }
    if (old_copy != nullptr) {
        std::fclose(old_copy);
    }
    if (part != nullptr && std::fclose(part) != 0) {
        result = -1;
    }
    return result;
}

// After the match: the spans to fetch, and the part made ready (a part this
// very patch left is resumed; anything else starts empty). 0 to fall back.
int plan_build(DownloadPatch* patch, DownloadRun* run, const CatalogEntry* entry)
{
    patch->found = patch->match.found;
    patch->match.found = nullptr;
    block_match_end(&patch->match);
    std::int64_t span_bytes = 0;
    patch->span_count = block_plan(&patch->map, patch->found, patch->spans, &span_bytes);
    if (patch->span_count < 0) {
        fall_back(entry, "out of memory");
        return 0;
    }
    if (span_bytes > entry->size / PATCH_MOST_DENOMINATOR * PATCH_MOST_NUMERATOR) {
        fall_back(entry, "the old copy holds too little of it");
        return 0;
    }
    patch->fetch_bytes = patch->map_bytes_fetched + span_bytes;
    std::fprintf(stderr, "patch %s: %.2f MiB of %.2f MiB to fetch (%d ranges)\n", entry->file_name,
                 mib(patch->fetch_bytes), mib(entry->size), static_cast<int>(patch->span_count));
    char meta[400];
    const int meta_length = patch_meta_text(entry, meta, sizeof meta);
    const std::int64_t have = fs_file_size(run->target_path);
    if (meta_length > 0 && have > 0 && have < entry->size &&
        file_is_text(run->meta_path, meta, meta_length)) {
        patch->built = have;
        return 1;
    }
    std::FILE* part = std::fopen(run->target_path, "wb");
    std::FILE* sidecar = part != nullptr ? std::fopen(run->meta_path, "wb") : nullptr;
    int good = sidecar != nullptr && meta_length > 0 &&
               std::fwrite(meta, 1, static_cast<std::size_t>(meta_length), sidecar) ==
                   static_cast<std::size_t>(meta_length);
    good &= part != nullptr && std::fclose(part) == 0;
    good &= sidecar != nullptr && std::fclose(sidecar) == 0;
    patch->built = 0;
    return good ? 1 : -1;
}

// The next step of building the part: a span's transfer, or blocks copied.
PatchStep build(DownloadPatch* patch, DownloadRun* run, HttpClient* client,
                const CatalogEntry* entry)
{
    if (patch->transfer_running) {
        if (http_poll(client)) {
            return PATCH_GOING;
        }
        patch->transfer_running = 0;
        if (client->reply_status == 200) {
            // A server that ignores ranges sent the whole file in its place.
            if (client->status_code == 200) {
                patch->fetch_bytes = entry->size;
                return PATCH_BUILT;
            }
            std::remove(run->target_path);
            fall_back(entry, "the server ignores ranges");
            return PATCH_WHOLE;
        }
        // Any 206 that is not exactly the span (wider, multipart, a length
        // that disagrees with its range, more bytes than it) will not be
        // one on the next request either.
        if (client->failure == HTTP_FAILED_RANGE ||
            (client->reply_status == 206 && client->failure == HTTP_FAILED_TOO_LARGE)) {
            fall_back(entry, "the server answered another range");
            return PATCH_WHOLE;
        }
        patch->built = fs_file_size(run->target_path);
        if (client->status_code != 206 || patch->built < client->range_to) {
            // What arrived of the span stays; a reply that brought less
            // than the span (or nothing) is a failed try like any other,
            // so the next one waits.
            return PATCH_TRY_FAILED;
        }
    }
    if (patch->built < 0 || patch->built > entry->size) {
        fall_back(entry, "the part is not the patch's");
        return PATCH_WHOLE;
    }
    if (patch->built == entry->size) {
        return PATCH_BUILT;
    }
    const BlockSpan* next = nullptr;
    for (int i = 0; i < patch->span_count && next == nullptr; ++i) {
        next = patch->spans[i].to > patch->built ? &patch->spans[i] : nullptr;
    }
    if (next != nullptr && patch->built >= next->from) {
        client->body_limit = next->to - patch->built;
        char url[CATALOG_TEXT_SIZE];
        if (!download_url(run, entry, entry->url_name, url, sizeof url) ||
            !http_get_span_to_file(client, url, run->target_path, patch->built, next->to, "",
                                   entry->size)) {
            return client->failure == HTTP_FAILED_FILE ? PATCH_UNWRITABLE : PATCH_TRY_FAILED;
        }
        patch->transfer_running = 1;
        return PATCH_GOING;
    }
    const int copied = copy_blocks(patch, run, entry, next != nullptr ? next->from : entry->size);
    if (copied == 0) {
        fall_back(entry, "the old copy cannot be read");
        return PATCH_WHOLE;
    }
    return copied < 0 ? PATCH_UNWRITABLE : PATCH_GOING;
}

} // namespace

int patch_begin(DownloadRun* run, HttpClient* client, CatalogEntry* entry)
{
    DownloadPatch* patch = &run->patch;
    char map_url[CATALOG_TEXT_SIZE];
    if (!entry->has_blocks || patch->whole_only || fs_file_size(entry->local_path) <= 0 ||
        !download_url(run, entry, entry->blocks_name, map_url, sizeof map_url)) {
        return 0;
    }
    const int fits = std::snprintf(patch->map_path, sizeof patch->map_path, "%s%s",
                                   run->target_path, BLOCK_MAP_SUFFIX);
    if (fits <= 0 || fits >= static_cast<int>(sizeof patch->map_path)) {
        return 0;
    }
    patch->map_bytes_fetched = 0;
    // A map a patch that was cut short left is used again when it is still
    // the catalog's.
    if (fs_file_size(patch->map_path) == entry->blocks_size && load_map(patch, entry) == nullptr) {
        if (!block_match_begin(&patch->match, &patch->map, entry->local_path)) {
            patch_end(patch, 1);
            return 0;
        }
        patch->stage = PATCH_MATCH;
        return 1;
    }
    client->body_limit = entry->blocks_size + 1;
    if (!http_get_to_file(client, map_url, patch->map_path)) {
        return 0;
    }
    patch->transfer_running = 1;
    patch->stage = PATCH_MAP;
    return 1;
}

PatchStep patch_step(DownloadRun* run, HttpClient* client, CatalogEntry* entry)
{
    DownloadPatch* patch = &run->patch;
    switch (patch->stage) {
    case PATCH_MAP: {
        if (http_poll(client)) {
            return PATCH_GOING;
        }
        patch->transfer_running = 0;
        patch->map_bytes_fetched = client->body_bytes;
        const int cut = client->reply_status == 200 && client->status_code != 200 &&
                        client->failure != HTTP_FAILED_TOO_LARGE;
        if (client->reply_status == 0 || cut) {
            // No answer (refused, silent), or the map cut short: the link,
            // not the map, failed; the patch starts again after the wait.
            patch_end(patch, 1);
            return PATCH_TRY_FAILED;
        }
        if (client->status_code != 200) {
            fall_back(entry, "no block map from the server");
            return PATCH_WHOLE;
        }
        const char* problem = load_map(patch, entry);
        if (problem == nullptr &&
            !block_match_begin(&patch->match, &patch->map, entry->local_path)) {
            problem = "the old copy cannot be read";
        }
        if (problem != nullptr) {
            fall_back(entry, problem);
            return PATCH_WHOLE;
        }
        patch->stage = PATCH_MATCH;
        return PATCH_GOING;
    }
    case PATCH_MATCH: {
        if (block_match_step(&patch->match, MATCH_STEP_BYTES)) {
            return PATCH_GOING;
        }
        if (patch->match.failed) {
            fall_back(entry, "the old copy cannot be read");
            return PATCH_WHOLE;
        }
        if (patch->match.cut_short || patch->match.blocks_dropped > 0) {
            std::fprintf(stderr,
                         "patch %s: the map's weak sums agree too often where its strong ones do "
                         "not; %d blocks not looked for%s\n",
                         entry->file_name, static_cast<int>(patch->match.blocks_dropped),
                         patch->match.cut_short ? ", the match stopped early" : "");
        }
        const int planned = plan_build(patch, run, entry);
        if (planned < 0) {
            return PATCH_UNWRITABLE;
        }
        if (planned == 0) {
            return PATCH_WHOLE;
        }
        patch->stage = PATCH_BUILD;
        return PATCH_GOING;
    }
    case PATCH_BUILD: return build(patch, run, client, entry);
    default: return PATCH_WHOLE;
    }
}

void patch_end(DownloadPatch* patch, int discard_map)
{
    block_match_end(&patch->match);
    block_map_free(&patch->map);
    std::free(patch->found);
    if (discard_map && patch->map_path[0] != '\0') {
        std::remove(patch->map_path);
    }
    const std::int32_t whole_only = patch->whole_only;
    *patch = {};
    patch->whole_only = whole_only;
}

std::int64_t patch_network_bytes(const DownloadPatch* patch, const HttpClient* client)
{
    const std::int64_t running = patch->transfer_running ? client->body_bytes : 0;
    return patch->map_bytes_fetched + spans_below(patch, patch->built) + running;
}
