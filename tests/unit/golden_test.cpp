// Whole pictures compared pixel for pixel with reviewed reference PNGs in
// tests/golden. Set QUORVEL_UPDATE_GOLDEN=1 to rewrite the references from
// what is drawn now (then look at them before committing). On a mismatch
// the drawn picture and a diff picture (differing pixels red) are written
// to the build tree's golden-out folder.
#include "art/art.h"
#include "gfx/image.h"
#include "gfx/text.h"
#include "gfx/widgets.h"
#include "platform/window.h"
#include "tests/support/offscreen_window.h"
#include "tests/support/golden_compare.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// A grey checkerboard, so that transparency in the pictures shows.
void checkerboard()
{
    for (std::int32_t y = 0; y < back_buffer.height; y += 8) {
        for (std::int32_t x = 0; x < back_buffer.width; x += 8) {
            const std::uint8_t v = ((x + y) / 8) % 2 == 0 ? 96 : 136;
            offscreen_fill_rect(x, y, x + 8, y + 8, v, v, v);
        }
    }
}

void background()
{
    draw_image_region(&ART_BACKGROUND, 0, 0, 0, 0, back_buffer.width, back_buffer.height);
}

// A one-pixel outline just outside a box, to show where centring aims.
void outline(std::int32_t x, std::int32_t y, std::int32_t w, std::int32_t h)
{
    offscreen_fill_rect(x - 1, y - 1, x + w + 1, y, 150, 120, 60);
    offscreen_fill_rect(x - 1, y + h, x + w + 1, y + h + 1, 150, 120, 60);
    offscreen_fill_rect(x - 1, y, x, y + h, 150, 120, 60);
    offscreen_fill_rect(x + w, y, x + w + 1, y + h, 150, 120, 60);
}

TEST(GoldenTest, ArtSheet)
{
    offscreen_open(640, 560);
    checkerboard();
    draw_image(&ART_BACKGROUND, 10, 10);
    draw_image(&ART_NOTICE, 220, 10);
    draw_image(&ART_FONT, 430, 10);
    draw_image(&ART_CORNER_TL, 430, 150);
    draw_image(&ART_CORNER_TR, 476, 150);
    draw_image(&ART_CORNER_BL, 430, 196);
    draw_image(&ART_CORNER_BR, 476, 196);
    draw_image(&ART_LOGO, 10, 220);
    draw_image(&ART_BUTTON_NORMAL, 10, 305);
    draw_image(&ART_BUTTON_HOVER, 220, 305);
    draw_image(&ART_BUTTON_PRESSED, 430, 305);
    // The background tiled over a strip wider and taller than one tile.
    draw_image_region(&ART_BACKGROUND, 10, 415, 0, 0, 620, 135);
    expect_matches_golden("art_sheet");
}

TEST(GoldenTest, Text)
{
    offscreen_open(480, 320);
    background();
    char rows[3][33] = {};
    for (int code = 32; code <= 126; ++code) {
        rows[(code - 32) / 32][(code - 32) % 32] = static_cast<char>(code);
    }
    // Uncentred: the top-left of the first glyph at the given point.
    for (int i = 0; i < 3; ++i) {
        draw_text(12, 10 + 20 * i, 0, 0, rows[i]);
    }
    // Centred in outlined boxes.
    for (int i = 0; i < 3; ++i) {
        outline(12, 80 + 34 * i, 456, 28);
        draw_text(12, 80 + 34 * i, 456, 28, rows[i]);
    }
    outline(140, 190, 200, 32);
    draw_text(140, 190, 200, 32, "Checking...");
    outline(180, 232, 120, 24);
    draw_text(180, 232, 120, 24, "wider than its box");
    // Symbol cells, then bytes past the atlas (shown as '?').
    draw_text(12, 276, 0, 0, "\x16 \x18\x19\x1a\x1b \x7f  caf\xe9 \x80\xff");
    draw_text(12, 296, 0, 0, "line\nfeed  Quorvel 1.0 - 42%");
    expect_matches_golden("text");
}

TEST(GoldenTest, ButtonsAndBars)
{
    offscreen_open(630, 380);
    background();
    const char* captions[] = {"Play", "Retry", "Play"};
    for (std::int32_t state = 0; state <= 2; ++state) {
        const Button b{10 + 205 * state,
                       10,
                       200,
                       100,
                       &ART_BUTTON_NORMAL,
                       &ART_BUTTON_HOVER,
                       &ART_BUTTON_PRESSED,
                       captions[state],
                       state,
                       nullptr};
        button_draw(&b);
    }
    const float fractions[] = {0.0f, 0.004f, 0.5f, 1.0f, 1.5f};
    const char* labels[] = {"0", "0.004", "0.5", "1", "1.5"};
    for (int i = 0; i < 5; ++i) {
        const ProgressBar bar{10 + 205 * (i % 3), 120 + 130 * (i / 3), &ART_BUTTON_HOVER,
                              &ART_BUTTON_NORMAL, fractions[i],        fractions[i]};
        progress_draw(&bar);
        draw_text(bar.x, bar.y + 102, 200, 0, labels[i]);
    }
    expect_matches_golden("buttons_and_bars");
}

// --- the PNG files themselves

TEST(PngFileTest, WhatIsWrittenReadsBackExactly)
{
    RgbPicture p;
    p.width = 300; // rows of 901 bytes: several stored blocks
    p.height = 150;
    p.rgb.resize(300 * 150 * 3);
    for (std::size_t i = 0; i < p.rgb.size(); ++i) {
        p.rgb[i] = static_cast<std::uint8_t>(i * 7 + i / 901);
    }
    RgbPicture back;
    ASSERT_EQ(png_decode(png_encode(p), &back), 1);
    EXPECT_EQ(back.width, 300);
    EXPECT_EQ(back.height, 150);
    EXPECT_TRUE(back.rgb == p.rgb);
}

TEST(PngFileTest, RejectsDamageAndFormatsItDoesNotWrite)
{
    RgbPicture p;
    p.width = 4;
    p.height = 3;
    p.rgb.assign(4 * 3 * 3, 200);
    const std::string good = png_encode(p);
    RgbPicture back;
    ASSERT_EQ(png_decode(good, &back), 1);
    std::string bad = good;
    bad[good.size() / 2] ^= 0x10; // inside the image data: checksum fails
    EXPECT_EQ(png_decode(bad, &back), 0);
    EXPECT_EQ(png_decode(good.substr(0, good.size() - 13), &back), 0) << "no end chunk";
    EXPECT_EQ(png_decode(good.substr(0, 20), &back), 0);
    EXPECT_EQ(png_decode(std::string(), &back), 0);
    bad = good;
    bad[0] = 'X';
    EXPECT_EQ(png_decode(bad, &back), 0);
}

} // namespace
