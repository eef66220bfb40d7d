// CRC-32 kernels, picked at run time from what the CPU offers.
//
// Choice: our own carry-less multiply folding rather than a library. zlib is
// 2-4 times slower than folding on this hardware; libdeflate or ISA-L would
// match it but add a dependency to both the Linux and the mingw builds for
// about a hundred lines of code. Folding works on 16-byte (or 64-byte) lanes
// and reduces to 32 bits at the end; short inputs and the last bytes of a
// block go through slicing-by-8, which every x86 CPU (and any other) runs.
// The wide kernels are compiled with per-function target attributes so the
// rest of the program stays at the baseline instruction set (plain i686 for
// the Windows build); nothing calls them unless CPUID and XGETBV say so.
#include "catalog/crc32_kernels.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#define QUORVEL_CRC_X86 1
#include <cpuid.h>
#include <immintrin.h>
#else
#define QUORVEL_CRC_X86 0
#endif

namespace {

constexpr std::uint32_t CRC32_POLY_REFLECTED = 0xEDB88320u;

struct Crc32Kernels {
    std::uint32_t table[8][256];
    int available[CRC32_KERNEL_COUNT];
    int selected;
    int built;
};
Crc32Kernels kernels;

std::uint32_t crc32_bytewise(const std::uint8_t* bytes, std::size_t count, std::uint32_t crc)
{
    const auto& t = kernels.table;
    while (count > 0) {
        crc = t[0][(crc ^ *bytes) & 0xFFu] ^ (crc >> 8);
        ++bytes;
        --count;
    }
    return crc;
}

std::uint32_t crc32_slice8(const std::uint8_t* bytes, std::size_t count, std::uint32_t crc)
{
    const auto& t = kernels.table;
    while (count >= 8) {
        std::uint32_t lo = 0;
        std::uint32_t hi = 0;
        std::memcpy(&lo, bytes, 4);
        std::memcpy(&hi, bytes + 4, 4);
        lo ^= crc; // both targets are little-endian
        crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
              t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
        bytes += 8;
        count -= 8;
    }
    return crc32_bytewise(bytes, count, crc);
}

#if QUORVEL_CRC_X86

// x^n mod P, bit-reflected and shifted left by one: the 33-bit multiplier
// that moves a reflected 64-bit lane n bits further along the message.
constexpr std::uint64_t fold_constant(int n)
{
    std::uint64_t r = 1;
    for (int i = 0; i < n; ++i) {
        r <<= 1;
        if ((r >> 32) & 1u) {
            r ^= 0x104C11DB7ull;
        }
    }
    std::uint64_t reflected = 0;
    for (int bit = 0; bit < 32; ++bit) {
        if ((r >> bit) & 1u) {
            reflected |= 1ull << (31 - bit);
        }
    }
    return reflected << 1;
}
static_assert(fold_constant(544) == 0x154442BD4ull && fold_constant(480) == 0x1C6E41596ull);
static_assert(fold_constant(160) == 0x1751997D0ull && fold_constant(96) == 0x0CCAA009Eull);

// Low lane multiplies the lane's first 8 bytes, high lane its last 8; the
// template keeps every constant a compile-time one.
template <int distance> struct Fold {
    static constexpr std::uint64_t lo = fold_constant(distance + 32);
    static constexpr std::uint64_t hi = fold_constant(distance - 32);
};
constexpr std::uint64_t FOLD_64 = fold_constant(64);
static_assert(FOLD_64 == 0x163CD6124ull);
constexpr std::uint64_t BARRETT_POLY = 0x1DB710641ull; // P, reflected, 33 bits
constexpr std::uint64_t BARRETT_MU = 0x1F7011641ull;   // floor(x^64 / P), reflected

#define CRC_SSE_TARGET __attribute__((target("pclmul,sse4.1")))
#define CRC_AVX2_TARGET __attribute__((target("pclmul,sse4.1,avx2,vpclmulqdq")))
#define CRC_AVX512_TARGET __attribute__((target("pclmul,sse4.1,avx512f,vpclmulqdq")))

template <int distance> CRC_SSE_TARGET inline __m128i fold_constants()
{
    return _mm_set_epi64x(static_cast<long long>(Fold<distance>::hi),
                          static_cast<long long>(Fold<distance>::lo));
}

CRC_SSE_TARGET inline __m128i fold16(__m128i acc, __m128i k, __m128i next)
{
    const __m128i lo = _mm_clmulepi64_si128(acc, k, 0x00);
    const __m128i hi = _mm_clmulepi64_si128(acc, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(lo, hi), next);
}

// Folds the remaining 16-byte blocks into acc and reduces it to the CRC
// register value; returns the bytes not consumed through *rest.
CRC_SSE_TARGET std::uint32_t fold16_finish(__m128i acc, const std::uint8_t** bytes,
                                           std::size_t* count)
{
    const __m128i k128 = fold_constants<128>();
    const std::uint8_t* p = *bytes;
    std::size_t n = *count;
    while (n >= 16) {
        acc = fold16(acc, k128, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        p += 16;
        n -= 16;
    }
    *bytes = p;
    *count = n;

    // 128 bits to 64, then to 32 + 32 ...
    const __m128i low32_mask = _mm_setr_epi32(-1, 0, -1, 0);
    __m128i x = _mm_xor_si128(_mm_clmulepi64_si128(acc, k128, 0x10), _mm_srli_si128(acc, 8));
    const __m128i k64 = _mm_set_epi64x(0, static_cast<long long>(FOLD_64));
    const __m128i upper = _mm_srli_si128(x, 4);
    x = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x, low32_mask), k64, 0x00), upper);

    // ... and Barrett reduction to the 32-bit remainder.
    const __m128i poly =
        _mm_set_epi64x(static_cast<long long>(BARRETT_MU), static_cast<long long>(BARRETT_POLY));
    __m128i q = _mm_clmulepi64_si128(_mm_and_si128(x, low32_mask), poly, 0x10);
    q = _mm_clmulepi64_si128(_mm_and_si128(q, low32_mask), poly, 0x00);
    x = _mm_xor_si128(x, q);
    return static_cast<std::uint32_t>(_mm_extract_epi32(x, 1));
}

CRC_SSE_TARGET inline __m128i load(const std::uint8_t* at)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

CRC_SSE_TARGET std::uint32_t crc32_pclmul(const std::uint8_t* bytes, std::size_t count,
                                          std::uint32_t crc)
{
    if (count < 64) {
        return crc32_slice8(bytes, count, crc);
    }
    __m128i x1 = _mm_xor_si128(load(bytes), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x2 = load(bytes + 16);
    __m128i x3 = load(bytes + 32);
    __m128i x4 = load(bytes + 48);
    bytes += 64;
    count -= 64;
    const __m128i k512 = fold_constants<512>();
    while (count >= 64) {
        x1 = fold16(x1, k512, load(bytes));
        x2 = fold16(x2, k512, load(bytes + 16));
        x3 = fold16(x3, k512, load(bytes + 32));
        x4 = fold16(x4, k512, load(bytes + 48));
        bytes += 64;
        count -= 64;
    }
    const __m128i k128 = fold_constants<128>();
    x1 = fold16(x1, k128, x2);
    x1 = fold16(x1, k128, x3);
    x1 = fold16(x1, k128, x4);
    crc = fold16_finish(x1, &bytes, &count);
    return crc32_slice8(bytes, count, crc);
}

// GCC 12's AVX-512 headers start some results from an undefined register,
// which its flow analysis reports as uninitialised use.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpragmas" // clang does not know the next one
#pragma GCC diagnostic ignored "-Wunknown-warning-option"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

// The same folding over 256-bit registers, for CPUs with VPCLMULQDQ but
// without AVX-512 (AMD Zen 3, Intel client cores).
CRC_AVX2_TARGET inline __m256i fold32(__m256i acc, __m256i k, __m256i next)
{
    const __m256i lo = _mm256_clmulepi64_epi128(acc, k, 0x00);
    const __m256i hi = _mm256_clmulepi64_epi128(acc, k, 0x11);
    return _mm256_xor_si256(_mm256_xor_si256(lo, hi), next);
}

CRC_AVX2_TARGET inline __m256i load32(const std::uint8_t* at)
{
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
}

CRC_AVX2_TARGET std::uint32_t crc32_vpclmul256(const std::uint8_t* bytes, std::size_t count,
                                               std::uint32_t crc)
{
    if (count < 128) {
        return crc32_pclmul(bytes, count, crc);
    }
    __m256i y0 = _mm256_xor_si256(load32(bytes),
                                  _mm256_zextsi128_si256(_mm_cvtsi32_si128(static_cast<int>(crc))));
    __m256i y1 = load32(bytes + 32);
    __m256i y2 = load32(bytes + 64);
    __m256i y3 = load32(bytes + 96);
    bytes += 128;
    count -= 128;
    const __m256i k1024 = _mm256_broadcastsi128_si256(fold_constants<1024>());
    while (count >= 128) {
        y0 = fold32(y0, k1024, load32(bytes));
        y1 = fold32(y1, k1024, load32(bytes + 32));
        y2 = fold32(y2, k1024, load32(bytes + 64));
        y3 = fold32(y3, k1024, load32(bytes + 96));
        bytes += 128;
        count -= 128;
    }
    const __m256i k256 = _mm256_broadcastsi128_si256(fold_constants<256>());
    y0 = fold32(y0, k256, y1);
    y0 = fold32(y0, k256, y2);
    y0 = fold32(y0, k256, y3);
    while (count >= 32) {
        y0 = fold32(y0, k256, load32(bytes));
        bytes += 32;
        count -= 32;
    }
    // Two 16-byte lanes into one: the first moves forward to the second.
    const __m128i x =
        fold16(_mm256_castsi256_si128(y0), fold_constants<128>(), _mm256_extracti128_si256(y0, 1));
    crc = fold16_finish(x, &bytes, &count);
    return crc32_slice8(bytes, count, crc);
}

CRC_AVX512_TARGET inline __m512i fold64(__m512i acc, __m512i k, __m512i next)
{
    const __m512i lo = _mm512_clmulepi64_epi128(acc, k, 0x00);
    const __m512i hi = _mm512_clmulepi64_epi128(acc, k, 0x11);
    return _mm512_ternarylogic_epi64(lo, hi, next, 0x96); // three-way xor
}

CRC_AVX512_TARGET std::uint32_t crc32_vpclmul(const std::uint8_t* bytes, std::size_t count,
                                              std::uint32_t crc)
{
    if (count < 256) {
        return crc32_pclmul(bytes, count, crc);
    }
    __m512i z0 = _mm512_xor_si512(_mm512_loadu_si512(bytes),
                                  _mm512_zextsi128_si512(_mm_cvtsi32_si128(static_cast<int>(crc))));
    __m512i z1 = _mm512_loadu_si512(bytes + 64);
    __m512i z2 = _mm512_loadu_si512(bytes + 128);
    __m512i z3 = _mm512_loadu_si512(bytes + 192);
    bytes += 256;
    count -= 256;
    const __m512i k2048 = _mm512_broadcast_i32x4(fold_constants<2048>());
    while (count >= 256) {
        z0 = fold64(z0, k2048, _mm512_loadu_si512(bytes));
        z1 = fold64(z1, k2048, _mm512_loadu_si512(bytes + 64));
        z2 = fold64(z2, k2048, _mm512_loadu_si512(bytes + 128));
        z3 = fold64(z3, k2048, _mm512_loadu_si512(bytes + 192));
        bytes += 256;
        count -= 256;
    }
    const __m512i k512 = _mm512_broadcast_i32x4(fold_constants<512>());
    z0 = fold64(z0, k512, z1);
    z0 = fold64(z0, k512, z2);
    z0 = fold64(z0, k512, z3);
    while (count >= 64) {
        z0 = fold64(z0, k512, _mm512_loadu_si512(bytes));
        bytes += 64;
        count -= 64;
    }
    // Four 16-byte lanes into one: each moves forward to the last lane.
    const __m128i a0 = _mm512_castsi512_si128(z0);
    const __m128i a1 = _mm512_extracti32x4_epi32(z0, 1);
    const __m128i a2 = _mm512_extracti32x4_epi32(z0, 2);
    const __m128i a3 = _mm512_extracti32x4_epi32(z0, 3);
    const __m128i zero = _mm_setzero_si128();
    __m128i x = fold16(a0, fold_constants<384>(), a3);
    x = _mm_xor_si128(x, fold16(a1, fold_constants<256>(), zero));
    x = _mm_xor_si128(x, fold16(a2, fold_constants<128>(), zero));
    crc = fold16_finish(x, &bytes, &count);
    return crc32_slice8(bytes, count, crc);
}

#pragma GCC diagnostic pop

void detect_cpu_kernels(int* available)
{
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) {
        return;
    }
    const int has_pclmul = (ecx >> 1) & 1u;
    const int has_sse41 = (ecx >> 19) & 1u;
    const int has_osxsave = (ecx >> 27) & 1u;
    available[CRC32_KERNEL_PCLMUL] = has_pclmul && has_sse41;
    if (!available[CRC32_KERNEL_PCLMUL] || !has_osxsave) {
        return;
    }
    // The operating system must save the vector state the kernel uses: the
    // YMM halves for 256 bits, and the mask and upper ZMM state for 512.
    unsigned xcr0_lo = 0;
    unsigned xcr0_hi = 0;
    __asm__ volatile("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
    const unsigned ymm_state = 0x02u | 0x04u;
    const unsigned zmm_state = ymm_state | 0x20u | 0x40u | 0x80u;
    if ((xcr0_lo & ymm_state) != ymm_state || !__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) {
        return;
    }
    const int has_avx2 = (ebx >> 5) & 1u;
    const int has_avx512f = (ebx >> 16) & 1u;
    const int has_vpclmul = (ecx >> 10) & 1u;
    available[CRC32_KERNEL_VPCLMUL256] = has_avx2 && has_vpclmul;
    available[CRC32_KERNEL_VPCLMUL] =
        (xcr0_lo & zmm_state) == zmm_state && has_avx512f && has_vpclmul;
}

#endif

} // namespace

void crc32_kernels_init()
{
    if (kernels.built) {
        return;
    }
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t value = i;
        for (int step = 0; step < 8; ++step) {
            value = (value & 1u) ? (value >> 1) ^ CRC32_POLY_REFLECTED : value >> 1;
        }
        kernels.table[0][i] = value;
    }
    for (int t = 1; t < 8; ++t) {
        for (int i = 0; i < 256; ++i) {
            const std::uint32_t prev = kernels.table[t - 1][i];
            kernels.table[t][i] = (prev >> 8) ^ kernels.table[0][prev & 0xFFu];
        }
    }
    kernels.available[CRC32_KERNEL_BYTEWISE] = 1;
    kernels.available[CRC32_KERNEL_SLICE8] = 1;
#if QUORVEL_CRC_X86
    detect_cpu_kernels(kernels.available);
#endif
    kernels.selected = CRC32_KERNEL_SLICE8;
    for (int k = CRC32_KERNEL_COUNT - 1; k > CRC32_KERNEL_SLICE8; --k) {
        if (kernels.available[k]) {
            kernels.selected = k;
            break;
        }
    }
    kernels.built = 1;
}

int crc32_kernel_available(int kernel)
{
    crc32_kernels_init();
    return kernel >= 0 && kernel < CRC32_KERNEL_COUNT && kernels.available[kernel];
}

const char* crc32_kernel_name(int kernel)
{
    static const char* const names[CRC32_KERNEL_COUNT] = {"bytewise", "slice8", "pclmul",
                                                          "vpclmul256", "vpclmul"};
    return kernel >= 0 && kernel < CRC32_KERNEL_COUNT ? names[kernel] : "none";
}

int crc32_kernel_selected()
{
    crc32_kernels_init();
    return kernels.selected;
}

int crc32_kernel_choose(int kernel)
{
    if (!crc32_kernel_available(kernel)) {
        return 0;
    }
    kernels.selected = kernel;
    return 1;
}

std::uint32_t crc32_kernel_run(int kernel, const std::uint8_t* bytes, std::size_t count,
                               std::uint32_t running)
{
    crc32_kernels_init();
    switch (kernel) {
#if QUORVEL_CRC_X86
    case CRC32_KERNEL_VPCLMUL: return crc32_vpclmul(bytes, count, running);
    case CRC32_KERNEL_VPCLMUL256: return crc32_vpclmul256(bytes, count, running);
    case CRC32_KERNEL_PCLMUL: return crc32_pclmul(bytes, count, running);
#endif
    case CRC32_KERNEL_SLICE8: return crc32_slice8(bytes, count, running);
    default: return crc32_bytewise(bytes, count, running);
    }
}
