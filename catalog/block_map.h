// Block maps: what a launcher holding an older copy of a file needs to fetch
// only the parts that changed, from the file's own URL with Range requests.
//
// The publisher cuts the new file into blocks of one size (the last one may
// be shorter) and writes, for each, a weak checksum that can be rolled one
// byte at a time and a strong one (the first 16 bytes of its SHA-256). The
// launcher runs the weak checksum over its old copy at every offset,
// confirms each candidate with the strong one, and so learns where in the
// old bytes every block it already has stands, shifted or not.
//
// The map's bytes, little-endian:
//   "QBLOCKS1"            8 bytes
//   file size             8
//   block size            4   a power of two
//   block count           4   the file size divided by the block size, rounded up
//   per block:  weak      4
//               strong   16
// A catalog names a file's map on a line after the record's own lines:
// "BLOCKS <map size> <map SHA-256> <map URL name>".
#pragma once

#include <cstdint>
#include <cstdio>

constexpr char BLOCK_MAP_SUFFIX[] = ".qblocks";
constexpr char BLOCK_MAP_MAGIC[] = "QBLOCKS1";
constexpr int BLOCK_MAP_HEADER_SIZE = 24;
constexpr int BLOCK_STRONG_SIZE = 16;
constexpr int BLOCK_RECORD_SIZE = 4 + BLOCK_STRONG_SIZE;

// What quorvelctl writes: maps for files of at least this size, blocks of
// 64 KiB or the smallest power of two that keeps a map within
// BLOCK_MAP_PUBLISHED_BLOCKS blocks (a 20 GiB file: 128 KiB blocks, a 5 MiB
// map: 0.03% of the file).
constexpr std::int64_t BLOCK_MAP_SMALLEST_FILE = 4LL << 20;
constexpr std::int32_t BLOCK_SIZE_DEFAULT = 64 * 1024;
constexpr std::int64_t BLOCK_MAP_PUBLISHED_BLOCKS = 1 << 18;

// What a launcher takes: a map past these is refused (and the file fetched
// whole), so that matching never holds more than about 30 MiB.
constexpr std::int32_t BLOCK_SIZE_MIN = 1024;
constexpr std::int32_t BLOCK_SIZE_MAX = 4 << 20;
constexpr std::int64_t BLOCK_MAP_BLOCKS_MAX = 1 << 19;
constexpr std::int64_t BLOCK_MAP_SIZE_MAX =
    BLOCK_MAP_HEADER_SIZE + BLOCK_MAP_BLOCKS_MAX * BLOCK_RECORD_SIZE;

// The most Range requests one patch makes: neighbouring missing blocks are
// one request, and the smallest gaps between requests are fetched too until
// no more than this many remain.
constexpr int BLOCK_SPANS_MAX = 64;

struct BlockMap {
    std::int64_t file_size;
    std::int32_t block_size;
    std::int32_t block_count;
    std::uint32_t* weak;  // block_count
    std::uint8_t* strong; // block_count * BLOCK_STRONG_SIZE
};

// The block size quorvelctl gives a file of file_size bytes.
std::int32_t block_size_for(std::int64_t file_size);

// The weak checksum of length bytes (the value rolled over the old file).
std::uint32_t block_weak(const std::uint8_t* bytes, std::int64_t length);

// The map of the file at path, in the form above, into a buffer the caller
// gives back with std::free. 1 on success; 0 when the file cannot be read
// whole or memory runs out.
int block_map_build(const char* path, std::uint8_t** bytes, std::int64_t* length);

// The map held in bytes, checked: the magic, a file size of expected_size,
// a power-of-two block size within the limits, the block count that size
// gives, and a length of exactly the header and its records. 0, nothing
// held and why in *problem when it is not one; 1 otherwise, and the caller
// gives it back with block_map_free.
int block_map_read(const std::uint8_t* bytes, std::int64_t length, std::int64_t expected_size,
                   BlockMap* map, const char** problem);
void block_map_free(BlockMap* map);

// The length of block index of the map (the last one may be short).
std::int64_t block_length(const BlockMap* map, std::int64_t index);

// ---- Matching an old file against a map ---------------------------------
//
// Done in steps, so that a window stays responsive: each step rolls over at
// most its budget of the old file's bytes, hashes at most about as many and
// walks a bounded number of chain links. Holds the map's index, a window of
// the old file (two blocks and a little, at least 4 MiB) and one offset per
// block: at most about 30 MiB for the largest map taken.
//
// A map can be made so that the weak checksum agrees where the strong one
// does not (the weak sum is linear: a block with any weak value is easy to
// make). The work such a map costs is bounded: a chain holds at most
// BLOCK_CHAIN_MOST distinct blocks, a block whose weak checksum agreed
// BLOCK_STRIKES_MOST times without its strong one is no longer looked for, a
// window inside a run of one byte value is hashed once for the whole run, a
// weak value found to name no block is remembered, and once the strong
// hashes that found nothing come to half the old file's bytes (and the
// share genuine collisions of a 32-bit sum take) the match ends with what
// it found. The blocks not looked for are fetched.
constexpr std::int32_t BLOCK_CHAIN_MOST = 16;
constexpr std::int32_t BLOCK_STRIKES_MOST = 16;
constexpr std::int32_t BLOCK_MISSES_HELD = 256;

struct BlockMatch {
    const BlockMap* map;
    std::FILE* old_file;
    std::int64_t old_size;
    // Where each block of the new file stands in the old one; -1 when it
    // was not found.
    std::int64_t* found;
    std::int64_t found_count;
    // Blocks with one weak checksum are chained from head (by the weak
    // value's top bits); blocks whose weak and strong checksums equal an
    // earlier block's hang from that block in same_as instead, so a file of
    // repeated blocks costs one comparison, not one per repeat. The filter
    // has a bit per value of filter_bits bits of the weak checksum (its low
    // filter_bits - 6 bits and its top 6).
    std::int32_t* head;
    std::int32_t* next;
    std::int32_t* same_as;
    std::uint64_t* filter;
    std::int32_t head_bits;
    std::int32_t filter_bits;
    // Per chained block: the times its weak checksum agreed and its strong
    // one did not.
    std::uint8_t* strikes;
    // Weak values known to name no chained block (value | 1 << 32; 0: none).
    std::uint64_t misses[BLOCK_MISSES_HELD];
    // A run of one byte value known in the old file, [run_from, run_to) of
    // run_byte, and the strong checksum of a whole block of run_byte
    // (run_strong_byte: the value it is for, -1 none).
    std::int64_t run_from;
    std::int64_t run_to;
    std::int32_t run_byte;
    std::int32_t run_strong_byte;
    std::uint8_t run_strong[BLOCK_STRONG_SIZE];
    // The work so far: strong hashes computed (those that found nothing
    // among them) and chain links walked; the most wasted hashes allowed.
    std::int64_t strong_hashes;
    std::int64_t wasted_hashes;
    std::int64_t links_walked;
    std::int64_t wasted_most;
    // Blocks left out of the index (a full chain, too many strikes), and
    // whether the match ended early for its wasted hashes.
    std::int32_t blocks_dropped;
    std::int32_t cut_short;
    // The old file's bytes from window_at on, window_length of them.
    std::uint8_t* window;
    std::int64_t window_capacity;
    std::int64_t window_at;
    std::int64_t window_length;
    // The offset looked at next, the weak checksum's two sums there when
    // rolling (rolling 0: to be computed afresh), and the block expected
    // there when the block before it was just found.
    std::int64_t at;
    std::uint32_t sum_a;
    std::uint32_t sum_b;
    std::int32_t rolling;
    std::int32_t expected;
    std::int32_t done;
    std::int32_t failed; // the old file could not be read, or no memory
};

// 1 when the matching could start (the old file opened, memory for the
// index); 0 otherwise, with nothing held.
int block_match_begin(BlockMatch* match, const BlockMap* map, const char* old_path);

// Reads about budget bytes of the old file further, hashing at most about
// budget bytes and walking at most about budget / 32 chain links. 1 while there is
// more to read; 0 once the whole file was looked at (or failed was set).
int block_match_step(BlockMatch* match, std::int64_t budget);

// Releases what the matching holds; found goes too.
void block_match_end(BlockMatch* match);

// ---- The requests -------------------------------------------------------

struct BlockSpan {
    std::int64_t from; // bytes [from, to) of the new file
    std::int64_t to;
};

// The spans to fetch: each run of blocks not found, with the smallest gaps
// between runs fetched as well until at most BLOCK_SPANS_MAX remain. Their
// count; the bytes they hold in *bytes.
int block_plan(const BlockMap* map, const std::int64_t* found, BlockSpan spans[BLOCK_SPANS_MAX],
               std::int64_t* bytes);
