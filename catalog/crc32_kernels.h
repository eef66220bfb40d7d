// CRC-32 kernels: every one computes the same function as the byte-at-a-time
// 256-entry table (reflected polynomial 0xEDB88320, no conditioning inside).
// The fastest one the CPU runs is picked once, at first use.
#pragma once

#include <cstddef>
#include <cstdint>

enum Crc32Kernel {
    CRC32_KERNEL_BYTEWISE = 0,   // the reference: one table lookup per byte
    CRC32_KERNEL_SLICE8 = 1,     // eight tables, eight bytes per step (any CPU)
    CRC32_KERNEL_PCLMUL = 2,     // carry-less multiply folding, SSE4.1 + PCLMULQDQ
    CRC32_KERNEL_VPCLMUL256 = 3, // the same over 256-bit registers, AVX2 + VPCLMULQDQ
    CRC32_KERNEL_VPCLMUL = 4,    // the same over 512-bit registers, AVX-512F + VPCLMULQDQ
    CRC32_KERNEL_COUNT = 5
    // The fastest available is the highest: keep them in this order.
};

// Builds the tables and picks the kernel; later calls do nothing.
void crc32_kernels_init();

// 1 when this CPU (and its operating system, for the wide registers) runs it.
int crc32_kernel_available(int kernel);
const char* crc32_kernel_name(int kernel);

// The kernel crc32_update uses.
int crc32_kernel_selected();

// Makes crc32_update use kernel from now on, to measure a slower CPU's
// kernel on this one. 0, and nothing changes, when this CPU does not run it.
int crc32_kernel_choose(int kernel);

// Runs count bytes through the running value with the given kernel, which
// must be available.
std::uint32_t crc32_kernel_run(int kernel, const std::uint8_t* bytes, std::size_t count,
                               std::uint32_t running);
