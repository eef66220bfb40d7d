// quorvel_match_time OLD MAP [--step BYTES]
//
// Times the rolling match alone: the old copy OLD against the published
// block map MAP (a NAME.qblocks written by quorvelctl catalog --blocks), in
// steps of 16 MiB as the launcher takes them. The map is read before the
// clock starts; the index, the reads of OLD and the rolling are timed. One
// line on standard output:
//   match SECONDS s, OLD_BYTES bytes, FOUND of COUNT blocks found, longest step MS ms
// (the longest step is how long a window would wait between its pumps).
// For scripts/bench delta, which reads OLD just before (to have it in the
// page cache) and compares with cat. Plain C++ with no benchmark library,
// so the Windows build has it too.
#include "catalog/block_map.h"
#include "platform/platform.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The whole file at path into a buffer the caller frees; null when it
// cannot be read.
std::uint8_t* read_whole(const char* path, std::int64_t* length)
{
    *length = fs_file_size(path);
    std::FILE* file = *length > 0 ? std::fopen(path, "rb") : nullptr;
    if (file == nullptr) {
        return nullptr;
    }
    auto* bytes = static_cast<std::uint8_t*>(std::malloc(static_cast<std::size_t>(*length)));
    const int good = bytes != nullptr && std::fread(bytes, 1, static_cast<std::size_t>(*length),
                                                    file) == static_cast<std::size_t>(*length);
    std::fclose(file);
    if (!good) {
        std::free(bytes);
        return nullptr;
    }
    return bytes;
}

} // namespace

int main(int argc, char** argv)
{
    std::int64_t step = 16LL << 20;
    if (argc == 5 && std::strcmp(argv[3], "--step") == 0) {
        step = std::strtoll(argv[4], nullptr, 10);
    } else if (argc != 3) {
        std::fprintf(stderr, "usage: quorvel_match_time OLD MAP [--step BYTES]\n");
        return 2;
    }
    std::int64_t length = 0;
    std::uint8_t* bytes = read_whole(argv[2], &length);
    if (bytes == nullptr || length < BLOCK_MAP_HEADER_SIZE) {
        std::fprintf(stderr, "quorvel_match_time: cannot read the map %s\n", argv[2]);
        std::free(bytes);
        return 2;
    }
    // The map names the new file's size; it is taken as it stands.
    std::int64_t new_size = 0;
    for (int i = 7; i >= 0; --i) {
        new_size = new_size << 8 | bytes[8 + i];
    }
    BlockMap map;
    const char* problem = nullptr;
    if (!block_map_read(bytes, length, new_size, &map, &problem)) {
        std::fprintf(stderr, "quorvel_match_time: %s: %s\n", argv[2], problem);
        std::free(bytes);
        return 2;
    }
    std::free(bytes);
    const auto start = std::chrono::steady_clock::now();
    BlockMatch match;
    if (!block_match_begin(&match, &map, argv[1])) {
        std::fprintf(stderr, "quorvel_match_time: cannot match %s\n", argv[1]);
        block_map_free(&map);
        return 2;
    }
    double longest = 0;
    for (int more = 1; more;) {
        const auto step_start = std::chrono::steady_clock::now();
        more = block_match_step(&match, step);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - step_start;
        longest = took.count() > longest ? took.count() : longest;
    }
    const int failed = match.failed;
    const std::int64_t found = match.found_count;
    const std::int64_t old_size = match.old_size;
    block_match_end(&match);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (failed) {
        std::fprintf(stderr, "quorvel_match_time: %s could not be read\n", argv[1]);
        block_map_free(&map);
        return 1;
    }
    std::printf("match %.6f s, %lld bytes, %lld of %d blocks found, longest step %.1f ms\n",
                took.count(), static_cast<long long>(old_size), static_cast<long long>(found),
                static_cast<int>(map.block_count), longest * 1000);
    block_map_free(&map);
    return 0;
}
