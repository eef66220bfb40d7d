// Conversion of the back buffer's B, G, R bytes into the pixel layout of an
// X visual (any TrueColor masks, 8 to 32 bits per pixel, either byte order).
// Pure arithmetic, no X header, so it is testable without a display.
#pragma once

#include <cstdint>

struct PixelLayout {
    int bits_per_pixel; // 8, 16, 24 or 32
    int msb_first;      // 1 when the image's byte order is most significant byte first
    std::uint32_t red_mask;
    std::uint32_t green_mask;
    std::uint32_t blue_mask;
};

// 1 when the layout can be produced by pixel_convert_row: a supported pixel
// size and three non-empty, contiguous, non-overlapping masks that fit in it.
int pixel_layout_valid(const PixelLayout& layout);

// The pixel value for one colour: each channel keeps its top bits (or has
// them repeated into the low bits when its mask is wider than 8 bits).
std::uint32_t pixel_pack(const PixelLayout& layout, std::uint8_t r, std::uint8_t g, std::uint8_t b);

// Converts count pixels of B, G, R bytes into out, bits_per_pixel / 8 bytes
// each in the layout's byte order.
void pixel_convert_row(const PixelLayout& layout, const std::uint8_t* bgr, std::uint8_t* out,
                       int count);
