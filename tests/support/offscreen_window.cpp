#include "tests/support/offscreen_window.h"

#include "platform/window.h"

#include <vector>

namespace {

struct Offscreen {
    std::vector<std::uint8_t> pixels;
    int repaints = 0;
};
Offscreen offscreen;

} // namespace

void window_invalidate()
{
    ++offscreen.repaints;
}

void offscreen_open(std::int32_t w, std::int32_t h)
{
    offscreen.pixels.assign(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 3u, 0);
    back_buffer.pixels = offscreen.pixels.data();
    back_buffer.width = w;
    back_buffer.height = h;
    offscreen.repaints = 0;
}

void offscreen_fill(std::uint8_t r, std::uint8_t g, std::uint8_t b)
{
    offscreen_fill_rect(0, 0, back_buffer.width, back_buffer.height, r, g, b);
}

void offscreen_fill_rect(std::int32_t left, std::int32_t top, std::int32_t right,
                         std::int32_t bottom, std::uint8_t r, std::uint8_t g, std::uint8_t b)
{
    for (std::int32_t y = top < 0 ? 0 : top; y < bottom && y < back_buffer.height; ++y) {
        for (std::int32_t x = left < 0 ? 0 : left; x < right && x < back_buffer.width; ++x) {
            std::uint8_t* p = back_buffer.pixels + (y * back_buffer.width + x) * 3;
            p[0] = b;
            p[1] = g;
            p[2] = r;
        }
    }
}

std::uint32_t offscreen_pixel(std::int32_t x, std::int32_t y)
{
    const std::uint8_t* p = back_buffer.pixels + (y * back_buffer.width + x) * 3;
    return (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) | p[0];
}

int offscreen_repaints()
{
    return offscreen.repaints;
}

void offscreen_reset_repaints()
{
    offscreen.repaints = 0;
}
