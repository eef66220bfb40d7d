// The built-in pictures: sizes, alpha content, font layout; and the
// unpacker that turns their stored text into pixels.
#include "art/art.h"

#include "art/art_decode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::uint8_t alpha_at(const Image& image, std::int32_t x, std::int32_t y)
{
    return image.pixels[(y * image.width + x) * 4 + 3];
}

struct AlphaCounts {
    int clear = 0;
    int partial = 0;
    int opaque = 0;
};

AlphaCounts count_alpha(const Image& image, std::int32_t left, std::int32_t top, std::int32_t right,
                        std::int32_t bottom)
{
    AlphaCounts c;
    for (std::int32_t y = top; y < bottom; ++y) {
        for (std::int32_t x = left; x < right; ++x) {
            const std::uint8_t a = alpha_at(image, x, y);
            if (a == 0) {
                ++c.clear;
            } else if (a == 255) {
                ++c.opaque;
            } else {
                ++c.partial;
            }
        }
    }
    return c;
}

AlphaCounts count_alpha(const Image& image)
{
    return count_alpha(image, 0, 0, image.width, image.height);
}

TEST(ArtTest, EveryPictureHasItsSizeAndFourBytesPerPixel)
{
    struct Expected {
        const Image* image;
        std::int32_t width;
        std::int32_t height;
    };
    const Expected all[] = {
        {&ART_BACKGROUND, 200, 200},     {&ART_CORNER_TL, 36, 36},
        {&ART_CORNER_TR, 36, 36},        {&ART_CORNER_BL, 36, 36},
        {&ART_CORNER_BR, 36, 36},        {&ART_LOGO, 300, 75},
        {&ART_NOTICE, 200, 200},         {&ART_FONT, 192, 128},
        {&ART_BUTTON_NORMAL, 200, 100},  {&ART_BUTTON_HOVER, 200, 100},
        {&ART_BUTTON_PRESSED, 200, 100},
    };
    for (const Expected& e : all) {
        EXPECT_EQ(e.image->width, e.width);
        EXPECT_EQ(e.image->height, e.height);
        EXPECT_EQ(e.image->bytes_per_pixel, 4);
        ASSERT_NE(e.image->pixels, nullptr);
        // Unpacked: no picture is left all zero.
        EXPECT_GT(count_alpha(*e.image).opaque, 0) << e.width << "x" << e.height;
    }
}

TEST(ArtTest, BackgroundIsOpaqueEverywhere)
{
    const AlphaCounts c = count_alpha(ART_BACKGROUND);
    EXPECT_EQ(c.opaque, 200 * 200);
}

TEST(ArtTest, OrnamentsAndLogoAreSoftShapesOnAClearGround)
{
    for (const Image* corner : {&ART_CORNER_TL, &ART_CORNER_TR, &ART_CORNER_BL, &ART_CORNER_BR}) {
        const AlphaCounts c = count_alpha(*corner);
        EXPECT_GT(c.clear, 36 * 36 / 2) << "mostly transparent";
        EXPECT_GT(c.partial, 20) << "soft edges";
    }
    // Each corner points into its own corner of the window: its opaque
    // gem sits near that corner and the far corner is clear.
    EXPECT_EQ(alpha_at(ART_CORNER_TL, 6, 6), 255);
    EXPECT_EQ(alpha_at(ART_CORNER_TR, 29, 6), 255);
    EXPECT_EQ(alpha_at(ART_CORNER_BL, 6, 29), 255);
    EXPECT_EQ(alpha_at(ART_CORNER_BR, 29, 29), 255);
    EXPECT_EQ(alpha_at(ART_CORNER_TL, 35, 35), 0);
    EXPECT_EQ(alpha_at(ART_CORNER_BR, 0, 0), 0);

    const AlphaCounts logo = count_alpha(ART_LOGO);
    EXPECT_GT(logo.partial, 500);
    EXPECT_GT(logo.opaque, 1000);
    // The surround: the outermost frame of the logo is clear.
    EXPECT_EQ(count_alpha(ART_LOGO, 0, 0, 300, 1).clear, 300);
    EXPECT_EQ(count_alpha(ART_LOGO, 0, 74, 300, 75).clear, 300);
    EXPECT_EQ(count_alpha(ART_LOGO, 0, 0, 1, 75).clear, 75);
    EXPECT_EQ(count_alpha(ART_LOGO, 299, 0, 300, 75).clear, 75);
}

TEST(ArtTest, NoticeIsACentralEmblemWithScatteredSpecks)
{
    EXPECT_EQ(alpha_at(ART_NOTICE, 100, 100), 255);
    EXPECT_EQ(count_alpha(ART_NOTICE, 0, 0, 200, 2).opaque, 0);
    // Specks: something visible well away from the emblem, in every half.
    const AlphaCounts left = count_alpha(ART_NOTICE, 0, 0, 25, 200);
    const AlphaCounts right = count_alpha(ART_NOTICE, 175, 0, 200, 200);
    EXPECT_GT(left.partial + left.opaque, 0);
    EXPECT_GT(right.partial + right.opaque, 0);
    EXPECT_GT(left.clear, left.partial + left.opaque);
}

TEST(ArtTest, FontHasGlyphsExactlyInTheCellsThatShouldHaveThem)
{
    for (unsigned code = 0; code < 128; ++code) {
        const std::int32_t x = static_cast<std::int32_t>(code % 16) * 12;
        const std::int32_t y = static_cast<std::int32_t>(code / 16) * 16;
        const AlphaCounts c = count_alpha(ART_FONT, x, y, x + 12, y + 16);
        const bool glyph =
            (code >= 33 && code <= 126) || code == 22 || (code >= 24 && code <= 27) || code == 127;
        if (glyph) {
            EXPECT_GT(c.opaque, 0) << "cell " << code;
            EXPECT_GT(c.partial, 0) << "cell " << code << " has no soft edge";
        } else {
            EXPECT_EQ(c.clear, 12 * 16) << "cell " << code << " should be empty";
        }
    }
    // The triangles point where their codes say: the up triangle is widest
    // at the bottom, the down one at the top, right and left likewise.
    auto row_ink = [](unsigned code, std::int32_t row) {
        const std::int32_t x = static_cast<std::int32_t>(code % 16) * 12;
        const std::int32_t y = static_cast<std::int32_t>(code / 16) * 16;
        const AlphaCounts c = count_alpha(ART_FONT, x, y + row, x + 12, y + row + 1);
        return c.opaque + c.partial;
    };
    auto column_ink = [](unsigned code, std::int32_t column) {
        const std::int32_t x = static_cast<std::int32_t>(code % 16) * 12;
        const std::int32_t y = static_cast<std::int32_t>(code / 16) * 16;
        const AlphaCounts c = count_alpha(ART_FONT, x + column, y, x + column + 1, y + 16);
        return c.opaque + c.partial;
    };
    EXPECT_GT(row_ink(24, 11), row_ink(24, 4));
    EXPECT_GT(row_ink(25, 5), row_ink(25, 12));
    EXPECT_GT(column_ink(26, 2), column_ink(26, 9));
    EXPECT_GT(column_ink(27, 9), column_ink(27, 2));
}

TEST(ArtTest, ButtonFacesShareOneFrameAndDifferInside)
{
    const Image* faces[] = {&ART_BUTTON_NORMAL, &ART_BUTTON_HOVER, &ART_BUTTON_PRESSED};
    for (const Image* face : faces) {
        EXPECT_EQ(alpha_at(*face, 100, 5), 255) << "frame top";
        EXPECT_EQ(alpha_at(*face, 5, 50), 255) << "frame left";
        EXPECT_EQ(alpha_at(*face, 0, 0), 0) << "rounded corner";
        EXPECT_GT(count_alpha(*face).partial, 100) << "soft edges";
    }
    const AlphaCounts normal = count_alpha(ART_BUTTON_NORMAL, 20, 20, 180, 80);
    EXPECT_EQ(normal.clear, 160 * 60) << "the normal face is clear inside";
    const AlphaCounts hover = count_alpha(ART_BUTTON_HOVER, 20, 20, 180, 80);
    EXPECT_EQ(hover.clear, 0);
    EXPECT_GE(alpha_at(ART_BUTTON_HOVER, 100, 50), 200) << "mostly opaque";
    const std::uint8_t tint = alpha_at(ART_BUTTON_PRESSED, 100, 50);
    EXPECT_GT(tint, 0);
    EXPECT_LT(tint, 100) << "faint";
}

// --- the unpacker

std::string base64(const std::vector<std::uint8_t>& bytes)
{
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::uint32_t b0 = bytes[i];
        const std::uint32_t b1 = i + 1 < bytes.size() ? bytes[i + 1] : 0;
        const std::uint32_t b2 = i + 2 < bytes.size() ? bytes[i + 2] : 0;
        const std::uint32_t v = (b0 << 16) | (b1 << 8) | b2;
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? alphabet[(v >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? alphabet[v & 63] : '=';
    }
    return out;
}

// Decodes into a buffer with guard bytes on both sides; the guards must
// survive whatever the text says.
int decode_guarded(const std::string& text, std::size_t size, std::vector<std::uint8_t>* out)
{
    std::vector<std::uint8_t> buffer(size + 16, 0xaa);
    const int ok = art_decode(text.c_str(), buffer.data() + 8, size);
    for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(buffer[i], 0xaa);
        EXPECT_EQ(buffer[size + 8 + i], 0xaa);
    }
    out->assign(buffer.begin() + 8, buffer.begin() + 8 + static_cast<std::ptrdiff_t>(size));
    return ok;
}

TEST(ArtDecodeTest, UnpacksRunsAndLiterals)
{
    // Two repeats of one pixel, then a literal of two pixels, then a run of
    // 128 (the longest one control byte gives).
    const std::vector<std::uint8_t> code = {0x81, 1,  2,  3,  4,    0x01, 5, 6, 7, 8,
                                            9,    10, 11, 12, 0xff, 0,    0, 0, 0};
    std::vector<std::uint8_t> out;
    ASSERT_EQ(decode_guarded(base64(code), (4 + 128) * 4, &out), 1);
    const std::vector<std::uint8_t> start = {1, 2, 3, 4, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    EXPECT_TRUE(std::equal(start.begin(), start.end(), out.begin()));
    EXPECT_TRUE(std::all_of(out.begin() + 16, out.end(), [](std::uint8_t b) { return b == 0; }));
}

TEST(ArtDecodeTest, RejectsMalformedTextWithoutWritingPastTheBuffer)
{
    std::vector<std::uint8_t> out;
    const std::vector<std::uint8_t> two_pixels = {0x81, 9, 9, 9, 9};
    EXPECT_EQ(decode_guarded(base64(two_pixels), 4, &out), 0) << "longer than the buffer";
    EXPECT_EQ(out, std::vector<std::uint8_t>({9, 9, 9, 9}));
    EXPECT_EQ(decode_guarded(base64(two_pixels), 12, &out), 0) << "shorter than the buffer";
    EXPECT_EQ(out, std::vector<std::uint8_t>({9, 9, 9, 9, 9, 9, 9, 9, 0, 0, 0, 0}));
    const std::vector<std::uint8_t> cut_literal = {0x02, 1, 2, 3, 4, 5, 6};
    EXPECT_EQ(decode_guarded(base64(cut_literal), 12, &out), 0);
    const std::vector<std::uint8_t> cut_run = {0x85, 1, 2};
    EXPECT_EQ(decode_guarded(base64(cut_run), 24, &out), 0);
    EXPECT_EQ(decode_guarded(base64(two_pixels) + "!!", 8, &out), 0) << "stray characters";
    EXPECT_EQ(decode_guarded("gQkJ*QkJ", 8, &out), 0);
    EXPECT_EQ(decode_guarded(base64(two_pixels), 7, &out), 0) << "not whole pixels";
    EXPECT_EQ(art_decode(nullptr, out.data(), 4), 0);
    EXPECT_EQ(art_decode("", nullptr, 4), 0);
    EXPECT_EQ(decode_guarded("", 0, &out), 1);
}

} // namespace
