// The launcher's screens composed into the back buffer (no window open):
// each against its reviewed picture, which the end-to-end test also holds
// the real window to, and the composer's and routers' rules.
#include "app/screens.h"
#include "app/startup.h"
#include "gfx/image.h"
#include "platform/window.h"
#include "tests/support/golden_compare.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

class ScreensTest : public ::testing::Test {
protected:
    std::vector<std::uint8_t> pixels = std::vector<std::uint8_t>(400 * 400 * 3, 0);

    void SetUp() override
    {
        back_buffer.pixels = pixels.data();
        back_buffer.width = 400;
        back_buffer.height = 400;
        current_screen = SCREEN_NONE;
        redraw_needed = 1;
        notes_count = 0;
        retry_pressed = 0;
        play_pressed = 0;
        entry_list = nullptr;
        screen_setup();
        widgets_take_changed();
    }

    void TearDown() override
    {
        back_buffer.pixels = nullptr;
        back_buffer.width = 0;
        back_buffer.height = 0;
    }

    void set_notes(std::initializer_list<const char*> lines)
    {
        notes_count = 0;
        for (const char* line : lines) {
            std::snprintf(notes_lines[notes_count++], NOTES_LINE_SIZE, "%s", line);
        }
    }

    // Paints the buffer with a marker so that any drawing shows.
    void poison() { std::memset(pixels.data(), 0x5A, pixels.size()); }
    bool untouched() const
    {
        for (std::uint8_t b : pixels) {
            if (b != 0x5A) {
                return false;
            }
        }
        return true;
    }
};

TEST_F(ScreensTest, EachScreenMatchesItsPicture)
{
    screen_compose(); // the first composition: the frame alone
    expect_matches_golden("screens/frame");

    screen_show(SCREEN_CHECKING);
    expect_matches_golden("screens/checking");

    screen_show(SCREEN_RETRY);
    expect_matches_golden("screens/retry");
    std::snprintf(space_text, sizeof space_text, "%s", "12.41MiB more needed");
    screen_show(SCREEN_RETRY);
    expect_matches_golden("screens/retry-space");
    space_text[0] = '\0';
    screen_show(SCREEN_RETRY);
    expect_matches_golden("screens/retry");

    std::snprintf(bytes_text, sizeof bytes_text, "%s", "512.00KiB of 1.00MiB");
    std::snprintf(speed_text, sizeof speed_text, "%s", "Speed: 0Bps");
    std::snprintf(time_text, sizeof time_text, "%s", "Time Rem.: 0:00");
    progress_set(&download_bar, 0.5f);
    screen_show(SCREEN_DOWNLOAD);
    expect_matches_golden("screens/download");

    // While a file waits for its next try, which and how long stand where
    // the time left stood; the line goes with the wait.
    std::snprintf(retry_text, sizeof retry_text, "%s", "Retrying game.pak in 4 s");
    screen_show(SCREEN_DOWNLOAD);
    expect_matches_golden("screens/download-retrying");
    retry_text[0] = '\0';
    screen_show(SCREEN_DOWNLOAD);
    expect_matches_golden("screens/download");

    set_notes({"Quorvel 1.2", "New forest map", "Faster loading"});
    screen_show(SCREEN_READY);
    expect_matches_golden("screens/ready");

    notes_count = 0;
    screen_show(SCREEN_READY);
    expect_matches_golden("screens/ready-empty");

    screen_show(77); // an unknown number composes as the frame alone
    expect_matches_golden("screens/frame");
}

// The fast blitters compose every screen into the same bytes as the plain
// per-pixel forms, whether the frame is drawn or copied from the first
// composition, and whatever the buffer held before.
TEST_F(ScreensTest, FastDrawingComposesEveryScreenLikeTheReferenceForm)
{
    std::snprintf(bytes_text, sizeof bytes_text, "%s", "512.00KiB of 1.00MiB");
    std::snprintf(speed_text, sizeof speed_text, "%s", "Speed: 1.50MiBps");
    std::snprintf(time_text, sizeof time_text, "%s", "Time Rem.: 3:07");
    progress_set(&download_bar, 0.37f);
    set_notes({"Quorvel 1.2", "New forest map", "Faster loading", "x", "yy", "~{|}"});
    const int screens[] = {SCREEN_NONE, SCREEN_CHECKING, SCREEN_RETRY, SCREEN_DOWNLOAD,
                           SCREEN_READY};
    for (int screen : screens) {
        poison();
        blit_set_reference_mode(1);
        screen_show(screen);
        const std::vector<std::uint8_t> reference = pixels;
        blit_set_reference_mode(0);

        screen_forget_frame();
        poison();
        screen_show(screen);
        EXPECT_FALSE(untouched()) << screen;
        EXPECT_TRUE(pixels == reference) << "screen " << screen << ", frame drawn";

        std::memset(pixels.data(), 0xC3, pixels.size());
        screen_show(screen);
        EXPECT_TRUE(pixels == reference) << "screen " << screen << ", frame copied";
    }
}

TEST_F(ScreensTest, DownloadScreenStartsWithTheInitialTexts)
{
    EXPECT_STREQ(bytes_text, "0B of0B");
    EXPECT_STREQ(speed_text, "Speed: 0Bps");
    EXPECT_STREQ(time_text, "Time Rem.: 0s");
    EXPECT_EQ(download_bar.x, 100);
    EXPECT_EQ(download_bar.y, 162);
    EXPECT_EQ(retry_button.x, 100);
    EXPECT_EQ(play_button.y, 262);
}

TEST_F(ScreensTest, ComposesOnlyWhenAskedAndAlwaysWholly)
{
    screen_show(SCREEN_RETRY);
    poison();
    screen_compose();
    EXPECT_TRUE(untouched()) << "nothing asked for a redraw";

    // A hover change of the current button asks for a whole redraw.
    screen_on_mouse_move(200, 300);
    EXPECT_EQ(retry_button.state, BUTTON_STATE_HOVER);
    screen_compose();
    EXPECT_NE(pixels[0], 0x5A) << "the frame was redrawn too";
    EXPECT_EQ(redraw_needed, 0);
}

TEST_F(ScreensTest, MouseReachesOnlyTheCurrentScreensButton)
{
    for (const std::int32_t screen : {SCREEN_NONE, SCREEN_CHECKING, SCREEN_DOWNLOAD}) {
        current_screen = screen;
        screen_on_mouse_move(200, 300);
        screen_on_mouse_down(200, 300, 0);
        screen_on_mouse_up(200, 300, 0);
        EXPECT_EQ(retry_button.state, BUTTON_STATE_NORMAL) << screen;
        EXPECT_EQ(play_button.state, BUTTON_STATE_NORMAL) << screen;
    }
    EXPECT_EQ(retry_pressed, 0);
    EXPECT_EQ(play_pressed, 0);

    current_screen = SCREEN_RETRY;
    screen_on_mouse_down(200, 300, 0);
    screen_on_mouse_up(200, 300, 0);
    EXPECT_EQ(retry_pressed, 1);
    EXPECT_EQ(play_button.state, BUTTON_STATE_NORMAL);
    // Left in hover after the click, until the next move.
    EXPECT_EQ(retry_button.state, BUTTON_STATE_HOVER);
}

TEST_F(ScreensTest, PlayWithoutAnExecutableStartsNothingAndStillEnds)
{
    current_screen = SCREEN_READY;
    play_pressed = 0;
    screen_on_mouse_down(150, 270, 0);
    screen_on_mouse_up(150, 270, 0);
    EXPECT_EQ(play_pressed, 1);
    EXPECT_EQ(retry_pressed, 0);
}

TEST_F(ScreensTest, SixNotesLinesEndAboveTheButton)
{
    set_notes({"1", "2", "3", "4", "5", "6"});
    screen_show(SCREEN_READY);
    // Line 6's box starts at y 202, so its glyphs start at 210: the "6"
    // glyph is drawn there, and nothing of the notes reaches the button.
    std::vector<std::uint8_t> with_six = pixels;
    set_notes({"1", "2", "3", "4", "5"});
    screen_show(SCREEN_READY);
    int first_row = -1;
    int last_row = -1;
    for (int y = 0; y < 400; ++y) {
        for (int x = 0; x < 400; ++x) {
            const std::size_t i = static_cast<std::size_t>(y * 400 + x) * 3;
            if (std::memcmp(&with_six[i], &pixels[i], 3) != 0) {
                first_row = first_row < 0 ? y : first_row;
                last_row = y;
            }
        }
    }
    EXPECT_GE(first_row, 210);
    EXPECT_LT(last_row, 226);
}

} // namespace
