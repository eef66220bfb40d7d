// Button states, hit box, click sequence, drawing; progress bar thresholds
// and drawing, including fractions that are not finite numbers.
#include "gfx/widgets.h"

#include "gfx/text.h"
#include "platform/window.h"
#include "tests/support/offscreen_window.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

namespace {

// A solid opaque picture of one colour.
struct SolidPicture {
    std::vector<std::uint8_t> bytes;
    Image image{};
    SolidPicture(std::int32_t w, std::int32_t h, std::uint8_t r, std::uint8_t g, std::uint8_t b)
        : bytes(static_cast<std::size_t>(w * h * 4))
    {
        for (std::size_t i = 0; i < bytes.size(); i += 4) {
            bytes[i] = r;
            bytes[i + 1] = g;
            bytes[i + 2] = b;
            bytes[i + 3] = 255;
        }
        image = Image{w, h, 4, bytes.data()};
    }
};

Button make_button()
{
    return Button{100,    262, 200, 100, nullptr, nullptr, nullptr, nullptr, BUTTON_STATE_NORMAL,
                  nullptr};
}

class WidgetTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        offscreen_open(400, 400);
        offscreen_fill(0, 0, 0);
        widgets_take_changed();
    }
};

TEST_F(WidgetTest, HitBoxIsHalfOpen)
{
    const Button b = make_button();
    EXPECT_EQ(button_hit(&b, 100, 262), 1);
    EXPECT_EQ(button_hit(&b, 299, 361), 1);
    EXPECT_EQ(button_hit(&b, 300, 262), 0);
    EXPECT_EQ(button_hit(&b, 100, 362), 0);
    EXPECT_EQ(button_hit(&b, 99, 300), 0);
    EXPECT_EQ(button_hit(&b, 150, 261), 0);
    EXPECT_EQ(button_hit(nullptr, 150, 300), 0);
    // A box reaching the end of the coordinate range does not wrap around.
    const Button edge{INT32_MAX - 10, 0, 100, 10, nullptr, nullptr, nullptr, nullptr, 0, nullptr};
    EXPECT_EQ(button_hit(&edge, INT32_MAX, 5), 1);
    EXPECT_EQ(button_hit(&edge, INT32_MIN, 5), 0);
}

TEST_F(WidgetTest, FollowsTheStateTable)
{
    enum Event { MOVE, DOWN, UP };
    struct Row {
        std::int32_t state;
        Event event;
        bool inside;
        std::int32_t next;
        int raised;
    };
    const Row table[] = {
        {0, MOVE, true, 1, 1},  {1, MOVE, true, 1, 0},  {2, MOVE, true, 2, 0},
        {0, MOVE, false, 0, 0}, {1, MOVE, false, 0, 1}, {2, MOVE, false, 0, 1},
        {0, DOWN, true, 2, 1},  {1, DOWN, true, 2, 1},  {2, DOWN, true, 2, 0},
        {0, DOWN, false, 0, 0}, {1, DOWN, false, 1, 0}, {2, DOWN, false, 2, 0},
        {2, UP, true, 1, 1},    {0, UP, true, 0, 0},    {1, UP, true, 1, 0},
        {0, UP, false, 0, 0},   {1, UP, false, 1, 0},   {2, UP, false, 2, 0},
    };
    for (const Row& row : table) {
        Button b = make_button();
        b.state = row.state;
        const std::int32_t x = row.inside ? 150 : 20;
        switch (row.event) {
        case MOVE: button_on_move(&b, x, 300); break;
        case DOWN: button_on_down(&b, x, 300, 0); break;
        case UP: button_on_up(&b, x, 300, 0); break;
        }
        EXPECT_EQ(b.state, row.next) << "from " << row.state << " event " << row.event;
        EXPECT_EQ(widgets_take_changed(), row.raised)
            << "from " << row.state << " event " << row.event;
    }
}

TEST_F(WidgetTest, SkippedEventsChangeNothing)
{
    for (std::int32_t state = 0; state <= 2; ++state) {
        Button b = make_button();
        b.state = state;
        button_on_down(&b, 150, 300, 1);
        button_on_up(&b, 150, 300, 1);
        button_on_down(&b, 150, 300, -7);
        EXPECT_EQ(b.state, state);
        EXPECT_EQ(widgets_take_changed(), 0);
    }
}

struct ClickLog {
    Button* button = nullptr;
    int calls = 0;
    std::int32_t state_seen = -1;
    int changed_seen = -1;
};
ClickLog click_log;

void record_click()
{
    ++click_log.calls;
    click_log.state_seen = click_log.button->state;
    click_log.changed_seen = widget_changed;
}

TEST_F(WidgetTest, AClickRunsTheActionOnceAfterTheStateIsBackToHover)
{
    Button b = make_button();
    b.action = record_click;
    click_log = ClickLog{&b};
    button_on_move(&b, 150, 300);
    EXPECT_EQ(widgets_take_changed(), 1);
    button_on_down(&b, 150, 300, 0);
    EXPECT_EQ(b.state, BUTTON_STATE_PRESSED);
    EXPECT_EQ(widgets_take_changed(), 1);
    button_on_down(&b, 160, 310, 0); // a second press changes nothing
    EXPECT_EQ(widgets_take_changed(), 0);
    EXPECT_EQ(click_log.calls, 0);
    button_on_up(&b, 150, 300, 0);
    EXPECT_EQ(click_log.calls, 1);
    EXPECT_EQ(click_log.state_seen, BUTTON_STATE_HOVER);
    EXPECT_EQ(click_log.changed_seen, 1);
    EXPECT_EQ(widgets_take_changed(), 1);
    button_on_up(&b, 150, 300, 0); // a release without a press
    EXPECT_EQ(click_log.calls, 1);
    // Without an action the click still completes.
    Button quiet = make_button();
    button_on_down(&quiet, 150, 300, 0);
    button_on_up(&quiet, 150, 300, 0);
    EXPECT_EQ(quiet.state, BUTTON_STATE_HOVER);
}

TEST_F(WidgetTest, LeavingWhilePressedCancelsTheClick)
{
    Button b = make_button();
    b.action = record_click;
    click_log = ClickLog{&b};
    button_on_down(&b, 150, 300, 0);
    button_on_move(&b, 20, 20);
    EXPECT_EQ(b.state, BUTTON_STATE_NORMAL);
    button_on_move(&b, 150, 300);
    EXPECT_EQ(b.state, BUTTON_STATE_HOVER);
    button_on_up(&b, 150, 300, 0);
    EXPECT_EQ(click_log.calls, 0);
    EXPECT_EQ(b.state, BUTTON_STATE_HOVER);
}

TEST_F(WidgetTest, AReleaseLostOutsideTheWindowLeavesThePressUntilTheNextMove)
{
    Button b = make_button();
    b.action = record_click;
    click_log = ClickLog{&b};
    button_on_down(&b, 150, 300, 0);
    // The release happened outside the window and never arrived.
    EXPECT_EQ(b.state, BUTTON_STATE_PRESSED);
    button_on_move(&b, 5, 5);
    EXPECT_EQ(b.state, BUTTON_STATE_NORMAL);
    button_on_move(&b, 150, 300);
    button_on_down(&b, 150, 300, 0);
    button_on_up(&b, 150, 300, 0);
    EXPECT_EQ(click_log.calls, 1);
}

TEST_F(WidgetTest, TakeChangedReturnsOneOnceAfterAnyNumberOfRaises)
{
    Button b = make_button();
    button_on_move(&b, 150, 300);
    button_on_move(&b, 5, 5);
    button_on_move(&b, 150, 300);
    EXPECT_EQ(widgets_take_changed(), 1);
    EXPECT_EQ(widgets_take_changed(), 0);
    EXPECT_EQ(widgets_take_changed(), 0);
}

TEST_F(WidgetTest, DrawsTheFaceOfItsStateThenTheCaptionOnTop)
{
    SolidPicture normal(200, 100, 200, 0, 0);
    SolidPicture hover(200, 100, 0, 200, 0);
    SolidPicture pressed(200, 100, 0, 0, 200);
    Button b = make_button();
    b.face_normal = &normal.image;
    b.face_hover = &hover.image;
    b.face_pressed = &pressed.image;
    const std::uint32_t expected[] = {0xc80000, 0x00c800, 0x0000c8};
    for (std::int32_t state = 0; state <= 2; ++state) {
        offscreen_fill(0, 0, 0);
        b.state = state;
        button_draw(&b);
        EXPECT_EQ(offscreen_pixel(100, 262), expected[state]);
        EXPECT_EQ(offscreen_pixel(299, 361), expected[state]);
        EXPECT_EQ(offscreen_pixel(99, 262), 0u);
        EXPECT_EQ(offscreen_pixel(300, 361), 0u);
    }
    // Only the normal face: it stands in for the other two.
    b.face_hover = nullptr;
    b.face_pressed = nullptr;
    for (std::int32_t state = 0; state <= 2; ++state) {
        offscreen_fill(0, 0, 0);
        b.state = state;
        button_draw(&b);
        EXPECT_EQ(offscreen_pixel(150, 300), 0xc80000u) << state;
    }
    // The caption lies over the face: the caption's cells differ from the
    // face's colour, nothing else does.
    b.state = BUTTON_STATE_NORMAL;
    b.caption = "Retry";
    offscreen_fill(0, 0, 0);
    button_draw(&b);
    int caption_pixels = 0;
    for (std::int32_t y = 262; y < 362; ++y) {
        for (std::int32_t x = 100; x < 300; ++x) {
            if (offscreen_pixel(x, y) != 0xc80000u) {
                ASSERT_TRUE(x >= 170 && x < 230 && y >= 304 && y < 320) << x << "," << y;
                ++caption_pixels;
            }
        }
    }
    EXPECT_GT(caption_pixels, 50);
}

TEST_F(WidgetTest, WithoutAFaceOrWithAnUnknownStateOnlyTheCaptionShows)
{
    SolidPicture normal(200, 100, 200, 0, 0);
    Button bare = make_button();
    bare.caption = "Play";
    button_draw(&bare);
    std::vector<std::uint8_t> caption_only(back_buffer.pixels, back_buffer.pixels + 400 * 400 * 3);
    offscreen_fill(0, 0, 0);
    draw_text(100, 262, 200, 100, "Play");
    EXPECT_TRUE(caption_only ==
                std::vector<std::uint8_t>(back_buffer.pixels, back_buffer.pixels + 400 * 400 * 3));
    EXPECT_NE(offscreen_pixel(176 + 4, 304 + 8), 0u) << "the caption should have ink";

    Button odd = make_button();
    odd.face_normal = &normal.image;
    odd.caption = "Play";
    for (std::int32_t state : {3, -1, 1000}) {
        odd.state = state;
        offscreen_fill(0, 0, 0);
        button_draw(&odd);
        EXPECT_EQ(offscreen_pixel(110, 270), 0u) << state;
    }
    button_draw(nullptr);
}

// The launcher's bar: a fill 200 columns wide over a trough of the same size.
class ProgressTest : public WidgetTest {
protected:
    SolidPicture fill{200, 10, 255, 255, 0};
    SolidPicture trough{200, 10, 0, 0, 255};
    ProgressBar bar{100, 200, &fill.image, &trough.image, 0.0f, 0.0f};

    // Columns of the bar showing the fill; -1 when the rows disagree or any
    // pixel is neither fill nor trough.
    int filled_columns()
    {
        int filled = 0;
        for (std::int32_t x = 0; x < 200; ++x) {
            const std::uint32_t top = offscreen_pixel(100 + x, 200);
            if (top != offscreen_pixel(100 + x, 209)) {
                return -1;
            }
            if (top == 0xffff00u) {
                if (filled != x) {
                    return -1;
                }
                ++filled;
            } else if (top != 0x0000ffu) {
                return -1;
            }
        }
        return filled;
    }

    int shown_for(float shown)
    {
        bar.shown = shown;
        offscreen_fill(0, 0, 0);
        progress_draw(&bar);
        return filled_columns();
    }
};

TEST_F(ProgressTest, DrawsTheLeftPartOfTheFillOverTheTrough)
{
    EXPECT_EQ(shown_for(0.0f), 0);
    EXPECT_EQ(shown_for(0.004f), 0);
    EXPECT_EQ(shown_for(0.005f), 0); // the float lies just below 1/200
    EXPECT_EQ(shown_for(0.0051f), 1);
    EXPECT_EQ(shown_for(0.5f), 100);
    EXPECT_EQ(shown_for(0.999f), 199);
    EXPECT_EQ(shown_for(1.0f), 200);
    EXPECT_EQ(shown_for(1.5f), 200);
    EXPECT_EQ(shown_for(-0.3f), 0);
    EXPECT_EQ(offscreen_pixel(99, 200), 0u);
    EXPECT_EQ(offscreen_pixel(300, 200), 0u);
}

TEST_F(ProgressTest, NonFiniteFractionsDrawSafely)
{
    EXPECT_EQ(shown_for(std::numeric_limits<float>::quiet_NaN()), 0);
    EXPECT_EQ(shown_for(-std::numeric_limits<float>::quiet_NaN()), 0);
    EXPECT_EQ(shown_for(-std::numeric_limits<float>::infinity()), 0);
    EXPECT_EQ(shown_for(std::numeric_limits<float>::infinity()), 200);
    EXPECT_EQ(shown_for(std::numeric_limits<float>::max()), 200);
    EXPECT_EQ(shown_for(std::numeric_limits<float>::denorm_min()), 0);
}

TEST_F(ProgressTest, WithoutPicturesOnlyWhatExistsIsDrawn)
{
    bar.trough = nullptr;
    bar.shown = 0.25f;
    progress_draw(&bar);
    EXPECT_EQ(offscreen_pixel(149, 205), 0xffff00u);
    EXPECT_EQ(offscreen_pixel(150, 205), 0u);
    offscreen_fill(0, 0, 0);
    bar.trough = &trough.image;
    bar.fill = nullptr;
    progress_draw(&bar);
    EXPECT_EQ(offscreen_pixel(100, 200), 0x0000ffu);
    EXPECT_EQ(offscreen_pixel(299, 209), 0x0000ffu);
    progress_draw(nullptr);
}

TEST_F(ProgressTest, MovesOnlyWhenTheChangeExceedsOneColumn)
{
    progress_set(&bar, 0.005f);
    EXPECT_EQ(bar.target, 0.005f);
    EXPECT_EQ(bar.shown, 0.0f);
    EXPECT_EQ(widgets_take_changed(), 0);
    progress_set(&bar, 0.003f);
    EXPECT_EQ(widgets_take_changed(), 0);
    progress_set(&bar, 0.006f); // drifted more than a column from what is shown
    EXPECT_EQ(bar.shown, 0.006f);
    EXPECT_EQ(widgets_take_changed(), 1);
    progress_set(&bar, 0.006f);
    EXPECT_EQ(widgets_take_changed(), 0);
    progress_set(&bar, 0.0f); // downwards too
    EXPECT_EQ(bar.shown, 0.0f);
    EXPECT_EQ(widgets_take_changed(), 1);
    progress_set(&bar, 1.0f);
    EXPECT_EQ(bar.shown, 1.0f);
    EXPECT_EQ(bar.target, 1.0f);
}

TEST_F(ProgressTest, AChangeOfExactlyOneColumnIsNotEnough)
{
    // With 256 columns one column is exactly 1/256, so the boundary is exact.
    SolidPicture wide(256, 4, 255, 255, 0);
    bar.fill = &wide.image;
    progress_set(&bar, 1.0f / 256.0f);
    EXPECT_EQ(bar.shown, 0.0f);
    EXPECT_EQ(widgets_take_changed(), 0);
    progress_set(&bar, 1.0f / 256.0f + 1.0f / 65536.0f);
    EXPECT_EQ(bar.shown, 1.0f / 256.0f + 1.0f / 65536.0f);
    EXPECT_EQ(widgets_take_changed(), 1);
}

TEST_F(ProgressTest, NonFiniteTargetsAreRecordedWithoutHarm)
{
    progress_set(&bar, 0.5f);
    widgets_take_changed();
    progress_set(&bar, std::numeric_limits<float>::quiet_NaN());
    EXPECT_TRUE(std::isnan(bar.target));
    EXPECT_EQ(bar.shown, 0.5f); // a NaN is never taken
    EXPECT_EQ(widgets_take_changed(), 0);
    progress_set(&bar, std::numeric_limits<float>::infinity());
    EXPECT_EQ(widgets_take_changed(), 1);
    offscreen_fill(0, 0, 0);
    progress_draw(&bar);
    EXPECT_EQ(filled_columns(), 200);
    progress_set(&bar, 0.25f); // a real value again takes over
    EXPECT_EQ(bar.shown, 0.25f);
    // A shown value that became NaN yields to the next real fraction.
    bar.shown = std::numeric_limits<float>::quiet_NaN();
    progress_set(&bar, 0.25f);
    EXPECT_EQ(bar.shown, 0.25f);
    EXPECT_EQ(widgets_take_changed(), 1);
}

TEST_F(ProgressTest, WithoutAFillEveryNewFractionIsTaken)
{
    bar.fill = nullptr;
    progress_set(&bar, 0.001f);
    EXPECT_EQ(bar.shown, 0.001f);
    EXPECT_EQ(widgets_take_changed(), 1);
    progress_set(&bar, 0.001f);
    EXPECT_EQ(widgets_take_changed(), 0);
    progress_set(&bar, std::numeric_limits<float>::quiet_NaN());
    progress_set(&bar, std::numeric_limits<float>::quiet_NaN());
    EXPECT_TRUE(std::isnan(bar.shown));
    progress_set(nullptr, 0.5f);
}

TEST_F(ProgressTest, CopiesAreIndependentFieldByFieldDuplicates)
{
    bar.shown = 0.25f;
    bar.target = 0.75f;
    ProgressBar* copy = progress_copy(&bar);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->x, 100);
    EXPECT_EQ(copy->y, 200);
    EXPECT_EQ(copy->fill, &fill.image);
    EXPECT_EQ(copy->trough, &trough.image);
    EXPECT_EQ(copy->shown, 0.25f);
    EXPECT_EQ(copy->target, 0.75f);
    copy->shown = 1.0f;
    EXPECT_EQ(bar.shown, 0.25f);
    std::free(copy);

    Button b = make_button();
    b.face_normal = &fill.image;
    b.caption = "Retry";
    b.state = BUTTON_STATE_PRESSED;
    b.action = record_click;
    Button* bc = button_copy(&b);
    ASSERT_NE(bc, nullptr);
    EXPECT_NE(bc, &b);
    EXPECT_EQ(bc->x, 100);
    EXPECT_EQ(bc->h, 100);
    EXPECT_EQ(bc->face_normal, &fill.image);
    EXPECT_EQ(bc->caption, b.caption);
    EXPECT_EQ(bc->state, BUTTON_STATE_PRESSED);
    EXPECT_EQ(bc->action, &record_click);
    bc->state = 0;
    EXPECT_EQ(b.state, BUTTON_STATE_PRESSED);
    std::free(bc);
    EXPECT_EQ(button_copy(nullptr), nullptr);
    EXPECT_EQ(progress_copy(nullptr), nullptr);
}

} // namespace
