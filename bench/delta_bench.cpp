// Delta updates: how fast the rolling match runs over an old copy against
// the block map of a new file, and how fast a map is made. The files are
// written once per process to a tmpfs (/dev/shm, or /tmp where there is
// none) and removed when the process ends:
//   v1         random bytes
//   changed    v1 with 1 MiB in the middle replaced
//   inserted   v1 with 1 KiB inserted near the start (every later block
//              shifted)
//   other      random bytes unrelated to v1
// Cases (old copy against the map of the new file):
//   identical  v1 against v1's map: every block where it was
//   changed    v1 against changed's map
//   inserted   v1 against inserted's map
//   different  other against v1's map: no block anywhere, the weak sum
//              rolled over every byte (the slowest case)
// Hostile maps (the 2x bound: none may cost more than twice the CPU of the
// slowest genuine case, different, over an old copy of the same size):
//   zero_run    zeros (v1 with its middle half zeroed) against v1's map with
//               one block's weak checksum made a zero block's: every offset
//               of the run agrees on the weak sum, never on the strong one
//   one_weak    v1 against a map of 2^19 1 KiB blocks, every weak checksum
//               the same and every strong one different
//   every_weak  v1 against a map naming the weak checksum of 2^19 offsets
//               spread evenly over v1, none of them with its strong one:
//               the rolling goes over the whole file and the hashes that
//               find nothing reach their limit near its end (the worst)
//   many_blocks v1 against a map of 2^19 1 KiB blocks of random checksums:
//               the genuine case of that size, nothing in common
// Bytes per second are the old copy's bytes.
#include "catalog/block_map.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr std::int64_t FILE_BYTES = 128LL << 20;
constexpr std::int64_t MATCH_STEP = 16LL << 20; // the launcher's step

struct Files {
    std::string folder;
    std::string v1;
    std::string changed;
    std::string inserted;
    std::string other;
    std::string zeroed;
    std::vector<std::string> made;

    ~Files()
    {
        for (const std::string& path : made) {
            std::remove(path.c_str());
        }
        if (!folder.empty()) {
            rmdir(folder.c_str());
        }
    }
};

Files files;

void fill_random(std::uint8_t* out, std::int64_t length, std::uint64_t seed)
{
    std::uint64_t state = seed;
    for (std::int64_t i = 0; i < length; i += 8) {
        state += 0x9E3779B97F4A7C15ULL;
        std::uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        z ^= z >> 31;
        for (int k = 0; k < 8 && i + k < length; ++k) {
            out[i + k] = static_cast<std::uint8_t>(z >> (8 * k));
        }
    }
}

int write_file(const std::string& path, const std::vector<std::uint8_t>& bytes)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return 0;
    }
    const int good = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && good;
}

// The four files, made on first use.
const Files* test_files()
{
    if (!files.folder.empty()) {
        return &files;
    }
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string folder = std::string(base) + "/quorvel-delta-bench-XXXXXX";
    if (mkdtemp(folder.data()) == nullptr) {
        return nullptr;
    }
    files.folder = folder;
    files.v1 = folder + "/v1.bin";
    files.changed = folder + "/changed.bin";
    files.inserted = folder + "/inserted.bin";
    files.other = folder + "/other.bin";
    files.zeroed = folder + "/zeroed.bin";
    std::vector<std::uint8_t> v1(static_cast<std::size_t>(FILE_BYTES));
    fill_random(v1.data(), FILE_BYTES, 1);
    std::vector<std::uint8_t> changed = v1;
    fill_random(changed.data() + FILE_BYTES / 2 + 12345, 1 << 20, 2);
    std::vector<std::uint8_t> inserted(v1.size() + 1024);
    const std::size_t at = 100000;
    std::copy(v1.begin(), v1.begin() + at, inserted.begin());
    fill_random(inserted.data() + at, 1024, 3);
    std::copy(v1.begin() + at, v1.end(), inserted.begin() + at + 1024);
    std::vector<std::uint8_t> other(v1.size());
    fill_random(other.data(), FILE_BYTES, 4);
    std::vector<std::uint8_t> zeroed = v1;
    std::fill(zeroed.begin() + FILE_BYTES / 4, zeroed.begin() + 3 * FILE_BYTES / 4, 0);
    const std::pair<const std::string*, const std::vector<std::uint8_t>*> outputs[] = {
        {&files.v1, &v1},
        {&files.changed, &changed},
        {&files.inserted, &inserted},
        {&files.other, &other},
        {&files.zeroed, &zeroed}};
    for (const auto& [path, bytes] : outputs) {
        files.made.push_back(*path);
        if (!write_file(*path, *bytes)) {
            return nullptr;
        }
    }
    return &files;
}

// The whole match of old_file against map, once per iteration.
void run_match(benchmark::State& state, const BlockMap* map, const std::string& old_file)
{
    std::int64_t found = 0;
    std::int64_t hashes = 0;
    for (auto _ : state) {
        BlockMatch match;
        if (!block_match_begin(&match, map, old_file.c_str())) {
            state.SkipWithError("cannot match");
            break;
        }
        while (block_match_step(&match, MATCH_STEP)) {
        }
        found = match.found_count;
        hashes = match.strong_hashes;
        benchmark::DoNotOptimize(found);
        block_match_end(&match);
    }
    state.counters["blocks_found"] = static_cast<double>(found);
    state.counters["blocks"] = map->block_count;
    state.counters["strong_hashes"] = static_cast<double>(hashes);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * FILE_BYTES);
}

void BM_BlockMatch(benchmark::State& state, int which)
{
    const Files* f = test_files();
    if (f == nullptr) {
        state.SkipWithError("cannot write the test files");
        return;
    }
    const std::string* new_file[] = {&f->v1, &f->changed, &f->inserted, &f->v1};
    const std::string& old_file = which == 3 ? f->other : f->v1;
    std::uint8_t* bytes = nullptr;
    std::int64_t length = 0;
    BlockMap map;
    const char* problem = nullptr;
    const std::int64_t new_size = FILE_BYTES + (which == 2 ? 1024 : 0);
    if (!block_map_build(new_file[which]->c_str(), &bytes, &length) ||
        !block_map_read(bytes, length, new_size, &map, &problem)) {
        std::free(bytes);
        state.SkipWithError("no map");
        return;
    }
    std::free(bytes);
    run_match(state, &map, old_file);
    block_map_free(&map);
}

BENCHMARK_CAPTURE(BM_BlockMatch, identical, 0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_BlockMatch, changed_1MiB, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_BlockMatch, inserted_1KiB, 2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_BlockMatch, different, 3)->Unit(benchmark::kMillisecond);

std::uint32_t get_u32(const std::uint8_t* in)
{
    return static_cast<std::uint32_t>(in[0]) | static_cast<std::uint32_t>(in[1]) << 8 |
           static_cast<std::uint32_t>(in[2]) << 16 | static_cast<std::uint32_t>(in[3]) << 24;
}

void put_u32(std::uint8_t* out, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// A map's bytes: the header and count records of random strong checksums
// whose weak checksums weak_of(i) gives.
template <typename Weak>
std::vector<std::uint8_t> hostile_map(std::int64_t file_size, std::uint32_t block,
                                      std::uint32_t count, Weak weak_of)
{
    std::vector<std::uint8_t> out(BLOCK_MAP_HEADER_SIZE + std::size_t{count} * BLOCK_RECORD_SIZE);
    std::copy(BLOCK_MAP_MAGIC, BLOCK_MAP_MAGIC + 8, out.begin());
    put_u32(out.data() + 8, static_cast<std::uint32_t>(file_size));
    put_u32(out.data() + 12, static_cast<std::uint32_t>(file_size >> 32));
    put_u32(out.data() + 16, block);
    put_u32(out.data() + 20, count);
    fill_random(out.data() + BLOCK_MAP_HEADER_SIZE, std::int64_t{count} * BLOCK_RECORD_SIZE, 9);
    for (std::uint32_t i = 0; i < count; ++i) {
        put_u32(out.data() + BLOCK_MAP_HEADER_SIZE + std::size_t{i} * BLOCK_RECORD_SIZE,
                weak_of(i));
    }
    return out;
}

// The weak checksums (blocks of block bytes) at count offsets spread evenly
// over the file at path (FILE_BYTES long).
std::vector<std::uint32_t> weak_at_offsets(const std::string& path, std::uint32_t block,
                                           std::uint32_t count)
{
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(FILE_BYTES));
    std::FILE* file = std::fopen(path.c_str(), "rb");
    const int good =
        file != nullptr && std::fread(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (file != nullptr) {
        std::fclose(file);
    }
    std::vector<std::uint32_t> weak;
    const std::int64_t stride = (FILE_BYTES - block) / count;
    for (std::uint32_t i = 0; good && i < count; ++i) {
        weak.push_back(block_weak(bytes.data() + i * stride, block));
    }
    return weak;
}

void BM_BlockMatchHostile(benchmark::State& state, int which)
{
    const Files* f = test_files();
    if (f == nullptr) {
        state.SkipWithError("cannot write the test files");
        return;
    }
    constexpr std::uint32_t most = static_cast<std::uint32_t>(BLOCK_MAP_BLOCKS_MAX);
    std::vector<std::uint8_t> bytes;
    std::int64_t new_size = FILE_BYTES;
    if (which == 0) {
        std::uint8_t* built = nullptr;
        std::int64_t length = 0;
        if (block_map_build(f->v1.c_str(), &built, &length)) {
            bytes.assign(built, built + length);
            const std::vector<std::uint8_t> zeros(BLOCK_SIZE_DEFAULT, 0);
            const std::uint32_t count = get_u32(built + 20);
            put_u32(bytes.data() + BLOCK_MAP_HEADER_SIZE +
                        std::size_t{count / 2} * BLOCK_RECORD_SIZE,
                    block_weak(zeros.data(), BLOCK_SIZE_DEFAULT));
        }
        std::free(built);
    } else if (which == 1) {
        new_size = std::int64_t{most} * 1024;
        bytes = hostile_map(new_size, 1024, most, [](std::uint32_t) { return 0x5EED0001u; });
    } else if (which == 3) {
        new_size = std::int64_t{most} * 1024;
        bytes = hostile_map(new_size, 1024, most, [](std::uint32_t i) { return i * 0x9E3779B1u; });
    } else {
        new_size = std::int64_t{most} * 1024;
        const std::vector<std::uint32_t> weak = weak_at_offsets(f->v1, 1024, most);
        if (weak.size() == most) {
            bytes = hostile_map(new_size, 1024, most, [&](std::uint32_t i) { return weak[i]; });
        }
    }
    BlockMap map;
    const char* problem = nullptr;
    if (bytes.empty() || !block_map_read(bytes.data(), static_cast<std::int64_t>(bytes.size()),
                                         new_size, &map, &problem)) {
        state.SkipWithError("no map");
        return;
    }
    run_match(state, &map, which == 0 ? f->zeroed : f->v1);
    block_map_free(&map);
}

BENCHMARK_CAPTURE(BM_BlockMatchHostile, zero_run, 0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_BlockMatchHostile, one_weak, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_BlockMatchHostile, every_weak, 2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_BlockMatchHostile, many_blocks, 3)->Unit(benchmark::kMillisecond);

void BM_BlockMapBuild(benchmark::State& state)
{
    const Files* f = test_files();
    if (f == nullptr) {
        state.SkipWithError("cannot write the test files");
        return;
    }
    for (auto _ : state) {
        std::uint8_t* bytes = nullptr;
        std::int64_t length = 0;
        if (!block_map_build(f->v1.c_str(), &bytes, &length)) {
            state.SkipWithError("no map");
            break;
        }
        benchmark::DoNotOptimize(bytes);
        std::free(bytes);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * FILE_BYTES);
}

BENCHMARK(BM_BlockMapBuild)->Unit(benchmark::kMillisecond);

} // namespace
