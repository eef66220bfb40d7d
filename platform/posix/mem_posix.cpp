// POSIX page blocks: anonymous mappings, aligned by trimming an oversized one.
// Under AddressSanitizer the blocks come from the heap instead, so that leak
// checking still sees what is never given back.
// DEPENDS ON: mmap, madvise (MADV_HUGEPAGE: Linux, a hint only).
#include "platform/platform.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__)

void* mem_block_alloc(std::size_t bytes, int will_fill)
{
    (void)will_fill;
    void* block = std::aligned_alloc(MEM_BLOCK_BYTES, bytes);
    if (block != nullptr) {
        std::memset(block, 0, bytes);
    }
    return block;
}

void mem_block_free(void* block, std::size_t bytes)
{
    (void)bytes;
    std::free(block);
}

#else

void* mem_block_alloc(std::size_t bytes, int will_fill)
{
    if (bytes == 0 || bytes % MEM_BLOCK_BYTES != 0) {
        return nullptr;
    }
    const std::size_t span = bytes + MEM_BLOCK_BYTES;
    void* mapped = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) {
        return nullptr;
    }
    const auto start = reinterpret_cast<std::uintptr_t>(mapped);
    const std::uintptr_t aligned = (start + MEM_BLOCK_BYTES - 1) & ~(MEM_BLOCK_BYTES - 1);
    const std::size_t head = aligned - start;
    if (head != 0) {
        munmap(mapped, head);
    }
    const std::size_t tail = span - head - bytes;
    if (tail != 0) {
        munmap(reinterpret_cast<void*>(aligned + bytes), tail);
    }
    if (will_fill) {
        // Only a hint: without transparent huge pages the block works the same.
        madvise(reinterpret_cast<void*>(aligned), bytes, MADV_HUGEPAGE);
    }
    return reinterpret_cast<void*>(aligned);
}

void mem_block_free(void* block, std::size_t bytes)
{
    if (block != nullptr) {
        munmap(block, bytes);
    }
}

#endif
