#include "catalog/block_map.h"

#include "crypto/crypto.h"
#include "platform/platform.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

namespace {

// The weak checksum sums a random 32-bit value per byte value (so that
// text and zero-heavy data spread over all 32 bits): sum_a the values,
// sum_b each value times its distance from the block's end. Both roll in
// O(1) when the window moves one byte.
std::uint32_t byte_values[256];
int byte_values_ready = 0;

void make_byte_values()
{
    if (byte_values_ready) {
        return;
    }
    std::uint64_t state = 0x51A7E5EEDULL; // splitmix64: fixed, so every build agrees
    for (std::uint32_t& value : byte_values) {
        state += 0x9E3779B97F4A7C15ULL;
        std::uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        value = static_cast<std::uint32_t>((z ^ (z >> 31)) >> 16);
    }
    byte_values_ready = 1;
}

std::uint32_t weak_of(std::uint32_t sum_a, std::uint32_t sum_b)
{
    return sum_a + sum_b * 0x9E3779B9u;
}

void sums_of(const std::uint8_t* bytes, std::int64_t length, std::uint32_t* sum_a,
             std::uint32_t* sum_b)
{
    make_byte_values();
    std::uint32_t a = 0;
    std::uint32_t b = 0;
    for (std::int64_t i = 0; i < length; ++i) {
        a += byte_values[bytes[i]];
        b += a; // adds byte i once for every byte from it to the end
    }
    *sum_a = a;
    *sum_b = b;
}

void put_u32(std::uint8_t* out, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::uint32_t get_u32(const std::uint8_t* in)
{
    return static_cast<std::uint32_t>(in[0]) | static_cast<std::uint32_t>(in[1]) << 8 |
           static_cast<std::uint32_t>(in[2]) << 16 | static_cast<std::uint32_t>(in[3]) << 24;
}

int strong_of(const std::uint8_t* bytes, std::int64_t length, std::uint8_t out[BLOCK_STRONG_SIZE])
{
    std::uint8_t digest[SHA256_SIZE];
    if (!sha256_digest(bytes, static_cast<std::size_t>(length), digest)) {
        return 0;
    }
    std::memcpy(out, digest, BLOCK_STRONG_SIZE);
    return 1;
}

int read_fully(std::FILE* file, std::uint8_t* out, std::int64_t length)
{
    return std::fread(out, 1, static_cast<std::size_t>(length), file) ==
           static_cast<std::size_t>(length);
}

} // namespace

std::int32_t block_size_for(std::int64_t file_size)
{
    std::int32_t size = BLOCK_SIZE_DEFAULT;
    while (size < BLOCK_SIZE_MAX && (file_size + size - 1) / size > BLOCK_MAP_PUBLISHED_BLOCKS) {
        size *= 2;
    }
    return size;
}

std::uint32_t block_weak(const std::uint8_t* bytes, std::int64_t length)
{
    std::uint32_t a = 0;
    std::uint32_t b = 0;
    sums_of(bytes, length, &a, &b);
    return weak_of(a, b);
}

std::int64_t block_length(const BlockMap* map, std::int64_t index)
{
    const std::int64_t from = index * map->block_size;
    const std::int64_t left = map->file_size - from;
    return left < map->block_size ? left : map->block_size;
}

int block_map_build(const char* path, std::uint8_t** bytes, std::int64_t* length)
{
    *bytes = nullptr;
    *length = 0;
    const std::int64_t file_size = fs_file_size(path);
    if (file_size <= 0) {
        return 0;
    }
    const std::int32_t block_size = block_size_for(file_size);
    const std::int64_t count = (file_size + block_size - 1) / block_size;
    const std::int64_t map_length = BLOCK_MAP_HEADER_SIZE + count * BLOCK_RECORD_SIZE;
    auto* map = static_cast<std::uint8_t*>(std::malloc(static_cast<std::size_t>(map_length)));
    auto* block = static_cast<std::uint8_t*>(std::malloc(static_cast<std::size_t>(block_size)));
    std::FILE* file = std::fopen(path, "rb");
    int good = map != nullptr && block != nullptr && file != nullptr;
    if (good) {
        std::memcpy(map, BLOCK_MAP_MAGIC, 8);
        put_u32(map + 8, static_cast<std::uint32_t>(file_size));
        put_u32(map + 12, static_cast<std::uint32_t>(static_cast<std::uint64_t>(file_size) >> 32));
        put_u32(map + 16, static_cast<std::uint32_t>(block_size));
        put_u32(map + 20, static_cast<std::uint32_t>(count));
    }
    for (std::int64_t i = 0; good && i < count; ++i) {
        BlockMap shape = {file_size, block_size, static_cast<std::int32_t>(count), nullptr,
                          nullptr};
        const std::int64_t n = block_length(&shape, i);
        std::uint8_t* record = map + BLOCK_MAP_HEADER_SIZE + i * BLOCK_RECORD_SIZE;
        good = read_fully(file, block, n) && strong_of(block, n, record + 4);
        put_u32(record, block_weak(block, n));
    }
    // A file that grew while it was read is not the file that was measured.
    good = good && std::fgetc(file) == EOF;
    if (file != nullptr) {
        std::fclose(file);
    }
    std::free(block);
    if (!good) {
        std::free(map);
        return 0;
    }
    *bytes = map;
    *length = map_length;
    return 1;
}

int block_map_read(const std::uint8_t* bytes, std::int64_t length, std::int64_t expected_size,
                   BlockMap* map, const char** problem)
{
    *map = {};
    *problem = nullptr;
    if (length < BLOCK_MAP_HEADER_SIZE || std::memcmp(bytes, BLOCK_MAP_MAGIC, 8) != 0) {
        *problem = "not a block map";
        return 0;
    }
    const std::uint64_t file_size =
        get_u32(bytes + 8) | static_cast<std::uint64_t>(get_u32(bytes + 12)) << 32;
    const std::uint32_t block_size = get_u32(bytes + 16);
    const std::uint32_t count = get_u32(bytes + 20);
    if (expected_size <= 0 || file_size != static_cast<std::uint64_t>(expected_size)) {
        *problem = "for a file of another size";
    } else if (block_size < BLOCK_SIZE_MIN || block_size > BLOCK_SIZE_MAX ||
               (block_size & (block_size - 1)) != 0) {
        *problem = "block size out of range";
    } else if (count != (file_size + block_size - 1) / block_size) {
        *problem = "block count does not fit the file";
    } else if (count > BLOCK_MAP_BLOCKS_MAX) {
        *problem = "too many blocks";
    } else if (length !=
               BLOCK_MAP_HEADER_SIZE + static_cast<std::int64_t>(count) * BLOCK_RECORD_SIZE) {
        *problem = "length does not fit the block count";
    }
    if (*problem != nullptr) {
        return 0;
    }
    map->file_size = static_cast<std::int64_t>(file_size);
    map->block_size = static_cast<std::int32_t>(block_size);
    map->block_count = static_cast<std::int32_t>(count);
    map->weak = static_cast<std::uint32_t*>(std::malloc(count * sizeof(std::uint32_t)));
    map->strong = static_cast<std::uint8_t*>(std::malloc(count * std::size_t{BLOCK_STRONG_SIZE}));
    if (map->weak == nullptr || map->strong == nullptr) {
        block_map_free(map);
        *problem = "out of memory";
        return 0;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint8_t* record = bytes + BLOCK_MAP_HEADER_SIZE + i * BLOCK_RECORD_SIZE;
        map->weak[i] = get_u32(record);
        std::memcpy(map->strong + i * std::size_t{BLOCK_STRONG_SIZE}, record + 4,
                    BLOCK_STRONG_SIZE);
    }
    return 1;
}

void block_map_free(BlockMap* map)
{
    std::free(map->weak);
    std::free(map->strong);
    *map = {};
}

// ---- Matching -----------------------------------------------------------

namespace {

// Blocks the rolling search looks for: every one but a short last block,
// which is looked for where the old file ends and after the block before it.
std::int32_t rolled_blocks(const BlockMap* map)
{
    const std::int32_t count = map->block_count;
    return block_length(map, count - 1) == map->block_size ? count : count - 1;
}

const std::uint8_t* strong_at(const BlockMap* map, std::int32_t index)
{
    return map->strong + static_cast<std::size_t>(index) * BLOCK_STRONG_SIZE;
}

// Marks block index (the first of its repeats), and every block that
// repeats it, as standing at offset in the old file. The repeats are marked
// together, so once the first is found they all are and keep their place.
void mark_found(BlockMatch* m, std::int32_t index, std::int64_t offset)
{
    if (m->found[index] >= 0) {
        return;
    }
    for (std::int32_t i = index; i >= 0; i = m->same_as[i]) {
        if (m->found[i] < 0) {
            m->found[i] = offset;
            ++m->found_count;
        }
    }
}

// The first of the blocks that repeat block index: the one the chains hold,
// from which same_as reaches every repeat.
std::int32_t first_repeat(BlockMatch* m, std::int32_t index)
{
    const std::uint32_t weak = m->map->weak[index];
    for (std::int32_t j = m->head[weak >> (32 - m->head_bits)]; j >= 0; j = m->next[j]) {
        ++m->links_walked;
        if (m->map->weak[j] == weak &&
            std::memcmp(strong_at(m->map, j), strong_at(m->map, index), BLOCK_STRONG_SIZE) == 0) {
            return j;
        }
    }
    return index;
}

// Makes sure the window holds the old file's bytes [at, at + need), as far
// as the file has them; 0 on a read error.
int window_hold(BlockMatch* m, std::int64_t at, std::int64_t need)
{
    const std::int64_t want_end = std::min(at + need, m->old_size);
    if (at >= m->window_at && want_end <= m->window_at + m->window_length) {
        return 1;
    }
    std::int64_t keep = 0;
    if (at >= m->window_at && at < m->window_at + m->window_length) {
        keep = m->window_at + m->window_length - at;
        std::memmove(m->window, m->window + (at - m->window_at), static_cast<std::size_t>(keep));
    } else if (!fs_seek(m->old_file, at)) {
        return 0;
    }
    m->window_at = at;
    const std::int64_t room = std::min(m->window_capacity, m->old_size - at) - keep;
    if (room > 0 && !read_fully(m->old_file, m->window + keep, room)) {
        return 0;
    }
    m->window_length = keep + std::max<std::int64_t>(room, 0);
    return 1;
}

// A short last block: looked for right after the block before it and at
// the old file's end.
void match_short_tail(BlockMatch* m)
{
    const BlockMap* map = m->map;
    const std::int32_t last = map->block_count - 1;
    const std::int64_t length = block_length(map, last);
    if (rolled_blocks(map) == map->block_count || m->found[last] >= 0) {
        return;
    }
    std::int64_t places[2] = {-1, m->old_size - length};
    if (last > 0 && m->found[last - 1] >= 0) {
        places[0] = m->found[last - 1] + map->block_size;
    }
    for (const std::int64_t place : places) {
        std::uint8_t strong[BLOCK_STRONG_SIZE];
        if (place < 0 || place + length > m->old_size || !window_hold(m, place, length)) {
            continue;
        }
        const std::uint8_t* bytes = m->window + (place - m->window_at);
        if (block_weak(bytes, length) == map->weak[last] && strong_of(bytes, length, strong) &&
            std::memcmp(strong, strong_at(map, last), BLOCK_STRONG_SIZE) == 0) {
            mark_found(m, last, place);
            return;
        }
    }
}

// The filter: a bit for each value of filter_bits bits of the weak
// checksum, in words of 64 bits named by the checksum's low bits, the bit in
// the word by its top six. The bit's mask comes from a table: a shift by a
// count held in a register would want x86's one count register, which the
// roll keeps for the block size.
constexpr std::array<std::uint64_t, 64> filter_bits_of = [] {
    std::array<std::uint64_t, 64> bits{};
    for (int i = 0; i < 64; ++i) {
        bits[i] = std::uint64_t{1} << i;
    }
    return bits;
}();

std::uint64_t filter_test(const std::uint64_t* filter, std::uint32_t word_mask, std::uint32_t weak)
{
    return filter[weak & word_mask] & filter_bits_of[weak >> 26];
}

void filter_add(BlockMatch* m, std::uint32_t weak)
{
    const std::uint32_t word_mask = (std::uint32_t{1} << (m->filter_bits - 6)) - 1;
    m->filter[weak & word_mask] |= std::uint64_t{1} << (weak >> 26);
}

// Rolls the weak checksum's sums (*sum_a, *sum_b: those of the block of
// 1 << block_shift bytes at p) one byte at a time and stops at the first
// offset after p whose weak checksum the filter holds, or at end (where the
// filter may or may not hold it). The pointer to that offset; the sums there
// in *sum_a and *sum_b. p[block] must be readable for every p before end.
// The hot loop of the whole match, a function of its own so that its state
// stays in registers. (Four offsets a pass with one branch for their four
// filter tests was no faster.)
__attribute__((noinline)) const std::uint8_t*
roll_to_filter(const std::uint8_t* p, const std::uint8_t* end, int block_shift,
               const std::uint64_t* filter, std::uint32_t word_mask, std::uint32_t* sum_a,
               std::uint32_t* sum_b)
{
    const std::uint32_t* const values = byte_values;
    const std::int64_t block = std::int64_t{1} << block_shift;
    std::uint32_t a = *sum_a;
    std::uint32_t b = *sum_b;
    while (p < end) {
        // The block size times a value is that value shifted: the same
        // bits as the multiplication.
        const std::uint32_t out = values[p[0]];
        a += values[p[block]] - out;
        b += a - (out << block_shift);
        ++p;
        if (filter_test(filter, word_mask, weak_of(a, b)) != 0) {
            break;
        }
    }
    *sum_a = a;
    *sum_b = b;
    return p;
}

// How far the run of the byte at m->at reaches from there, looked at up to
// end (within the window): the known run grows, so each of its bytes is
// scanned once however many offsets within it are looked at.
std::int64_t run_reach(BlockMatch* m, std::int64_t end)
{
    const std::uint8_t byte = m->window[m->at - m->window_at];
    if (m->run_byte != byte || m->at < m->run_from || m->at > m->run_to) {
        m->run_byte = byte;
        m->run_from = m->at;
        m->run_to = m->at;
    }
    const std::uint8_t* q = m->window + (m->run_to - m->window_at);
    while (m->run_to < end && *q == byte) {
        ++q;
        ++m->run_to;
    }
    return m->run_to;
}

// The strong checksum of the block at m->at into out; *hashed 1 when it
// was computed here. A block inside a run of one byte value takes the
// checksum of that value's block, computed once. 0 when the hash could not
// be made.
int strong_here(BlockMatch* m, std::uint8_t* out, int* hashed)
{
    const std::int64_t block = m->map->block_size;
    const std::uint8_t* p = m->window + (m->at - m->window_at);
    *hashed = 0;
    if (p[0] == p[block - 1]) {
        if (run_reach(m, m->at + block) >= m->at + block) {
            if (m->run_strong_byte != p[0]) {
                if (!strong_of(p, block, m->run_strong)) {
                    return 0;
                }
                m->run_strong_byte = p[0];
                ++m->strong_hashes;
                *hashed = 1;
            }
            std::memcpy(out, m->run_strong, BLOCK_STRONG_SIZE);
            return 1;
        }
    }
    if (!strong_of(p, block, out)) {
        return 0;
    }
    ++m->strong_hashes;
    *hashed = 1;
    return 1;
}

std::uint64_t* miss_of(BlockMatch* m, std::uint32_t weak)
{
    static_assert(BLOCK_MISSES_HELD == 256, "the slot is the product's top 8 bits");
    return &m->misses[(weak * 0x9E3779B1u) >> 24];
}

// Takes chained block index out of its chain: it is no longer looked for.
void drop_block(BlockMatch* m, std::int32_t index)
{
    const std::uint32_t slot = m->map->weak[index] >> (32 - m->head_bits);
    for (std::int32_t* link = &m->head[slot]; *link >= 0; link = &m->next[*link]) {
        ++m->links_walked;
        if (*link == index) {
            *link = m->next[index];
            m->next[index] = -1;
            ++m->blocks_dropped;
            return;
        }
    }
}

// The block whose checksums the window at m->at has, among those the weak
// value names; -1 when none. strong is computed once, when first needed
// (*hashed 1 then). Blocks whose weak value agreed and strong did not are
// struck, and dropped at BLOCK_STRIKES_MOST; a weak value that names no
// block is remembered, so a repeating window walks its chain once.
std::int32_t candidate_at(BlockMatch* m, std::uint32_t weak, std::uint8_t* strong, int* have_strong,
                          int* hashed)
{
    std::uint64_t* const miss = miss_of(m, weak);
    const std::uint64_t missed = weak | std::uint64_t{1} << 32;
    if (*miss == missed) {
        return -1;
    }
    std::int32_t struck[BLOCK_CHAIN_MOST];
    int struck_count = 0;
    int named = 0;
    const std::uint32_t slot = weak >> (32 - m->head_bits);
    ++m->links_walked; // the chain's head, a read far off in a large map
    for (std::int32_t i = m->head[slot]; i >= 0; i = m->next[i]) {
        ++m->links_walked;
        if (m->map->weak[i] != weak) {
            continue;
        }
        named = 1;
        if (!*have_strong) {
            if (!strong_here(m, strong, hashed)) {
                m->failed = 1;
                return -1;
            }
            *have_strong = 1;
        }
        if (std::memcmp(strong, strong_at(m->map, i), BLOCK_STRONG_SIZE) == 0) {
            return i;
        }
        if (struck_count < BLOCK_CHAIN_MOST) { // a chain holds no more
            struck[struck_count++] = i;
        }
    }
    if (!named) {
        *miss = missed;
    }
    for (int k = 0; k < struck_count; ++k) {
        if (++m->strikes[struck[k]] >= BLOCK_STRIKES_MOST) {
            drop_block(m, struck[k]);
        }
    }
    return -1;
}

} // namespace

int block_match_begin(BlockMatch* m, const BlockMap* map, const char* old_path)
{
    *m = {};
    m->map = map;
    m->old_size = fs_file_size(old_path);
    const std::int32_t count = map->block_count;
    const std::int32_t rolled = rolled_blocks(map);
    std::int32_t bits = 10;
    while (bits < 24 && (std::int64_t{1} << bits) < 2 * static_cast<std::int64_t>(rolled)) {
        ++bits;
    }
    m->head_bits = bits;
    // 128 filter bits a block (one offset in 128 looks further), up to a
    // filter of 1 MiB (16 bits a block at the most blocks a map may have).
    m->filter_bits = std::min(bits + 7, 23);
    m->window_capacity = std::max<std::int64_t>(4LL << 20, 2LL * map->block_size + (64 << 10));
    m->old_file = m->old_size > 0 && fs_is_file(old_path) ? std::fopen(old_path, "rb") : nullptr;
    m->found = static_cast<std::int64_t*>(std::malloc(count * sizeof(std::int64_t)));
    m->head = static_cast<std::int32_t*>(std::malloc((std::size_t{1} << bits) * 4));
    m->next = static_cast<std::int32_t*>(std::malloc(count * sizeof(std::int32_t)));
    m->same_as = static_cast<std::int32_t*>(std::malloc(count * sizeof(std::int32_t)));
    m->strikes = static_cast<std::uint8_t*>(std::calloc(static_cast<std::size_t>(count), 1));
    m->filter =
        static_cast<std::uint64_t*>(std::calloc((std::size_t{1} << m->filter_bits) / 64, 8));
    m->window =
        static_cast<std::uint8_t*>(std::malloc(static_cast<std::size_t>(m->window_capacity)));
    if (m->old_file == nullptr || m->found == nullptr || m->head == nullptr || m->next == nullptr ||
        m->same_as == nullptr || m->strikes == nullptr || m->filter == nullptr ||
        m->window == nullptr) {
        block_match_end(m);
        return 0;
    }
    std::memset(m->head, 0xFF, (std::size_t{1} << bits) * 4);
    for (std::int32_t i = 0; i < count; ++i) {
        m->found[i] = -1;
        m->next[i] = -1;
        m->same_as[i] = -1;
    }
    // Chained from the end so that each chain runs in file order. A chain
    // holds at most BLOCK_CHAIN_MOST distinct blocks (a genuine map's hold
    // one or two): those past it are fetched, and no chain is walked long.
    for (std::int32_t i = rolled - 1; i >= 0; --i) {
        const std::uint32_t weak = map->weak[i];
        const std::uint32_t slot = weak >> (32 - bits);
        std::int32_t twin = -1;
        std::int32_t length = 0;
        for (std::int32_t j = m->head[slot]; j >= 0 && twin < 0; j = m->next[j]) {
            ++length;
            if (map->weak[j] == weak &&
                std::memcmp(strong_at(map, i), strong_at(map, j), BLOCK_STRONG_SIZE) == 0) {
                twin = j;
            }
        }
        m->links_walked += length;
        if (twin < 0 && length >= BLOCK_CHAIN_MOST) {
            ++m->blocks_dropped;
            continue;
        }
        if (twin >= 0) {
            // i takes twin's place at the chain's head of repeats.
            m->same_as[i] = twin;
            for (std::int32_t* link = &m->head[slot]; *link >= 0; link = &m->next[*link]) {
                ++m->links_walked;
                if (*link == twin) {
                    *link = i;
                    m->next[i] = m->next[twin];
                    m->next[twin] = -1;
                    break;
                }
            }
            continue;
        }
        m->next[i] = m->head[slot];
        m->head[slot] = i;
        filter_add(m, weak);
    }
    m->expected = -1;
    m->run_byte = -1;
    m->run_strong_byte = -1;
    // Wasted hashes: half the old file's bytes, and twice what the 32-bit
    // weak sum's chance agreements cost on average (the old file's offsets
    // times the new file's blocks, over 2^32).
    const std::int64_t old_blocks = m->old_size / map->block_size;
    m->wasted_most = 64 + old_blocks / 2 + (old_blocks * (map->file_size >> 20) >> 11);
    return 1;
}

int block_match_step(BlockMatch* m, std::int64_t budget)
{
    if (m->done || m->failed) {
        return 0;
    }
    make_byte_values();
    const BlockMap* map = m->map;
    const std::int64_t block = map->block_size;
    int block_shift = 0; // block_map_read takes powers of two only
    while ((std::int64_t{1} << block_shift) < block) {
        ++block_shift;
    }
    const std::int64_t stop = m->at + budget;
    const std::int32_t rolled = rolled_blocks(map);
    // The step's work, whatever the map: hashes of about budget bytes, and
    // budget / 32 chain links and heads (a walk under way is finished).
    const std::int64_t hashes_most = m->strong_hashes + std::max<std::int64_t>(1, budget / block);
    const std::int64_t links_most =
        m->links_walked + std::max<std::int64_t>(BLOCK_CHAIN_MOST, budget / 32);
    const auto step_spent = [&] {
        return m->strong_hashes >= hashes_most || m->links_walked >= links_most ||
               m->wasted_hashes > m->wasted_most;
    };
    while (m->at + block <= m->old_size && m->at < stop && rolled > 0 && !step_spent()) {
        // The window holds the block at m->at and, for rolling, the byte
        // after it.
        if (!window_hold(m, m->at, std::max<std::int64_t>(block + 1, m->window_capacity / 2))) {
            m->failed = 1;
            return 0;
        }
        const std::uint8_t* here = m->window + (m->at - m->window_at);
        std::uint8_t strong[BLOCK_STRONG_SIZE];
        int have_strong = 0;
        int hashed = 0; // a hash made at this offset that has found nothing yet
        // After a block was found its successor is the likely next one:
        // the strong checksum alone settles it, with no weak sums made.
        if (m->expected >= 0 && m->expected < rolled) {
            if (!strong_here(m, strong, &hashed)) {
                m->failed = 1;
                return 0;
            }
            have_strong = 1;
            if (std::memcmp(strong, strong_at(map, m->expected), BLOCK_STRONG_SIZE) == 0) {
                mark_found(m, first_repeat(m, m->expected), m->at);
                ++m->expected;
                m->at += block;
                m->rolling = 0;
                continue;
            }
        }
        m->expected = -1;
        if (!m->rolling) {
            sums_of(here, block, &m->sum_a, &m->sum_b);
            m->rolling = 1;
        }
        // Rolls through the bytes the window holds until a candidate's
        // strong checksum agrees.
        const std::int64_t roll_end =
            std::min({m->window_at + m->window_length - block - 1, stop, m->old_size - block});
        std::uint32_t a = m->sum_a;
        std::uint32_t b = m->sum_b;
        const auto block_u32 = static_cast<std::uint32_t>(block);
        const std::uint8_t* p = m->window + (m->at - m->window_at);
        const std::uint8_t* const p_end = p + std::max<std::int64_t>(roll_end - m->at, 0);
        const std::uint64_t* const filter = m->filter;
        const std::uint32_t word_mask = (std::uint32_t{1} << (m->filter_bits - 6)) - 1;
        std::int32_t hit = -1;
        while (true) {
            const std::uint32_t weak = weak_of(a, b);
            if (filter_test(filter, word_mask, weak) != 0) {
                m->at = m->window_at + (p - m->window);
                m->sum_a = a;
                m->sum_b = b;
                hit = candidate_at(m, weak, strong, &have_strong, &hashed);
                if (m->failed) {
                    return 0;
                }
                if (hit >= 0) {
                    break;
                }
                // Every later window wholly inside a run of one byte value
                // holds the same bytes, so the same sums and no block: on
                // to the last of them.
                const std::int64_t last =
                    p[0] == p[block - 1] && m->at < roll_end
                        ? std::min(run_reach(m, roll_end + block) - block, roll_end)
                        : m->at;
                if (last > m->at) {
                    p += last - m->at;
                    m->at = last;
                }
            }
            m->wasted_hashes += hashed;
            hashed = 0;
            if (p >= p_end || step_spent()) {
                break;
            }
            p = roll_to_filter(p, p_end, block_shift, filter, word_mask, &a, &b);
            have_strong = 0;
        }
        m->at = m->window_at + (p - m->window);
        m->sum_a = a;
        m->sum_b = b;
        if (hit >= 0) {
            mark_found(m, hit, m->at);
            m->expected = hit + 1;
            m->at += block;
            m->rolling = 0;
        } else if (m->at >= m->old_size - block) {
            m->at = m->old_size; // no whole block starts further on
        } else {
            // The byte at m->at was looked at: move on past it (the window
            // refills around the next offset on the next pass).
            const std::uint32_t out = byte_values[p[0]];
            m->sum_a += byte_values[p[block]] - out;
            m->sum_b += m->sum_a - block_u32 * out;
            ++m->at;
        }
    }
    m->cut_short = m->wasted_hashes > m->wasted_most;
    if (m->at + block > m->old_size || rolled == 0 || m->cut_short) {
        match_short_tail(m);
        m->done = 1;
        return 0;
    }
    return 1;
}

void block_match_end(BlockMatch* m)
{
    if (m->old_file != nullptr) {
        std::fclose(m->old_file);
    }
    std::free(m->found);
    std::free(m->head);
    std::free(m->next);
    std::free(m->same_as);
    std::free(m->strikes);
    std::free(m->filter);
    std::free(m->window);
    *m = {};
}

// ---- The requests -------------------------------------------------------

int block_plan(const BlockMap* map, const std::int64_t* found, BlockSpan spans[BLOCK_SPANS_MAX],
               std::int64_t* bytes)
{
    *bytes = 0;
    // The runs of missing blocks, counted first, then the gaps between
    // them: the smallest gaps are closed until few enough runs remain.
    std::int64_t runs = 0;
    for (std::int32_t i = 0; i < map->block_count; ++i) {
        runs += found[i] < 0 && (i == 0 || found[i - 1] >= 0);
    }
    std::int64_t close_below = -1; // gaps shorter than this are fetched
    std::int64_t close_equal = 0;  // and this many of those exactly as long
    if (runs > BLOCK_SPANS_MAX) {
        auto* gaps = static_cast<std::int64_t*>(std::malloc(static_cast<std::size_t>(runs) * 8));
        if (gaps == nullptr) {
            return -1;
        }
        std::int64_t count = 0;
        std::int64_t gap = -1; // blocks since the last run ended; -1 before the first
        for (std::int32_t i = 0; i < map->block_count; ++i) {
            if (found[i] < 0) {
                if (gap > 0) {
                    gaps[count++] = gap;
                }
                gap = 0;
            } else if (gap >= 0) {
                ++gap;
            }
        }
        const std::int64_t to_close = runs - BLOCK_SPANS_MAX;
        std::nth_element(gaps, gaps + to_close - 1, gaps + count);
        close_below = gaps[to_close - 1];
        close_equal = to_close;
        for (std::int64_t i = 0; i < count; ++i) {
            close_equal -= gaps[i] < close_below;
        }
        std::free(gaps);
    }
    int made = 0;
    std::int32_t i = 0;
    while (i < map->block_count) {
        if (found[i] >= 0) {
            ++i;
            continue;
        }
        std::int32_t end = i + 1; // one past the run's last block
        while (true) {
            while (end < map->block_count && found[end] < 0) {
                ++end;
            }
            std::int32_t next = end;
            while (next < map->block_count && found[next] >= 0) {
                ++next;
            }
            if (next >= map->block_count) {
                break; // no run after this one
            }
            const std::int64_t gap = next - end;
            const bool close = gap < close_below || (gap == close_below && close_equal > 0);
            if (!close) {
                break;
            }
            close_equal -= gap == close_below;
            end = next;
        }
        spans[made].from = static_cast<std::int64_t>(i) * map->block_size;
        spans[made].to = std::min(static_cast<std::int64_t>(end) * map->block_size, map->file_size);
        *bytes += spans[made].to - spans[made].from;
        ++made;
        i = end;
    }
    return made;
}
