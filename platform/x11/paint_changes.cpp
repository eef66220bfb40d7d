#include "platform/x11/paint_changes.h"

#include <cstring>

namespace {

std::int64_t area(const PaintRect& r)
{
    return std::int64_t{r.right - r.left} * std::int64_t{r.bottom - r.top};
}

// Adds the changed span [left, right) of row y, which lies below every
// rectangle listed so far. It joins the last rectangle when one rectangle
// over both carries fewer unchanged pixels than a separate one costs: while
// downloading, the bar's moving edge and the changed characters of the
// texts stay a few narrow rectangles instead of one box around them all.
void add_span(PaintChanges* changes, std::int32_t y, std::int32_t left, std::int32_t right)
{
    if (changes->count > 0) {
        PaintRect* last = &changes->rects[changes->count - 1];
        PaintRect joined = {left < last->left ? left : last->left, last->top,
                            right > last->right ? right : last->right, y + 1};
        const std::int64_t apart = area(*last) + (right - left) + PAINT_RECT_COST_PX;
        if (area(joined) <= apart || changes->count == PAINT_RECTS_MAX) {
            *last = joined;
            return;
        }
    }
    changes->rects[changes->count++] = {left, y, right, y + 1};
}

std::uint64_t load_word(const std::uint8_t* p)
{
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

// Index of the first byte where a and b differ; they differ somewhere
// before n. Eight bytes per step over the equal stretch.
std::size_t first_difference(const std::uint8_t* a, const std::uint8_t* b, std::size_t n)
{
    std::size_t i = 0;
    while (i + 8 <= n && load_word(a + i) == load_word(b + i)) {
        i += 8;
    }
    while (a[i] == b[i]) {
        ++i;
    }
    return i;
}

// One past the last byte where a and b differ; they differ somewhere
// before n.
std::size_t difference_end(const std::uint8_t* a, const std::uint8_t* b, std::size_t n)
{
    std::size_t end = n;
    while (end >= 8 && load_word(a + end - 8) == load_word(b + end - 8)) {
        end -= 8;
    }
    while (a[end - 1] == b[end - 1]) {
        --end;
    }
    return end;
}

} // namespace

void paint_take_changes(const PixelLayout& layout, const std::uint8_t* now, std::uint8_t* shown,
                        std::uint8_t* image, std::size_t image_stride, std::int32_t width,
                        std::int32_t height, PaintChanges* changes)
{
    changes->count = 0;
    if (width <= 0 || height <= 0) {
        return;
    }
    const std::size_t row_bytes = static_cast<std::size_t>(width) * 3u;
    const std::size_t image_pixel_bytes = static_cast<std::size_t>(layout.bits_per_pixel / 8);
    for (std::int32_t y = 0; y < height; ++y) {
        const std::uint8_t* now_row = now + static_cast<std::size_t>(y) * row_bytes;
        std::uint8_t* shown_row = shown + static_cast<std::size_t>(y) * row_bytes;
        if (std::memcmp(now_row, shown_row, row_bytes) == 0) {
            continue;
        }
        const std::size_t first = first_difference(now_row, shown_row, row_bytes);
        const std::size_t end = difference_end(now_row, shown_row, row_bytes);
        const std::size_t left = first / 3;
        const std::size_t right = (end + 2) / 3;
        std::memcpy(shown_row + left * 3, now_row + left * 3, (right - left) * 3);
        pixel_convert_row(layout, now_row + left * 3,
                          image + static_cast<std::size_t>(y) * image_stride +
                              left * image_pixel_bytes,
                          static_cast<int>(right - left));
        add_span(changes, y, static_cast<std::int32_t>(left), static_cast<std::int32_t>(right));
    }
}
