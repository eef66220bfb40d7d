// The blitters and the four draw operations with arbitrary rectangles and
// source offsets (the full 32-bit range) and arbitrary pictures of every
// pixel size: the sanitizers catch any read outside the picture or write
// outside the back buffer. Pixels outside the clipped rectangle keep their
// colour.
#include "gfx/image.h"
#include "platform/window.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/support/offscreen_window.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzReader in{data, size};
    const std::int32_t buffer_w = 1 + in.take<std::uint8_t>() % 48;
    const std::int32_t buffer_h = 1 + in.take<std::uint8_t>() % 48;
    const std::uint8_t op = in.take<std::uint8_t>();
    Image image{};
    image.width = in.take<std::uint8_t>() % 20;
    image.height = in.take<std::uint8_t>() % 20;
    image.bytes_per_pixel = 1 + in.take<std::uint8_t>() % 5;
    const auto a = in.take<std::int32_t>();
    const auto b = in.take<std::int32_t>();
    const auto c = in.take<std::int32_t>();
    const auto d = in.take<std::int32_t>();
    const auto sx = in.take<std::int32_t>();
    const auto sy = in.take<std::int32_t>();
    // Exactly the picture's bytes, so one byte more is out of bounds.
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(image.width) *
                                     static_cast<std::size_t>(image.height) *
                                     static_cast<std::size_t>(image.bytes_per_pixel));
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] = i < in.size ? in.data[i] : static_cast<std::uint8_t>(i);
    }
    image.pixels = pixels.empty() ? nullptr : pixels.data();

    offscreen_open(buffer_w, buffer_h);
    const std::uint8_t marker = 0x77;
    offscreen_fill(marker, marker, marker);
    switch (op % 6) {
    case 0: blit_rgb(&image, a, b, c, d, sx, sy); break;
    case 1: blit_rgba(&image, a, b, c, d, sx, sy); break;
    case 2: draw_image(&image, a, b); break;
    case 3: draw_image_region(&image, a, b, sx, sy, c, d); break;
    case 4: draw_image_columns(&image, a, b, c, sx); break;
    default: draw_image_rows(&image, a, b, c, sy); break;
    }
    if (op % 6 < 2) {
        // The raw blitters write only inside [left, right) x [top, bottom).
        for (std::int32_t y = 0; y < buffer_h; ++y) {
            for (std::int32_t x = 0; x < buffer_w; ++x) {
                const bool inside = x >= a && x < b && y >= c && y < d;
                if (!inside) {
                    FUZZ_CHECK(offscreen_pixel(x, y) == 0x777777u);
                }
            }
        }
    }
    return 0;
}
