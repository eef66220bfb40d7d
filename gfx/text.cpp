// Bitmap text: one atlas cell per byte, drawn through draw_image_region.
#include "gfx/text.h"

#include "art/art.h"
#include "gfx/image.h"

#include <cstdint>

namespace {

constexpr std::int32_t ATLAS_COLUMNS = 16;
constexpr unsigned ATLAS_CELLS = 128;
// Bytes past the atlas (128-255, e.g. accented letters of a downloaded notes
// file) show a question mark, so a reader sees that something is there.
constexpr unsigned SUBSTITUTE_CELL = '?';

std::int32_t pin(std::int64_t v)
{
    if (v > INT32_MAX) {
        return INT32_MAX;
    }
    if (v < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<std::int32_t>(v);
}

} // namespace

void draw_text(std::int32_t x, std::int32_t y, std::int32_t w, std::int32_t h, const char* text)
{
    if (text == nullptr) {
        return;
    }
    std::int64_t length = 0;
    while (text[length] != '\0') {
        ++length;
    }
    // 64-bit sums: a long text or a box near the limits cannot overflow.
    // C++ division truncates toward zero, as the centring requires.
    std::int64_t pen = x;
    std::int64_t top = y;
    if (w > 0) {
        pen += (std::int64_t{w} - GLYPH_WIDTH * length) / 2;
    }
    if (h > 0) {
        top += (std::int64_t{h} - GLYPH_HEIGHT) / 2;
    }
    for (std::int64_t i = 0; i < length; ++i) {
        unsigned code = static_cast<unsigned char>(text[i]);
        if (code >= ATLAS_CELLS) {
            code = SUBSTITUTE_CELL;
        }
        const std::int32_t sx = static_cast<std::int32_t>(code % ATLAS_COLUMNS) * GLYPH_WIDTH;
        const std::int32_t sy = static_cast<std::int32_t>(code / ATLAS_COLUMNS) * GLYPH_HEIGHT;
        draw_image_region(&ART_FONT, pin(pen), pin(top), sx, sy, GLYPH_WIDTH, GLYPH_HEIGHT);
        pen += GLYPH_WIDTH;
    }
}
