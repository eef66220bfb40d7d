// The conversion of B, G, R bytes into the pixel layouts X servers use.
#include "platform/x11/pixel_layout.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

constexpr PixelLayout XRGB8888_LSB = {32, 0, 0xFF0000u, 0xFF00u, 0xFFu};
constexpr PixelLayout XRGB8888_MSB = {32, 1, 0xFF0000u, 0xFF00u, 0xFFu};
constexpr PixelLayout XBGR8888_LSB = {32, 0, 0xFFu, 0xFF00u, 0xFF0000u};
constexpr PixelLayout RGB565_LSB = {16, 0, 0xF800u, 0x07E0u, 0x001Fu};
constexpr PixelLayout RGB565_MSB = {16, 1, 0xF800u, 0x07E0u, 0x001Fu};
constexpr PixelLayout RGB888_PACKED = {24, 0, 0xFF0000u, 0xFF00u, 0xFFu};
constexpr PixelLayout RGB101010 = {32, 0, 0x3FF00000u, 0x000FFC00u, 0x000003FFu};
constexpr PixelLayout RGB332 = {8, 0, 0xE0u, 0x1Cu, 0x03u};

std::vector<std::uint8_t> convert(const PixelLayout& layout, std::vector<std::uint8_t> bgr)
{
    const int count = static_cast<int>(bgr.size() / 3);
    std::vector<std::uint8_t> out(static_cast<std::size_t>(count * layout.bits_per_pixel / 8) + 4,
                                  0xAA);
    pixel_convert_row(layout, bgr.data(), out.data(), count);
    return out;
}

} // namespace

TEST(PixelLayout, AcceptsCommonVisualsAndRejectsBrokenMasks)
{
    for (const PixelLayout& layout :
         {XRGB8888_LSB, XRGB8888_MSB, XBGR8888_LSB, RGB565_LSB, RGB888_PACKED, RGB101010, RGB332}) {
        EXPECT_EQ(pixel_layout_valid(layout), 1) << layout.bits_per_pixel;
    }
    EXPECT_EQ(pixel_layout_valid({15, 0, 0x7C00u, 0x03E0u, 0x001Fu}), 0);  // no such pixel size
    EXPECT_EQ(pixel_layout_valid({16, 0, 0xF800u, 0x07E0u, 0u}), 0);       // empty mask
    EXPECT_EQ(pixel_layout_valid({16, 0, 0xF801u, 0x07E0u, 0x001Eu}), 0);  // split mask
    EXPECT_EQ(pixel_layout_valid({16, 0, 0xFF00u, 0x0FF0u, 0x000Fu}), 0);  // overlapping
    EXPECT_EQ(pixel_layout_valid({16, 0, 0xF8000u, 0x07E0u, 0x001Fu}), 0); // wider than the pixel
}

TEST(PixelLayout, PacksEachChannelIntoItsMask)
{
    EXPECT_EQ(pixel_pack(XRGB8888_LSB, 0x12, 0x34, 0x56), 0x123456u);
    EXPECT_EQ(pixel_pack(XBGR8888_LSB, 0x12, 0x34, 0x56), 0x563412u);
    // 565 keeps the top 5, 6 and 5 bits.
    EXPECT_EQ(pixel_pack(RGB565_LSB, 0xFF, 0x00, 0x00), 0xF800u);
    EXPECT_EQ(pixel_pack(RGB565_LSB, 0x00, 0xFF, 0x00), 0x07E0u);
    EXPECT_EQ(pixel_pack(RGB565_LSB, 0x00, 0x00, 0xFF), 0x001Fu);
    EXPECT_EQ(pixel_pack(RGB565_LSB, 0x87, 0x43, 0x21), (0x10u << 11) | (0x10u << 5) | 0x04u);
    EXPECT_EQ(pixel_pack(RGB332, 0xA0, 0x60, 0xC0), (5u << 5) | (3u << 2) | 3u);
    // Wider than 8 bits: full intensity stays full, black stays black.
    EXPECT_EQ(pixel_pack(RGB101010, 0xFF, 0xFF, 0xFF), 0x3FFFFFFFu);
    EXPECT_EQ(pixel_pack(RGB101010, 0x80, 0, 0), 0x202u << 20);
    EXPECT_EQ(pixel_pack(RGB101010, 0, 0, 0), 0u);
}

TEST(PixelLayout, WritesRowsInTheImageByteOrder)
{
    const std::vector<std::uint8_t> bgr = {0x56, 0x34, 0x12, 0xCC, 0xBB, 0xAA};
    EXPECT_EQ(convert(XRGB8888_LSB, bgr),
              (std::vector<std::uint8_t>{0x56, 0x34, 0x12, 0, 0xCC, 0xBB, 0xAA, 0, 0xAA, 0xAA, 0xAA,
                                         0xAA}));
    EXPECT_EQ(convert(XRGB8888_MSB, bgr),
              (std::vector<std::uint8_t>{0, 0x12, 0x34, 0x56, 0, 0xAA, 0xBB, 0xCC, 0xAA, 0xAA, 0xAA,
                                         0xAA}));
    EXPECT_EQ(convert(XBGR8888_LSB, bgr),
              (std::vector<std::uint8_t>{0x12, 0x34, 0x56, 0, 0xAA, 0xBB, 0xCC, 0, 0xAA, 0xAA, 0xAA,
                                         0xAA}));
    EXPECT_EQ(
        convert(RGB888_PACKED, bgr),
        (std::vector<std::uint8_t>{0x56, 0x34, 0x12, 0xCC, 0xBB, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}));
    // Pure red, then pure blue, in 565 both ways round.
    const std::vector<std::uint8_t> red_blue = {0, 0, 0xFF, 0xFF, 0, 0};
    EXPECT_EQ(convert(RGB565_LSB, red_blue),
              (std::vector<std::uint8_t>{0x00, 0xF8, 0x1F, 0x00, 0xAA, 0xAA, 0xAA, 0xAA}));
    EXPECT_EQ(convert(RGB565_MSB, red_blue),
              (std::vector<std::uint8_t>{0xF8, 0x00, 0x00, 0x1F, 0xAA, 0xAA, 0xAA, 0xAA}));
}
