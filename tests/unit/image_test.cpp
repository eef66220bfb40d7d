// The blitters and draw operations, checked pixel by pixel on an
// off-screen back buffer.
#include "gfx/image.h"

#include "platform/window.h"
#include "tests/support/offscreen_window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <random>
#include <vector>

namespace {

// A picture whose every pixel tells where it came from: R = column,
// G = row, B = 7, A as given. Held in an exactly sized heap block so that
// the sanitizer build catches any read outside it.
struct CodedPicture {
    std::vector<std::uint8_t> bytes;
    Image image{};

    CodedPicture(std::int32_t w, std::int32_t h, std::int32_t bpp, std::uint8_t alpha = 255)
        : bytes(static_cast<std::size_t>(w * h * bpp))
    {
        for (std::int32_t y = 0; y < h; ++y) {
            for (std::int32_t x = 0; x < w; ++x) {
                std::uint8_t* p = &bytes[static_cast<std::size_t>((y * w + x) * bpp)];
                p[0] = static_cast<std::uint8_t>(x);
                p[1] = static_cast<std::uint8_t>(y);
                p[2] = 7;
                if (bpp == 4) {
                    p[3] = alpha;
                }
            }
        }
        image = Image{w, h, bpp, bytes.data()};
    }
};

std::uint32_t coded(std::int32_t column, std::int32_t row)
{
    return (static_cast<std::uint32_t>(column) << 16) | (static_cast<std::uint32_t>(row) << 8) | 7u;
}

constexpr std::uint32_t GREY = 0x404040;

// One solid 1 x 1 RGBA picture.
struct Dot {
    std::uint8_t rgba[4];
    Image image{1, 1, 4, rgba};
    Dot(std::uint8_t r, std::uint8_t g, std::uint8_t b, std::uint8_t a) : rgba{r, g, b, a} {}
};

class ImageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        offscreen_open(400, 400);
        offscreen_fill(0x40, 0x40, 0x40);
    }

    static int untouched_outside(std::int32_t left, std::int32_t top, std::int32_t right,
                                 std::int32_t bottom)
    {
        int changed = 0;
        for (std::int32_t y = 0; y < back_buffer.height; ++y) {
            for (std::int32_t x = 0; x < back_buffer.width; ++x) {
                const bool inside = x >= left && x < right && y >= top && y < bottom;
                if (!inside && offscreen_pixel(x, y) != GREY) {
                    ++changed;
                }
            }
        }
        return changed == 0;
    }
};

TEST_F(ImageTest, CopiesEveryPixelWithChannelsSwappedIntoTheBuffer)
{
    CodedPicture pic(36, 20, 4);
    draw_image(&pic.image, 5, 9);
    for (std::int32_t y = 0; y < 20; ++y) {
        for (std::int32_t x = 0; x < 36; ++x) {
            ASSERT_EQ(offscreen_pixel(5 + x, 9 + y), coded(x, y)) << x << "," << y;
        }
    }
    // The buffer holds B, G, R: byte 0 is the picture's B, byte 2 its R.
    const std::uint8_t* p = back_buffer.pixels + (9 * 400 + 5 + 3) * 3;
    EXPECT_EQ(p[0], 7);
    EXPECT_EQ(p[1], 0);
    EXPECT_EQ(p[2], 3);
    EXPECT_TRUE(untouched_outside(5, 9, 41, 29));
    EXPECT_EQ(offscreen_repaints(), 1);
}

TEST_F(ImageTest, ClipsAtTheLeftAndTopEdgesKeepingTheVisiblePartInPlace)
{
    CodedPicture pic(36, 36, 4);
    draw_image(&pic.image, -10, 0);
    for (std::int32_t x = 0; x <= 25; ++x) {
        ASSERT_EQ(offscreen_pixel(x, 0), coded(x + 10, 0));
        ASSERT_EQ(offscreen_pixel(x, 35), coded(x + 10, 35));
    }
    EXPECT_TRUE(untouched_outside(0, 0, 26, 36));

    offscreen_fill(0x40, 0x40, 0x40);
    draw_image(&pic.image, 3, -30);
    for (std::int32_t y = 0; y <= 5; ++y) {
        ASSERT_EQ(offscreen_pixel(3, y), coded(0, y + 30));
    }
    EXPECT_TRUE(untouched_outside(3, 0, 39, 6));

    offscreen_fill(0x40, 0x40, 0x40);
    draw_image(&pic.image, -35, -35); // only the bottom-right pixel is left
    EXPECT_EQ(offscreen_pixel(0, 0), coded(35, 35));
    EXPECT_TRUE(untouched_outside(0, 0, 1, 1));
}

TEST_F(ImageTest, ReachesTheLastColumnAndRowAndCutsWhatPassesThem)
{
    CodedPicture pic(36, 36, 4);
    draw_image(&pic.image, 364, 364); // ends exactly at the edges
    EXPECT_EQ(offscreen_pixel(399, 399), coded(35, 35));
    EXPECT_EQ(offscreen_pixel(364, 364), coded(0, 0));

    offscreen_fill(0x40, 0x40, 0x40);
    draw_image(&pic.image, 390, 395); // passes both edges
    EXPECT_EQ(offscreen_pixel(399, 395), coded(9, 0));
    EXPECT_EQ(offscreen_pixel(390, 399), coded(0, 4));
    EXPECT_EQ(offscreen_pixel(399, 399), coded(9, 4));
    EXPECT_TRUE(untouched_outside(390, 395, 400, 400));
}

TEST_F(ImageTest, OutsideOrEmptyRectanglesDrawNothingButStillAskForARepaint)
{
    CodedPicture pic(36, 36, 4);
    CodedPicture rgb(36, 36, 3);
    draw_image(&pic.image, -36, 10);  // right edge at 0
    draw_image(&pic.image, 400, 10);  // left edge at the width
    draw_image(&pic.image, 10, -36);  // bottom edge at 0
    draw_image(&pic.image, 10, 400);  // top edge at the height
    draw_image(&rgb.image, 401, 401); // beyond both
    draw_image_region(&pic.image, 50, 50, 0, 0, 0, 10);
    draw_image_region(&pic.image, 50, 50, 0, 0, 10, 0);
    draw_image_region(&pic.image, 50, 50, 0, 0, -5, -5);
    draw_image_columns(&pic.image, 50, 50, -3, 0);
    draw_image_rows(&pic.image, 50, 50, 0, 0);
    EXPECT_TRUE(untouched_outside(0, 0, 0, 0));
    EXPECT_EQ(offscreen_repaints(), 10);
}

TEST_F(ImageTest, BlittersThemselvesNeverAskForARepaint)
{
    CodedPicture pic(8, 8, 4);
    CodedPicture rgb(8, 8, 3);
    blit_rgba(&pic.image, 0, 8, 0, 8, 0, 0);
    blit_rgb(&rgb.image, 8, 16, 0, 8, 0, 0);
    EXPECT_EQ(offscreen_pixel(7, 7), coded(7, 7));
    EXPECT_EQ(offscreen_pixel(8, 0), coded(0, 0));
    EXPECT_EQ(offscreen_repaints(), 0);
}

TEST_F(ImageTest, ALargerRegionTilesThePictureFromTheSourceStart)
{
    CodedPicture pic(200, 200, 4);
    draw_image_region(&pic.image, 0, 0, 0, 0, 400, 400);
    for (std::int32_t y = 0; y < 400; y += 7) {
        for (std::int32_t x = 0; x < 400; x += 3) {
            ASSERT_EQ(offscreen_pixel(x, y), coded(x % 200, y % 200)) << x << "," << y;
        }
    }
    EXPECT_EQ(offscreen_pixel(399, 399), coded(199, 199));

    offscreen_fill(0x40, 0x40, 0x40);
    draw_image_region(&pic.image, 0, 0, 50, 0, 400, 400);
    for (std::int32_t y = 0; y < 400; y += 13) {
        ASSERT_EQ(offscreen_pixel(0, y), coded(50, y % 200)); // each row restarts at 50
        ASSERT_EQ(offscreen_pixel(149, y), coded(199, y % 200));
        ASSERT_EQ(offscreen_pixel(150, y), coded(0, y % 200));
        ASSERT_EQ(offscreen_pixel(350, y), coded(0, y % 200));
    }
    // Offsets at or past the size wrap by the same modulo, rows too.
    offscreen_fill(0x40, 0x40, 0x40);
    draw_image_region(&pic.image, 10, 20, 430, 610, 5, 5);
    EXPECT_EQ(offscreen_pixel(10, 20), coded(30, 10));
}

TEST_F(ImageTest, ColumnAndRowBandsTakeTheirSourceStartAndThePicturesOtherSide)
{
    CodedPicture pic(40, 30, 4);
    draw_image_columns(&pic.image, 100, 100, 5, 12);
    EXPECT_EQ(offscreen_pixel(100, 100), coded(12, 0));
    EXPECT_EQ(offscreen_pixel(104, 129), coded(16, 29));
    EXPECT_TRUE(untouched_outside(100, 100, 105, 130));

    offscreen_fill(0x40, 0x40, 0x40);
    draw_image_rows(&pic.image, 100, 100, 4, 20);
    EXPECT_EQ(offscreen_pixel(100, 100), coded(0, 20));
    EXPECT_EQ(offscreen_pixel(139, 103), coded(39, 23));
    EXPECT_TRUE(untouched_outside(100, 100, 140, 104));
}

TEST_F(ImageTest, BlendsWithTheShiftByEight)
{
    struct Case {
        std::uint8_t alpha;
        std::uint8_t source; // every channel
        std::uint8_t buffer; // every channel
        std::uint8_t expect;
    };
    const Case cases[] = {
        {0, 0, 255, 255},     // transparent: untouched
        {255, 0, 255, 0},     // opaque: exact copy
        {255, 255, 0, 255},   //
        {128, 0, 255, 126},   // (255 * 127) >> 8
        {254, 255, 255, 254}, // (255 * 1 + 255 * 254) >> 8
        {1, 255, 255, 254},   // never 255 once blended
        {128, 255, 0, 127},   // (255 * 128) >> 8
    };
    for (const Case& c : cases) {
        offscreen_fill(c.buffer, c.buffer, c.buffer);
        Dot dot(c.source, c.source, c.source, c.alpha);
        draw_image(&dot.image, 3, 4);
        const std::uint32_t e = c.expect;
        EXPECT_EQ(offscreen_pixel(3, 4), (e << 16) | (e << 8) | e)
            << "alpha " << int(c.alpha) << " source " << int(c.source);
    }
    // Channels blend separately, each with its own buffer byte.
    offscreen_fill(250, 5, 77);
    Dot dot(10, 200, 30, 100);
    draw_image(&dot.image, 0, 0);
    const std::uint32_t r = (250u * 155u + 10u * 100u) >> 8;
    const std::uint32_t g = (5u * 155u + 200u * 100u) >> 8;
    const std::uint32_t b = (77u * 155u + 30u * 100u) >> 8;
    EXPECT_EQ(offscreen_pixel(0, 0), (r << 16) | (g << 8) | b);
}

TEST_F(ImageTest, ThreeBytePicturesAreCopiedWithoutTransparency)
{
    // Bytes that would read as alpha 0 in a 4-byte picture.
    std::uint8_t rgb[6] = {0, 0, 0, 200, 100, 50};
    Image image{2, 1, 3, rgb};
    draw_image(&image, 10, 10);
    EXPECT_EQ(offscreen_pixel(10, 10), 0x000000u);
    EXPECT_EQ(offscreen_pixel(11, 10), 0xc86432u);
    // Any other byte count goes to the copying blitter too.
    std::uint8_t five[5] = {1, 2, 3, 0, 0};
    Image odd{1, 1, 5, five};
    draw_image(&odd, 20, 20);
    EXPECT_EQ(offscreen_pixel(20, 20), 0x010203u);
}

TEST_F(ImageTest, NegativeAndExtremeOffsetsNeverReadOutsideThePicture)
{
    CodedPicture pic(36, 20, 4);
    // Negative source offsets wrap like positive ones.
    draw_image_region(&pic.image, 0, 0, -1, -1, 2, 2);
    EXPECT_EQ(offscreen_pixel(0, 0), coded(35, 19));
    EXPECT_EQ(offscreen_pixel(1, 1), coded(0, 0));
    draw_image_region(&pic.image, 10, 10, -37, -41, 1, 1);
    EXPECT_EQ(offscreen_pixel(10, 10), coded(35, 19));
    // The extremes of the coordinate range, in every argument.
    const std::int32_t extremes[] = {INT32_MIN, INT32_MIN + 1, -1, INT32_MAX - 1, INT32_MAX};
    for (std::int32_t a : extremes) {
        for (std::int32_t b : extremes) {
            draw_image_region(&pic.image, a, 0, b, a, 400, 400);
            draw_image_region(&pic.image, 0, a, a, b, b, 400);
            draw_image_columns(&pic.image, a, b, a, b);
            draw_image_rows(&pic.image, b, a, b, a);
            draw_image(&pic.image, a, b);
            blit_rgba(&pic.image, a, b, INT32_MIN, INT32_MAX, a, b);
        }
    }
    // A left edge of INT32_MIN over the whole buffer: the source start moves
    // by 2^31 columns, wrapped in 64 bits.
    offscreen_fill(0x40, 0x40, 0x40);
    blit_rgba(&pic.image, INT32_MIN, 400, 0, 400, 0, 0);
    const std::int64_t shift = -static_cast<std::int64_t>(INT32_MIN);
    EXPECT_EQ(offscreen_pixel(0, 0), coded(static_cast<std::int32_t>(shift % 36), 0));
}

TEST_F(ImageTest, PicturesWithoutPixelsAndMissingBuffersAreSkipped)
{
    CodedPicture pic(4, 4, 4);
    Image empty_w{0, 4, 4, pic.bytes.data()};
    Image empty_h{4, -1, 4, pic.bytes.data()};
    Image no_pixels{4, 4, 4, nullptr};
    Image tiny_pixels{4, 4, 2, pic.bytes.data()};
    draw_image_region(&empty_w, 0, 0, 0, 0, 10, 10);
    draw_image_region(&empty_h, 0, 0, 0, 0, 10, 10);
    draw_image_region(&no_pixels, 0, 0, 0, 0, 10, 10);
    draw_image_region(&tiny_pixels, 0, 0, 0, 0, 10, 10);
    draw_image(nullptr, 0, 0);
    EXPECT_TRUE(untouched_outside(0, 0, 0, 0));
    EXPECT_EQ(offscreen_repaints(), 5);

    // No window yet: a buffer of 0 x 0 without memory.
    const BackBuffer saved = back_buffer;
    back_buffer = BackBuffer{nullptr, 0, 0};
    draw_image(&pic.image, 0, 0);
    draw_image_region(&pic.image, -5, -5, 0, 0, 10, 10);
    back_buffer = saved;
    EXPECT_EQ(offscreen_repaints(), 7);
}

} // namespace

namespace {

// Random pictures and rectangles: the fast blitters leave the very bytes the
// reference forms leave, over any clipping, offset, wrap and alpha mix.
TEST(BlitFastPaths, MatchTheReferenceFormsByteForByte)
{
    offscreen_open(97, 61);
    const std::size_t buffer_bytes = static_cast<std::size_t>(97 * 61 * 3);
    std::mt19937 rng(2024);
    auto pick = [&rng](std::int32_t low, std::int32_t high) {
        const std::int64_t span = std::int64_t{high} - low + 1;
        return static_cast<std::int32_t>(low + static_cast<std::int64_t>(rng()) % span);
    };
    std::vector<std::uint8_t> start(buffer_bytes);
    std::vector<std::uint8_t> fast_result(buffer_bytes);
    for (int round = 0; round < 3000; ++round) {
        const std::int32_t w = pick(1, 90);
        const std::int32_t h = pick(1, 30);
        const std::int32_t bpp = pick(3, 4);
        std::vector<std::uint8_t> pixels(static_cast<std::size_t>(w * h * bpp));
        const int alpha_style = pick(0, 4);
        for (std::size_t i = 0; i < pixels.size(); ++i) {
            pixels[i] = static_cast<std::uint8_t>(rng());
            if (bpp == 4 && i % 4 == 3) {
                // Runs of clear and solid pixels as well as blends, and
                // long opaque stretches with the odd exception in them.
                const auto r = rng() % 4;
                const auto rare = rng() % 60;
                pixels[i] = alpha_style == 0   ? pixels[i]
                            : alpha_style == 1 ? static_cast<std::uint8_t>(r < 2 ? 0 : 255)
                            : alpha_style == 2 ? (r == 0   ? pixels[i]
                                                  : r == 1 ? 0
                                                           : 255)
                            : alpha_style == 3 ? 255
                            : rare == 0        ? 0
                            : rare == 1        ? pixels[i]
                                               : 255;
            }
        }
        const Image image{w, h, bpp, pixels.data()};
        for (auto& b : start) {
            b = static_cast<std::uint8_t>(rng());
        }
        const std::int32_t left = pick(-60, 110);
        const std::int32_t top = pick(-40, 70);
        const std::int32_t right = left + pick(-3, 150);
        const std::int32_t bottom = top + pick(-3, 100);
        const std::int32_t sx = round % 7 == 0 ? pick(INT32_MIN / 2, INT32_MAX / 2) : pick(-90, 90);
        const std::int32_t sy =
            round % 11 == 0 ? pick(INT32_MIN / 2, INT32_MAX / 2) : pick(-70, 70);
        for (int rgba = 0; rgba < 2; ++rgba) {
            auto* fast = rgba ? blit_rgba : blit_rgb;
            auto* reference = rgba ? blit_rgba_reference : blit_rgb_reference;
            std::copy(start.begin(), start.end(), back_buffer.pixels);
            fast(&image, left, right, top, bottom, sx, sy);
            std::copy(back_buffer.pixels, back_buffer.pixels + buffer_bytes, fast_result.begin());
            std::copy(start.begin(), start.end(), back_buffer.pixels);
            reference(&image, left, right, top, bottom, sx, sy);
            ASSERT_TRUE(std::equal(fast_result.begin(), fast_result.end(), back_buffer.pixels))
                << (rgba ? "rgba" : "rgb") << " round " << round << " " << w << "x" << h << "x"
                << bpp << " rect " << left << "," << top << "-" << right << "," << bottom
                << " source " << sx << "," << sy;
        }
    }
}

} // namespace
