// Bitmap text: where each glyph lands, what empty and foreign bytes do.
// Placement is checked against the atlas cells drawn by hand at the
// expected positions, over the whole buffer.
#include "gfx/text.h"

#include "art/art.h"
#include "gfx/image.h"
#include "platform/window.h"
#include "tests/support/offscreen_window.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::uint8_t> snapshot()
{
    return {back_buffer.pixels,
            back_buffer.pixels +
                static_cast<std::ptrdiff_t>(back_buffer.width) * back_buffer.height * 3};
}

constexpr std::uint32_t CLEAR = 0x28325a;

void clear()
{
    offscreen_fill(0x28, 0x32, 0x5a);
}

// Pixels of rows top <= y < bottom that differ from the cleared colour.
int changed_in_rows(std::int32_t top, std::int32_t bottom)
{
    int changed = 0;
    for (std::int32_t y = top; y < bottom; ++y) {
        for (std::int32_t x = 0; x < back_buffer.width; ++x) {
            changed += offscreen_pixel(x, y) != CLEAR;
        }
    }
    return changed;
}

void draw_cell(unsigned code, std::int32_t x, std::int32_t y)
{
    draw_image_region(&ART_FONT, x, y, static_cast<std::int32_t>(code % 16) * 12,
                      static_cast<std::int32_t>(code / 16) * 16, 12, 16);
}

// draw_text of text in the box must equal the text's cells laid by hand
// from (first_x, first_y), 12 pixels apart.
void expect_text_at(const char* text, std::int32_t x, std::int32_t y, std::int32_t w,
                    std::int32_t h, std::int32_t first_x, std::int32_t first_y)
{
    clear();
    offscreen_reset_repaints();
    draw_text(x, y, w, h, text);
    const std::vector<std::uint8_t> drawn = snapshot();
    const int repaints = offscreen_repaints();
    clear();
    const std::size_t n = std::strlen(text);
    for (std::size_t i = 0; i < n; ++i) {
        draw_cell(static_cast<unsigned char>(text[i]), first_x + 12 * static_cast<std::int32_t>(i),
                  first_y);
    }
    EXPECT_TRUE(drawn == snapshot())
        << "\"" << text << "\" in (" << x << ", " << y << ", " << w << ", " << h << ") not at ("
        << first_x << ", " << first_y << ")";
    EXPECT_EQ(repaints, static_cast<int>(n));
}

class TextTest : public ::testing::Test {
protected:
    void SetUp() override { offscreen_open(400, 400); }
};

TEST_F(TextTest, CentresInTheLaunchersBoxes)
{
    expect_text_at("Checking...", 100, 112, 200, 200, 134, 204);
    expect_text_at("Downloading 3 of 7", 50, 262, 0, 32, 50, 270);
    expect_text_at("12.5 MB of 80.0 MB", 50, 326, 0, 32, 50, 334);
    expect_text_at("notes line", 50, 122 + 16 * 5, 0, 32, 50, 130 + 16 * 5);
    expect_text_at("Retry", 100, 262, 200, 100, 170, 304);
    expect_text_at("Play", 100, 262, 200, 100, 176, 304);
}

TEST_F(TextTest, CentringTruncatesTowardZeroAndMayStartLeftOfTheBox)
{
    expect_text_at("abcdefghijklmnopqrst", 100, 50, 200, 0, 80, 50); // 240 wide in 200
    expect_text_at("A", 100, 50, 201, 0, 194, 50);                   // (201 - 12) / 2 = 94
    expect_text_at("A", 100, 50, 1, 0, 95, 50);                      // (1 - 12) / 2 = -5
    expect_text_at("A", 100, 50, 0, 32, 100, 58);
    expect_text_at("A", 100, 50, 0, 16, 100, 50);
    expect_text_at("A", 100, 50, 0, 10, 100, 47); // (10 - 16) / 2 = -3
    expect_text_at("A", 100, 50, 0, 1, 100, 43);  // (1 - 16) / 2 = -7
    expect_text_at("AB", 100, 50, -20, -1, 100, 50);
}

TEST_F(TextTest, EmptyTextDrawsNothingAndAsksForNoRepaint)
{
    clear();
    const std::vector<std::uint8_t> before = snapshot();
    offscreen_reset_repaints();
    draw_text(10, 10, 100, 100, "");
    draw_text(10, 10, 100, 100, nullptr);
    EXPECT_TRUE(before == snapshot());
    EXPECT_EQ(offscreen_repaints(), 0);
}

TEST_F(TextTest, EmptyCellsOnlyMoveThePen)
{
    clear();
    const std::vector<std::uint8_t> before = snapshot();
    draw_text(10, 10, 0, 0, " \n\t\x01\x1f");
    EXPECT_TRUE(before == snapshot());
    // A space or a line feed takes one cell's 12 pixels and breaks nothing.
    expect_text_at("A B", 10, 10, 0, 0, 10, 10);
    clear();
    draw_text(10, 10, 0, 0, "A\nB");
    const std::vector<std::uint8_t> with_line_feed = snapshot();
    clear();
    draw_cell('A', 10, 10);
    draw_cell('B', 34, 10);
    EXPECT_TRUE(with_line_feed == snapshot());
}

TEST_F(TextTest, BytesPastTheAtlasShowAQuestionMarkInTheirCell)
{
    const char foreign[] = {
        'a', static_cast<char>(0xe9), static_cast<char>(0x80), static_cast<char>(0xff), 'b', '\0'};
    clear();
    draw_text(20, 30, 0, 0, foreign);
    const std::vector<std::uint8_t> drawn = snapshot();
    expect_text_at("a???b", 20, 30, 0, 0, 20, 30);
    EXPECT_TRUE(drawn == snapshot());
}

TEST_F(TextTest, ALineRunningOffTheRightEdgeIsCut)
{
    // The first glyph straddles the edge, the rest lie wholly beyond it.
    expect_text_at("MMMM", 394, 0, 0, 0, 394, 0);
    clear();
    draw_text(394, 0, 0, 0, "MMMM");
    EXPECT_GT(changed_in_rows(0, 16), 0);
    EXPECT_EQ(changed_in_rows(16, 400), 0);
}

TEST_F(TextTest, ExtremeBoxesAndLongTextsStayInsideTheBuffer)
{
    std::string long_text(5000, 'W');
    clear();
    draw_text(INT32_MAX - 5, INT32_MAX - 5, INT32_MAX, INT32_MAX, long_text.c_str());
    draw_text(INT32_MIN, INT32_MIN, 1, 1, long_text.c_str());
    EXPECT_EQ(changed_in_rows(0, 400), 0);
    draw_text(-30000, 0, 0, 0, long_text.c_str()); // glyphs at x = 0 .. 399 still show
    EXPECT_GT(changed_in_rows(0, 16), 1000);
    EXPECT_EQ(changed_in_rows(16, 400), 0);
}

} // namespace
