// A test-only stand-in for the window backend: the back buffer lives in
// ordinary memory and window_invalidate only counts its calls, so drawing
// code can be tested without a display.
#pragma once

#include <cstdint>

// Replaces the back buffer with a w x h one, every pixel black, and zeroes
// the repaint count.
void offscreen_open(std::int32_t w, std::int32_t h);
// Paints every pixel of the buffer with one colour.
void offscreen_fill(std::uint8_t r, std::uint8_t g, std::uint8_t b);
// Paints left <= x < right, top <= y < bottom (clipped to the buffer).
void offscreen_fill_rect(std::int32_t left, std::int32_t top, std::int32_t right,
                         std::int32_t bottom, std::uint8_t r, std::uint8_t g, std::uint8_t b);
// The pixel at (x, y) as 0xRRGGBB.
std::uint32_t offscreen_pixel(std::int32_t x, std::int32_t y);
// Calls of window_invalidate since the last offscreen_open or reset.
int offscreen_repaints();
void offscreen_reset_repaints();
