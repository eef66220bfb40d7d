// Which pixels of the window have to be sent again: the back buffer compared
// with a copy of what was last painted. Pure arithmetic, no X header, so it
// is testable without a display.
#pragma once

#include "platform/x11/pixel_layout.h"

#include <cstddef>
#include <cstdint>

struct PaintRect {
    std::int32_t left;
    std::int32_t top;
    std::int32_t right;  // one past the last column
    std::int32_t bottom; // one past the last row
};

constexpr int PAINT_RECTS_MAX = 32;

struct PaintChanges {
    PaintRect rects[PAINT_RECTS_MAX];
    int count;
};

// What one more rectangle costs beside its pixels, in pixels (the request
// and the server's set-up for it): changes further apart than this are kept
// as separate rectangles, nearer ones are joined.
constexpr std::int64_t PAINT_RECT_COST_PX = 256;

// Brings shown (B, G, R rows of width * 3 bytes, no gap) and image (rows of
// image_stride bytes in layout) up to date with now, converting only the
// changed span of each changed row, and lists in changes the rectangles
// that hold every changed pixel. The rectangles never overlap. Past
// PAINT_RECTS_MAX the last one grows to take in the rest.
void paint_take_changes(const PixelLayout& layout, const std::uint8_t* now, std::uint8_t* shown,
                        std::uint8_t* image, std::size_t image_stride, std::int32_t width,
                        std::int32_t height, PaintChanges* changes);
