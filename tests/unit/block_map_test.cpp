// Block maps: the map's bytes, the rolling match of an old copy against a
// map, and the requests planned for the blocks the old copy lacks.
#include "catalog/block_map.h"
#include "crypto/crypto.h"
#include "tests/support/test_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::int64_t B = 1024; // the smallest block size a launcher takes

std::string random_bytes(std::size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string out(n, '\0');
    for (char& c : out) {
        c = static_cast<char>(rng());
    }
    return out;
}

const std::uint8_t* u8(const std::string& s)
{
    return reinterpret_cast<const std::uint8_t*>(s.data());
}

void put_le(std::string& out, std::uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i) {
        out += static_cast<char>(value >> (8 * i));
    }
}

std::uint64_t get_le(const std::string& in, std::size_t at)
{
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = value << 8 | static_cast<std::uint8_t>(in[at + static_cast<std::size_t>(i)]);
    }
    return value;
}

std::string map_header(const char* magic, std::uint64_t size, std::uint32_t block,
                       std::uint32_t count)
{
    std::string out(magic, 8);
    put_le(out, size, 8);
    put_le(out, block, 4);
    put_le(out, count, 4);
    return out;
}

// A map of data in the published form, written here from the format alone.
std::string map_of(const std::string& data, std::int64_t block)
{
    const std::int64_t size = static_cast<std::int64_t>(data.size());
    const std::int64_t count = (size + block - 1) / block;
    std::string out =
        map_header(BLOCK_MAP_MAGIC, static_cast<std::uint64_t>(size),
                   static_cast<std::uint32_t>(block), static_cast<std::uint32_t>(count));
    for (std::int64_t i = 0; i < count; ++i) {
        const std::int64_t length = std::min(block, size - i * block);
        put_le(out, block_weak(u8(data) + i * block, length), 4);
        std::uint8_t digest[SHA256_SIZE];
        EXPECT_EQ(sha256_digest(u8(data) + i * block, static_cast<std::size_t>(length), digest), 1);
        out.append(reinterpret_cast<const char*>(digest), BLOCK_STRONG_SIZE);
    }
    return out;
}

TEST(BlockMap, BuiltMapReadsBackWithEveryBlock)
{
    const std::string dir = make_scratch_dir();
    // block_size_for gives both the smallest published size, 64 KiB.
    for (const std::size_t size : {std::size_t{3} * 65536 + 1234, std::size_t{2} * 65536}) {
        SCOPED_TRACE(size);
        const std::string data = random_bytes(size, static_cast<unsigned>(size));
        write_file(dir + "/f.bin", data);
        std::uint8_t* bytes = nullptr;
        std::int64_t length = 0;
        ASSERT_EQ(block_map_build((dir + "/f.bin").c_str(), &bytes, &length), 1);
        const std::string built(reinterpret_cast<char*>(bytes), static_cast<std::size_t>(length));
        std::free(bytes);
        EXPECT_EQ(built, map_of(data, BLOCK_SIZE_DEFAULT));
        BlockMap map;
        const char* problem = nullptr;
        ASSERT_EQ(block_map_read(u8(built), length, std::int64_t(size), &map, &problem), 1);
        EXPECT_EQ(map.file_size, std::int64_t(size));
        EXPECT_EQ(map.block_size, BLOCK_SIZE_DEFAULT);
        EXPECT_EQ(map.block_count, std::int32_t((size + 65535) / 65536));
        for (std::int32_t i = 0; i < map.block_count; ++i) {
            EXPECT_EQ(map.weak[i], block_weak(u8(data) + i * 65536, block_length(&map, i))) << i;
        }
        block_map_free(&map);
    }
}

// Each case: the old copy, the new file (1 KiB blocks), where each new
// block stands in the old copy (-1: to fetch) and the bytes then fetched.
TEST(BlockMap, MatchFindsEveryBlockTheOldCopyHolds)
{
    const std::string dir = make_scratch_dir();
    const std::string r = random_bytes(4 * B + 100, 1);
    const std::string junk = random_bytes(6 << 20, 2);
    const std::string x = random_bytes(B, 3);
    const std::string y = random_bytes(B, 4);
    std::string changed = r;
    changed[2 * B + 5] ^= 0x40;
    const std::string r3 = r.substr(0, 3 * B + 100);
    const std::int64_t far = (5 << 20) + 77;
    using V = std::vector<std::int64_t>;
    const struct {
        const char* name;
        std::string old_bytes;
        std::string new_bytes;
        V found; // empty: no old copy to match
        std::int64_t planned;
    } cases[] = {
        {"identical", r, r, {0, B, 2 * B, 3 * B, 4 * B}, 0},
        {"one block changed in place", r, changed, {0, B, -1, 3 * B, 4 * B}, B},
        {"7 bytes inserted near the start", r, r.substr(0, 10) + "1234567" + r.substr(10),
         V{-1, B - 7, 2 * B - 7, 3 * B - 7, 4 * B - 7}, B},
        {"50 bytes deleted", r, r.substr(0, B + 3) + r.substr(B + 53),
         V{0, -1, 2 * B + 50, 3 * B + 50, 4 * B + 50}, B},
        {"one block 7 times, another once", y + x, x + x + x + x + x + x + y + x,
         V{B, B, B, B, B, B, 0, B}, 0},
        {"old copy cut short", r.substr(0, 2 * B + 300), r, {0, B, -1, -1, -1}, 2 * B + 100},
        {"short last block at the old copy's end only",
         junk.substr(0, B / 2) + r.substr(B, B) + junk.substr(B, 300) + r.substr(3 * B, 100), r3,
         V{-1, B / 2, -1, B / 2 + B + 300}, 2 * B},
        {"short last block right after the one before",
         r.substr(2 * B, B + 100) + junk.substr(0, B), r3, V{-1, -1, 0, B}, 2 * B},
        {"a block at the old copy's last offset", junk.substr(0, 300) + r.substr(0, B),
         r.substr(0, B), V{300}, 0},
        {"blocks past the first window", junk.substr(0, far) + r.substr(0, 2 * B),
         r.substr(0, 2 * B), V{far, far + B}, 0},
        {"an empty old copy", "", r, {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string map_bytes = map_of(c.new_bytes, B);
        BlockMap map;
        const char* problem = nullptr;
        ASSERT_EQ(block_map_read(u8(map_bytes), std::int64_t(map_bytes.size()),
                                 std::int64_t(c.new_bytes.size()), &map, &problem),
                  1);
        write_file(dir + "/old.bin", c.old_bytes);
        if (c.found.empty()) { // empty, absent, a folder: nothing to match against
            for (const std::string& old : {dir + "/old.bin", dir + "/absent.bin", dir}) {
                BlockMatch match;
                EXPECT_EQ(block_match_begin(&match, &map, old.c_str()), 0) << old;
                EXPECT_EQ(match.found, nullptr);
            }
        }
        // In one pass and in passes of a few hundred bytes, one result.
        for (const std::int64_t budget : {std::int64_t{1} << 40, std::int64_t{333}}) {
            BlockMatch match;
            if (c.found.empty()) {
                break;
            }
            ASSERT_EQ(block_match_begin(&match, &map, (dir + "/old.bin").c_str()), 1);
            for (int passes = 0; block_match_step(&match, budget) && passes < 100000; ++passes) {
            }
            EXPECT_EQ(match.failed, 0);
            EXPECT_EQ(V(match.found, match.found + map.block_count), c.found) << budget;
            for (std::int32_t i = 0; i < map.block_count; ++i) {
                const auto n = static_cast<std::size_t>(block_length(&map, i));
                if (match.found[i] >= 0) {
                    EXPECT_EQ(c.old_bytes.substr(std::size_t(match.found[i]), n),
                              c.new_bytes.substr(std::size_t(i * B), n))
                        << i;
                }
            }
            BlockSpan spans[BLOCK_SPANS_MAX];
            std::int64_t planned = -1;
            EXPECT_GE(block_plan(&map, match.found, spans, &planned), 0);
            EXPECT_EQ(planned, c.planned) << budget;
            block_match_end(&match);
        }
        block_map_free(&map);
    }
}

// A map's bytes with the given weak checksums and random strong ones.
std::string map_of_weak(const std::vector<std::uint32_t>& weak, std::int64_t block)
{
    const auto count = static_cast<std::uint32_t>(weak.size());
    std::string out =
        map_header(BLOCK_MAP_MAGIC, std::uint64_t{count} * static_cast<std::uint64_t>(block),
                   static_cast<std::uint32_t>(block), count);
    const std::string strong = random_bytes(std::size_t{count} * BLOCK_STRONG_SIZE, 77);
    for (std::uint32_t i = 0; i < count; ++i) {
        put_le(out, weak[i], 4);
        out.append(strong, std::size_t{i} * BLOCK_STRONG_SIZE, BLOCK_STRONG_SIZE);
    }
    return out;
}

// Maps made so that the weak checksum agrees where the strong one does not,
// and genuine files of one repeated block: the work of the match (strong
// hashes computed, chain links walked) stays bounded, in every step and in
// all, and what a genuine old copy holds is still found.
TEST(BlockMap, HostileMapsCostBoundedWork)
{
    const std::string dir = make_scratch_dir();
    const std::string zeros(B, '\0');
    const std::uint32_t zero_weak = block_weak(u8(zeros), B);
    const std::string r = random_bytes(64 * B, 5);
    // r's map, its block 10 given the weak checksum of a block of zeros.
    std::string crafted = map_of(r, B);
    const std::size_t at = BLOCK_MAP_HEADER_SIZE + 10 * BLOCK_RECORD_SIZE;
    crafted.replace(at, 4, map_of(zeros, B).substr(BLOCK_MAP_HEADER_SIZE, 4));
    const std::string old_random = random_bytes(256 * B, 6);
    std::vector<std::uint32_t> offsets_weak; // the weak sum at each of old_random's offsets
    for (std::int64_t i = 0; i < 16384; ++i) {
        offsets_weak.push_back(block_weak(u8(old_random) + i, B));
    }
    std::string pattern;
    while (pattern.size() < std::size_t{256} * B + 3) {
        pattern += "RGBA";
    }
    std::vector<std::uint32_t> phases;
    for (int i = 0; i < 4; ++i) {
        phases.push_back(block_weak(u8(pattern) + i, B));
    }
    const std::int64_t most = BLOCK_MAP_BLOCKS_MAX;
    const struct {
        const char* name;
        std::string old_bytes;
        std::string map_bytes;
        std::int64_t found;       // blocks found
        std::int64_t hashes_most; // strong hashes at the most
        std::int64_t links_most;  // chain links walked at the most
        // Blocks left out of the index or struck out, at the least and the
        // most (a run skipped in one step strikes once).
        std::int64_t dropped[2];
        std::int32_t cut_short;
    } cases[] = {
        {"a crafted block over 1 MiB of zeros",
         r.substr(0, 32 * B) + std::string(1 << 20, '\0') + r.substr(32 * B),
         crafted,
         64,
         64 + 4,
         64 * 4 + BLOCK_STRIKES_MOST * 4,
         {0, 1},
         0},
        {"1,000 blocks of zeros",
         std::string(1000 * B + 5, '\0'),
         map_of(std::string(1000 * B, '\0'), B),
         1000,
         2,
         1000 * 4,
         {0, 0},
         0},
        {"2^19 blocks of one weak value",
         old_random,
         map_of_weak(std::vector<std::uint32_t>(static_cast<std::size_t>(most), zero_weak), B),
         0,
         0,
         most * (BLOCK_CHAIN_MOST + 1) + 1000,
         {most - BLOCK_CHAIN_MOST, most - BLOCK_CHAIN_MOST},
         0},
        {"the weak value of every offset",
         old_random,
         map_of_weak(offsets_weak, B),
         0,
         64 + 128 + 2 + 1,
         16384 * 4 + 300 * 4,
         {0, 0},
         1},
        {"a repeating 4-byte pattern",
         pattern,
         map_of_weak(phases, B),
         0,
         4 * BLOCK_STRIKES_MOST,
         4 * BLOCK_STRIKES_MOST * 2 + 64,
         {4, 4},
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        BlockMap map;
        const char* problem = nullptr;
        const auto new_size = static_cast<std::int64_t>(get_le(c.map_bytes, 8));
        ASSERT_EQ(block_map_read(u8(c.map_bytes), std::int64_t(c.map_bytes.size()), new_size, &map,
                                 &problem),
                  1)
            << problem;
        write_file(dir + "/old.bin", c.old_bytes);
        for (const std::int64_t budget : {std::int64_t{1} << 40, std::int64_t{64} * B}) {
            BlockMatch match;
            ASSERT_EQ(block_match_begin(&match, &map, (dir + "/old.bin").c_str()), 1);
            int more = 1;
            for (int passes = 0; more && passes < 1000000; ++passes) {
                const std::int64_t hashes = match.strong_hashes;
                const std::int64_t links = match.links_walked;
                more = block_match_step(&match, budget);
                // One step's work: hashes of its budget's bytes, budget / 32
                // links (a walk under way and a drop finished).
                EXPECT_LE(match.strong_hashes - hashes, std::max<std::int64_t>(1, budget / B));
                EXPECT_LE(match.links_walked - links,
                          std::max<std::int64_t>(BLOCK_CHAIN_MOST, budget / 32) +
                              3 * BLOCK_CHAIN_MOST);
            }
            EXPECT_EQ(more, 0);
            EXPECT_EQ(match.failed, 0);
            EXPECT_EQ(match.found_count, c.found) << budget;
            EXPECT_LE(match.strong_hashes, c.hashes_most) << budget;
            EXPECT_LE(match.links_walked, c.links_most) << budget;
            EXPECT_EQ(match.cut_short, c.cut_short) << budget;
            EXPECT_GE(match.blocks_dropped, c.dropped[0]) << budget;
            EXPECT_LE(match.blocks_dropped, c.dropped[1]) << budget;
            for (std::int32_t i = 0; i < map.block_count; ++i) {
                if (match.found[i] >= 0) {
                    const std::string block = c.old_bytes.substr(std::size_t(match.found[i]), B);
                    std::uint8_t digest[SHA256_SIZE];
                    ASSERT_EQ(sha256_digest(u8(block), B, digest), 1);
                    EXPECT_EQ(
                        std::memcmp(digest, map.strong + i * BLOCK_STRONG_SIZE, BLOCK_STRONG_SIZE),
                        0)
                        << i;
                }
            }
            block_match_end(&match);
        }
        block_map_free(&map);
    }
}

TEST(BlockMap, LyingMapsAreRefusedWithNothingHeld)
{
    constexpr std::int64_t S = 3 * B - 5; // three blocks, the last short
    const std::string records(3 * BLOCK_RECORD_SIZE, 'r');
    const auto h = [](std::uint64_t size, std::uint32_t block, std::uint32_t count) {
        return map_header(BLOCK_MAP_MAGIC, size, block, count);
    };
    const std::uint32_t past = static_cast<std::uint32_t>(BLOCK_MAP_BLOCKS_MAX) + 1;
    const struct {
        const char* name;
        std::string bytes;
        std::int64_t expected_size;
        const char* problem;
    } cases[] = {
        {"another magic", map_header("QBLOCKS2", S, B, 3) + records, S, "not a block map"},
        {"shorter than a header", h(S, B, 3).substr(0, 23), S, "not a block map"},
        {"another file size", h(S, B, 3) + records, S + 1, "for a file of another size"},
        {"an empty file", h(0, B, 0), 0, "for a file of another size"},
        {"block size 0", h(S, 0, 3) + records, S, "block size out of range"},
        {"block size not a power of two", h(S, 1000, 3) + records, S, "block size out of range"},
        {"block size below the least", h(S, 512, 6) + records, S, "block size out of range"},
        {"block size past the most", h(64 << 20, 32 << 20, 2), 64 << 20, "block size out of range"},
        {"block size 2^31", h(S, 0x80000000u, 1), S, "block size out of range"},
        {"one block too few", h(S, B, 2) + records, S, "block count does not fit the file"},
        {"one block too many", h(S, B, 4) + records, S, "block count does not fit the file"},
        {"a count wrapped to 32 bits", h(1ULL << 62, B, 0), 1LL << 62,
         "block count does not fit the file"},
        {"count past the limit, every claim agreeing",
         h(std::uint64_t{past} * B, B, past) + records, std::int64_t{past} * B, "too many blocks"},
        {"one byte short", h(S, B, 3) + records.substr(1), S,
         "length does not fit the block count"},
        {"one byte more", h(S, B, 3) + records + "x", S, "length does not fit the block count"},
    };
    for (const auto& c : cases) {
        BlockMap map;
        std::memset(&map, 0x5a, sizeof map);
        const char* problem = nullptr;
        EXPECT_EQ(block_map_read(u8(c.bytes), std::int64_t(c.bytes.size()), c.expected_size, &map,
                                 &problem),
                  0)
            << c.name;
        EXPECT_STREQ(problem, c.problem) << c.name;
        EXPECT_TRUE(map.weak == nullptr && map.strong == nullptr && map.block_count == 0) << c.name;
    }

    // The limits themselves are taken: the most blocks, the largest block
    // size, a file of one byte.
    const std::uint32_t most = static_cast<std::uint32_t>(BLOCK_MAP_BLOCKS_MAX);
    const struct {
        std::uint64_t size;
        std::uint32_t block;
        std::uint32_t count;
    } limits[] = {{std::uint64_t{most} * B, B, most},
                  {2ull * BLOCK_SIZE_MAX + 1, std::uint32_t{BLOCK_SIZE_MAX}, 3},
                  {1, B, 1}};
    for (const auto& l : limits) {
        const std::string bytes =
            h(l.size, l.block, l.count) + std::string(l.count * std::size_t{BLOCK_RECORD_SIZE}, 1);
        BlockMap map;
        const char* problem = nullptr;
        ASSERT_EQ(block_map_read(u8(bytes), std::int64_t(bytes.size()), std::int64_t(l.size), &map,
                                 &problem),
                  1)
            << problem;
        EXPECT_EQ(map.weak[l.count - 1], 0x01010101u);
        block_map_free(&map);
    }
}

TEST(BlockMap, PlanMergesTheSmallestGapsDownToTheMostRequests)
{
    // 300 blocks, the last short; 100 single missing blocks, the last block
    // among them, with gaps of 1, 2 and 3 blocks between them.
    std::vector<std::int64_t> found(300, 0);
    std::vector<std::int64_t> gaps;
    for (std::int64_t at = 299, k = 0; k < 100; at -= gaps.back() + 1, ++k) {
        found[static_cast<std::size_t>(at)] = -1;
        gaps.push_back(1 + k % 3);
    }
    gaps.pop_back(); // none before the first
    const std::int64_t file_size = 299 * B + 10;
    BlockMap map = {file_size, static_cast<std::int32_t>(B), 300, nullptr, nullptr};
    BlockSpan spans[BLOCK_SPANS_MAX];
    std::int64_t bytes = 0;
    ASSERT_EQ(block_plan(&map, found.data(), spans, &bytes), BLOCK_SPANS_MAX);
    // The 36 smallest gaps are fetched with the missing blocks.
    std::sort(gaps.begin(), gaps.end());
    std::int64_t want = 99 * B + 10;
    for (int i = 0; i < 100 - BLOCK_SPANS_MAX; ++i) {
        want += gaps[static_cast<std::size_t>(i)] * B;
    }
    EXPECT_EQ(bytes, want);
    std::int64_t sum = spans[0].to - spans[0].from;
    for (int i = 1; i < BLOCK_SPANS_MAX; ++i) {
        EXPECT_GT(spans[i].from, spans[i - 1].to) << i; // apart, in order
        sum += spans[i].to - spans[i].from;
    }
    EXPECT_EQ(sum, bytes);
    EXPECT_EQ(spans[BLOCK_SPANS_MAX - 1].to, file_size);
    for (std::int64_t i = 0; i < 300; ++i) {
        if (found[static_cast<std::size_t>(i)] < 0) {
            const std::int64_t end = std::min((i + 1) * B, file_size);
            const bool covered =
                std::any_of(spans, spans + BLOCK_SPANS_MAX,
                            [&](const BlockSpan& s) { return s.from <= i * B && end <= s.to; });
            EXPECT_TRUE(covered) << i;
        }
    }

    // Few runs: one request each, exactly the runs.
    std::vector<std::int64_t> few = {0, -1, -1, 3 * B, -1};
    map = {4 * B + 10, static_cast<std::int32_t>(B), 5, nullptr, nullptr};
    ASSERT_EQ(block_plan(&map, few.data(), spans, &bytes), 2);
    EXPECT_EQ(spans[0].from, B);
    EXPECT_EQ(spans[0].to, 3 * B);
    EXPECT_EQ(spans[1].from, 4 * B);
    EXPECT_EQ(spans[1].to, 4 * B + 10);
    EXPECT_EQ(bytes, 2 * B + 10);
}

} // namespace
