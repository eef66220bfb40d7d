// Pictures and the two software blitters that put them into the back buffer:
// a copying one for 3 bytes per pixel and an alpha-blending one for 4.
// A destination larger than the picture repeats it (tiling).
#pragma once

#include <cstdint>

// Pixels row by row, top row first, R, G, B(, A) per pixel; A 255 is opaque.
struct Image {
    std::int32_t width;
    std::int32_t height;
    std::int32_t bytes_per_pixel;
    const std::uint8_t* pixels;
};

// Both write the back buffer over left <= x < right, top <= y < bottom,
// starting at source (sx, sy); they request no repaint.
void blit_rgb(const Image* image, std::int32_t left, std::int32_t right, std::int32_t top,
              std::int32_t bottom, std::int32_t sx, std::int32_t sy);
void blit_rgba(const Image* image, std::int32_t left, std::int32_t right, std::int32_t top,
               std::int32_t bottom, std::int32_t sx, std::int32_t sy);

// The plain per-pixel forms of the two blitters, kept as the definition the
// fast ones are tested against; same arguments, same pixels.
void blit_rgb_reference(const Image* image, std::int32_t left, std::int32_t right, std::int32_t top,
                        std::int32_t bottom, std::int32_t sx, std::int32_t sy);
void blit_rgba_reference(const Image* image, std::int32_t left, std::int32_t right,
                         std::int32_t top, std::int32_t bottom, std::int32_t sx, std::int32_t sy);

// 1: the draw operations below use the reference forms (for comparisons).
void blit_set_reference_mode(int on);
int blit_get_reference_mode();

// Each draws, then asks for a repaint of the whole window.
void draw_image(const Image* image, std::int32_t x, std::int32_t y);
void draw_image_region(const Image* image, std::int32_t x, std::int32_t y, std::int32_t sx,
                       std::int32_t sy, std::int32_t w, std::int32_t h);
void draw_image_columns(const Image* image, std::int32_t x, std::int32_t y, std::int32_t w,
                        std::int32_t sx);
void draw_image_rows(const Image* image, std::int32_t x, std::int32_t y, std::int32_t h,
                     std::int32_t sy);
