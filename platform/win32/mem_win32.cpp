// Win32 page blocks: committed, zeroed pages from VirtualAlloc. Large pages
// need a privilege players do not have, so will_fill changes nothing here
// and the block needs no alignment beyond the system's 64 KiB.
// DEPENDS ON: KERNEL32 (VirtualAlloc).
#include "platform/platform.h"

#include <windows.h>

void* mem_block_alloc(std::size_t bytes, int will_fill)
{
    (void)will_fill;
    if (bytes == 0 || bytes % MEM_BLOCK_BYTES != 0) {
        return nullptr;
    }
    return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void mem_block_free(void* block, std::size_t bytes)
{
    (void)bytes;
    if (block != nullptr) {
        VirtualFree(block, 0, MEM_RELEASE);
    }
}
