// The two reference blitters and the four draw operations. Each blit is the
// plain per-pixel loop: clip the rectangle to the back buffer, then walk it,
// wrapping the source position by the picture's size so that a rectangle
// larger than the picture tiles it. Faster variants must match these pixel
// for pixel.
#include "gfx/image.h"

#include "platform/window.h"

#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#define QUORVEL_BLIT_X86 1
#include <cpuid.h>
#include <immintrin.h>
#else
#define QUORVEL_BLIT_X86 0
#endif

namespace {

// A source offset wrapped into [0, size): negative offsets wrap too, so no
// offset ever reaches outside the picture. size is always positive here.
std::int64_t wrap(std::int64_t offset, std::int64_t size)
{
    const std::int64_t r = offset % size;
    return r < 0 ? r + size : r;
}

// Edge sums done in 64 bits and pinned to the 32-bit range, so a position
// near the limits cannot overflow into a bogus rectangle.
std::int32_t saturate(std::int64_t v)
{
    if (v > INT32_MAX) {
        return INT32_MAX;
    }
    if (v < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<std::int32_t>(v);
}

struct BlitArea {
    std::int64_t left, right, top, bottom, sx, sy;
};

// Clips to the back buffer; 0 when nothing of the rectangle is left or the
// picture has no pixels to read.
int blit_clip(const Image* image, BlitArea* a)
{
    if (image == nullptr || image->pixels == nullptr || image->width <= 0 || image->height <= 0 ||
        back_buffer.pixels == nullptr) {
        return 0;
    }
    const std::int64_t buffer_w = back_buffer.width;
    const std::int64_t buffer_h = back_buffer.height;
    if (a->right < 0 || a->left > buffer_w || a->bottom < 0 || a->top > buffer_h) {
        return 0;
    }
    if (a->left < 0) {
        a->sx -= a->left;
        a->left = 0;
    }
    if (a->top < 0) {
        a->sy -= a->top;
        a->top = 0;
    }
    if (a->right > buffer_w) {
        a->right = buffer_w;
    }
    if (a->bottom > buffer_h) {
        a->bottom = buffer_h;
    }
    return a->left < a->right && a->top < a->bottom;
}

// The first byte of the source row that buffer row y shows.
const std::uint8_t* source_row(const Image* image, const BlitArea& a, std::int64_t y)
{
    const std::int64_t row = wrap(a.sy + (y - a.top), image->height);
    return image->pixels + row * image->width * image->bytes_per_pixel;
}

// The source pixel that buffer column x shows; every row restarts at sx.
const std::uint8_t* source_pixel(const Image* image, const BlitArea& a, const std::uint8_t* row,
                                 std::int64_t x)
{
    return row + wrap(a.sx + (x - a.left), image->width) * image->bytes_per_pixel;
}

std::uint8_t* dest_pixel(std::int64_t x, std::int64_t y)
{
    return back_buffer.pixels + (y * back_buffer.width + x) * 3;
}

// Two RGBA pixels read as one little-endian 64-bit word: both alphas 255.
constexpr std::uint64_t OPAQUE_PAIR = 0xFF000000FF000000ull;

// One RGBA pixel read as a little-endian word (R lowest) to B, G, R in the
// three low bytes.
inline std::uint32_t bgr_of(std::uint32_t rgba)
{
    return __builtin_bswap32(rgba) >> 8;
}

#if QUORVEL_BLIT_X86
// Opaque pixels sixteen at a time with SSSE3's byte shuffle; stops at the
// first group of sixteen holding a pixel that is not opaque. Returns the
// pixels done. Picked at run time, so the i686 build still runs anywhere.
__attribute__((target("ssse3"))) std::int64_t
copy_opaque_ssse3(const std::uint8_t* s, std::uint8_t* d, std::int64_t pixels)
{
    const __m128i to_bgr = _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    const __m128i alpha_bytes = _mm_set1_epi32(static_cast<int>(0xFF000000u));
    std::int64_t done = 0;
    while (pixels - done >= 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 16));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 32));
        const __m128i e = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 48));
        const __m128i alphas =
            _mm_and_si128(_mm_and_si128(_mm_and_si128(a, b), _mm_and_si128(c, e)), alpha_bytes);
        if (_mm_movemask_epi8(_mm_cmpeq_epi32(alphas, alpha_bytes)) != 0xFFFF) {
            break;
        }
        const __m128i pa = _mm_shuffle_epi8(a, to_bgr);
        const __m128i pb = _mm_shuffle_epi8(b, to_bgr);
        const __m128i pc = _mm_shuffle_epi8(c, to_bgr);
        const __m128i pe = _mm_shuffle_epi8(e, to_bgr);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_or_si128(pa, _mm_slli_si128(pb, 12)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 16),
                         _mm_or_si128(_mm_srli_si128(pb, 4), _mm_slli_si128(pc, 8)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 32),
                         _mm_or_si128(_mm_srli_si128(pc, 8), _mm_slli_si128(pe, 4)));
        s += 64;
        d += 48;
        done += 16;
    }
    return done;
}

int cpu_has_ssse3()
{
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    return __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && ((ecx >> 9) & 1u) != 0;
}
const int blit_has_ssse3 = cpu_has_ssse3();
#endif

// Set by tests and benchmarks to draw everything through the reference forms.
int blit_reference_mode;

void draw_with(const Image* image, std::int64_t left, std::int64_t right, std::int64_t top,
               std::int64_t bottom, std::int32_t sx, std::int32_t sy)
{
    if (image != nullptr) {
        auto* const blit_4 = blit_reference_mode ? blit_rgba_reference : blit_rgba;
        auto* const blit_3 = blit_reference_mode ? blit_rgb_reference : blit_rgb;
        auto* const blit = image->bytes_per_pixel == 4 ? blit_4 : blit_3;
        blit(image, saturate(left), saturate(right), saturate(top), saturate(bottom), sx, sy);
    }
    window_invalidate();
}

} // namespace

// The reference forms visit every pixel of the clipped area in turn:
// put(source pixel, buffer pixel).
template <typename PutPixel>
void blit_each_pixel(const Image* image, const BlitArea& a, PutPixel put)
{
    for (std::int64_t y = a.top; y < a.bottom; ++y) {
        const std::uint8_t* row = source_row(image, a, y);
        for (std::int64_t x = a.left; x < a.right; ++x) {
            put(source_pixel(image, a, row, x), dest_pixel(x, y));
        }
    }
}

// Copies the first three bytes (R, G, B) of each pixel, whatever the pixel
// size; a size below 3 would read past the picture, so it draws nothing.
void blit_rgb_reference(const Image* image, std::int32_t left, std::int32_t right, std::int32_t top,
                        std::int32_t bottom, std::int32_t sx, std::int32_t sy)
{
    BlitArea a{left, right, top, bottom, sx, sy};
    if (!blit_clip(image, &a) || image->bytes_per_pixel < 3) {
        return;
    }
    blit_each_pixel(image, a, [](const std::uint8_t* s, std::uint8_t* d) {
        d[0] = s[2];
        d[1] = s[1];
        d[2] = s[0];
    });
}

void blit_rgba_reference(const Image* image, std::int32_t left, std::int32_t right,
                         std::int32_t top, std::int32_t bottom, std::int32_t sx, std::int32_t sy)
{
    BlitArea a{left, right, top, bottom, sx, sy};
    if (!blit_clip(image, &a) || image->bytes_per_pixel != 4) {
        return;
    }
    blit_each_pixel(image, a, [](const std::uint8_t* s, std::uint8_t* d) {
        const unsigned alpha = s[3];
        if (alpha == 255) {
            d[0] = s[2];
            d[1] = s[1];
            d[2] = s[0];
        } else if (alpha != 0) {
            // Divides by 256, not 255: a blended channel never exceeds 254.
            const unsigned keep = 255 - alpha;
            d[0] = static_cast<std::uint8_t>((d[0] * keep + s[2] * alpha) >> 8);
            d[1] = static_cast<std::uint8_t>((d[1] * keep + s[1] * alpha) >> 8);
            d[2] = static_cast<std::uint8_t>((d[2] * keep + s[0] * alpha) >> 8);
        }
    });
}

// The fast forms: the same clipping and the same pixels, but each buffer row
// is cut into runs that do not cross the picture's right edge, so the wrap
// is worked out once per run rather than once per pixel. copy_run(s, d,
// count) takes count source pixels from s to the buffer at d.
template <typename CopyRun> void blit_runs(const Image* image, const BlitArea& a, CopyRun copy_run)
{
    const std::int64_t bpp = image->bytes_per_pixel;
    const std::int64_t first_column = wrap(a.sx, image->width);
    for (std::int64_t y = a.top; y < a.bottom; ++y) {
        const std::uint8_t* row = source_row(image, a, y);
        std::uint8_t* d = dest_pixel(a.left, y);
        std::int64_t column = first_column;
        std::int64_t remaining = a.right - a.left;
        while (remaining > 0) {
            const std::int64_t run =
                remaining < image->width - column ? remaining : image->width - column;
            copy_run(row + column * bpp, d, run);
            d += run * 3;
            remaining -= run;
            column = 0;
        }
    }
}

void blit_rgb(const Image* image, std::int32_t left, std::int32_t right, std::int32_t top,
              std::int32_t bottom, std::int32_t sx, std::int32_t sy)
{
    BlitArea a{left, right, top, bottom, sx, sy};
    if (!blit_clip(image, &a) || image->bytes_per_pixel < 3) {
        return;
    }
    const std::int64_t bpp = image->bytes_per_pixel;
    blit_runs(image, a, [bpp](const std::uint8_t* s, std::uint8_t* d, std::int64_t run) {
        for (std::int64_t i = 0; i < run; ++i) {
            d[0] = s[2];
            d[1] = s[1];
            d[2] = s[0];
            d += 3;
            s += bpp;
        }
    });
}

void blit_rgba(const Image* image, std::int32_t left, std::int32_t right, std::int32_t top,
               std::int32_t bottom, std::int32_t sx, std::int32_t sy)
{
    BlitArea a{left, right, top, bottom, sx, sy};
    if (!blit_clip(image, &a) || image->bytes_per_pixel != 4) {
        return;
    }
    blit_runs(image, a, [](const std::uint8_t* s, std::uint8_t* d, std::int64_t run) {
        const std::uint8_t* const run_end = s + run * 4;
        while (s < run_end) {
            // Transparent runs are skipped, opaque runs copied.
            while (s < run_end && s[3] == 0) {
                s += 4;
                d += 3;
            }
#if QUORVEL_BLIT_X86
            if (blit_has_ssse3 && run_end - s >= 64 && s[3] == 255) {
                const std::int64_t done = copy_opaque_ssse3(s, d, (run_end - s) / 4);
                s += done * 4;
                d += done * 3;
            }
#endif
            // Four opaque pixels at a time: 16 bytes in, 12 bytes out.
            while (run_end - s >= 16) {
                std::uint64_t first = 0;
                std::uint64_t second = 0;
                std::memcpy(&first, s, 8);
                std::memcpy(&second, s + 8, 8);
                if ((first & second & OPAQUE_PAIR) != OPAQUE_PAIR) {
                    break;
                }
                const std::uint64_t p0 = bgr_of(static_cast<std::uint32_t>(first));
                const std::uint64_t p1 = bgr_of(static_cast<std::uint32_t>(first >> 32));
                const std::uint64_t p2 = bgr_of(static_cast<std::uint32_t>(second));
                const std::uint32_t p3 = bgr_of(static_cast<std::uint32_t>(second >> 32));
                const std::uint64_t low = p0 | (p1 << 24) | (p2 << 48);
                const std::uint32_t high = static_cast<std::uint32_t>(p2 >> 16) | (p3 << 8);
                std::memcpy(d, &low, 8);
                std::memcpy(d + 8, &high, 4);
                s += 16;
                d += 12;
            }
            while (s < run_end && s[3] == 255) {
                d[0] = s[2];
                d[1] = s[1];
                d[2] = s[0];
                s += 4;
                d += 3;
            }
            if (s < run_end && s[3] != 0) {
                const unsigned alpha = s[3];
                const unsigned keep = 255 - alpha;
                d[0] = static_cast<std::uint8_t>((d[0] * keep + s[2] * alpha) >> 8);
                d[1] = static_cast<std::uint8_t>((d[1] * keep + s[1] * alpha) >> 8);
                d[2] = static_cast<std::uint8_t>((d[2] * keep + s[0] * alpha) >> 8);
                s += 4;
                d += 3;
            }
        }
    });
}

void blit_set_reference_mode(int on)
{
    blit_reference_mode = on != 0;
}

int blit_get_reference_mode()
{
    return blit_reference_mode;
}

void draw_image(const Image* image, std::int32_t x, std::int32_t y)
{
    if (image == nullptr) {
        window_invalidate();
        return;
    }
    draw_with(image, x, std::int64_t{x} + image->width, y, std::int64_t{y} + image->height, 0, 0);
}

void draw_image_region(const Image* image, std::int32_t x, std::int32_t y, std::int32_t sx,
                       std::int32_t sy, std::int32_t w, std::int32_t h)
{
    draw_with(image, x, std::int64_t{x} + w, y, std::int64_t{y} + h, sx, sy);
}

void draw_image_columns(const Image* image, std::int32_t x, std::int32_t y, std::int32_t w,
                        std::int32_t sx)
{
    if (image == nullptr) {
        window_invalidate();
        return;
    }
    draw_with(image, x, std::int64_t{x} + w, y, std::int64_t{y} + image->height, sx, 0);
}

void draw_image_rows(const Image* image, std::int32_t x, std::int32_t y, std::int32_t h,
                     std::int32_t sy)
{
    if (image == nullptr) {
        window_invalidate();
        return;
    }
    draw_with(image, x, std::int64_t{x} + image->width, y, std::int64_t{y} + h, 0, sy);
}
