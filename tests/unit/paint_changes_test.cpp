// What the X11 window sends again after a change: every changed pixel, in
// few and small rectangles, with its copies brought up to date.
#include "platform/x11/paint_changes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

constexpr PixelLayout LAYOUTS[] = {
    {32, 0, 0xFF0000u, 0xFF00u, 0xFFu}, // the usual 24-bit visual
    {24, 0, 0xFF0000u, 0xFF00u, 0xFFu}, // packed
    {16, 1, 0xF800u, 0x07E0u, 0x001Fu}, // 565, most significant byte first
    {8, 0, 0xE0u, 0x1Cu, 0x03u},        // 332
};
constexpr std::uint8_t IMAGE_PAD = 0x5A; // the bytes past each image row

struct Window {
    PixelLayout layout;
    std::int32_t width;
    std::int32_t height;
    std::size_t stride;
    std::vector<std::uint8_t> shown; // as last painted
    std::vector<std::uint8_t> image; // shown, converted
};

// The image rows carry 5 bytes of padding that nothing may touch.
Window window_showing(const PixelLayout& layout, const std::vector<std::uint8_t>& pixels,
                      std::int32_t width, std::int32_t height)
{
    Window w = {layout, width, height, 0, pixels, {}};
    w.stride = static_cast<std::size_t>(width * layout.bits_per_pixel / 8) + 5;
    w.image.assign(w.stride * static_cast<std::size_t>(height), IMAGE_PAD);
    for (std::int32_t y = 0; y < height; ++y) {
        pixel_convert_row(layout, pixels.data() + static_cast<std::size_t>(y * width * 3),
                          w.image.data() + static_cast<std::size_t>(y) * w.stride, width);
    }
    return w;
}

PaintChanges take(Window* w, const std::vector<std::uint8_t>& now)
{
    PaintChanges changes;
    changes.count = -1;
    paint_take_changes(w->layout, now.data(), w->shown.data(), w->image.data(), w->stride, w->width,
                       w->height, &changes);
    return changes;
}

std::int64_t total_area(const PaintChanges& changes)
{
    std::int64_t sum = 0;
    for (int i = 0; i < changes.count; ++i) {
        const PaintRect& r = changes.rects[i];
        sum += std::int64_t{r.right - r.left} * (r.bottom - r.top);
    }
    return sum;
}

// The window after the paint: copies equal to a fresh conversion of now,
// every changed pixel inside exactly one rectangle, all inside the window.
void expect_brought_up_to_date(const Window& w, const std::vector<std::uint8_t>& before,
                               const std::vector<std::uint8_t>& now, const PaintChanges& changes)
{
    EXPECT_TRUE(w.shown == now);
    EXPECT_TRUE(w.image == window_showing(w.layout, now, w.width, w.height).image);
    ASSERT_GE(changes.count, 0);
    ASSERT_LE(changes.count, PAINT_RECTS_MAX);
    for (int i = 0; i < changes.count; ++i) {
        const PaintRect& r = changes.rects[i];
        EXPECT_TRUE(0 <= r.left && r.left < r.right && r.right <= w.width) << i;
        EXPECT_TRUE(0 <= r.top && r.top < r.bottom && r.bottom <= w.height) << i;
    }
    for (std::int32_t y = 0; y < w.height; ++y) {
        for (std::int32_t x = 0; x < w.width; ++x) {
            int holders = 0;
            for (int i = 0; i < changes.count; ++i) {
                const PaintRect& r = changes.rects[i];
                holders += x >= r.left && x < r.right && y >= r.top && y < r.bottom;
            }
            const std::size_t at = static_cast<std::size_t>((y * w.width + x) * 3);
            const bool changed = before[at] != now[at] || before[at + 1] != now[at + 1] ||
                                 before[at + 2] != now[at + 2];
            EXPECT_LE(holders, 1) << x << "," << y << ": rectangles overlap";
            if (changed) {
                ASSERT_EQ(holders, 1) << x << "," << y << ": changed pixel not sent";
            }
        }
    }
}

void fill_rect(std::vector<std::uint8_t>* pixels, std::int32_t width, std::int32_t left,
               std::int32_t top, std::int32_t w, std::int32_t h, std::uint8_t value)
{
    for (std::int32_t y = top; y < top + h; ++y) {
        for (std::int32_t x = left; x < left + w; ++x) {
            for (int c = 0; c < 3; ++c) {
                (*pixels)[static_cast<std::size_t>((y * width + x) * 3 + c)] =
                    static_cast<std::uint8_t>(value + c);
            }
        }
    }
}

} // namespace

TEST(PaintChanges, RandomChangesAreAllSentAndBothCopiesFollow)
{
    std::mt19937 rng(20261209);
    for (int trial = 0; trial < 400; ++trial) {
        const PixelLayout& layout = LAYOUTS[trial % 4];
        const std::int32_t width = 1 + static_cast<std::int32_t>(rng() % 70);
        const std::int32_t height = 1 + static_cast<std::int32_t>(rng() % 50);
        std::vector<std::uint8_t> before(static_cast<std::size_t>(width * height * 3));
        for (auto& b : before) {
            b = static_cast<std::uint8_t>(rng());
        }
        Window w = window_showing(layout, before, width, height);
        std::vector<std::uint8_t> now = before;
        const int edits = static_cast<int>(rng() % 12);
        for (int e = 0; e < edits; ++e) {
            if (rng() % 2 == 0) {
                // One byte: a change of one channel, at either end of a row too.
                now[rng() % now.size()] ^= static_cast<std::uint8_t>(1 + rng() % 255);
            } else {
                const std::int32_t left = static_cast<std::int32_t>(rng() % width);
                const std::int32_t top = static_cast<std::int32_t>(rng() % height);
                fill_rect(&now, width, left, top,
                          1 + static_cast<std::int32_t>(rng() % (width - left)),
                          1 + static_cast<std::int32_t>(rng() % (height - top)),
                          static_cast<std::uint8_t>(rng()));
            }
        }
        const PaintChanges changes = take(&w, now);
        expect_brought_up_to_date(w, before, now, changes);
        if (now == before) {
            EXPECT_EQ(changes.count, 0);
        }
        if (HasFatalFailure() || HasFailure()) {
            FAIL() << "trial " << trial << ", " << width << "x" << height;
        }
    }
}

// A download screen's change: the bar's edge one column further, and a
// few characters of two text lines. They go as narrow rectangles, not as
// one box from the bar to the last text line.
TEST(PaintChanges, SeparateSmallChangesStaySmall)
{
    const std::int32_t width = 400;
    const std::int32_t height = 400;
    std::vector<std::uint8_t> before(static_cast<std::size_t>(width * height * 3), 40);
    Window w = window_showing(LAYOUTS[0], before, width, height);
    std::vector<std::uint8_t> now = before;
    fill_rect(&now, width, 180, 162, 1, 100, 200); // the bar's edge
    fill_rect(&now, width, 74, 270, 36, 16, 220);  // three characters
    fill_rect(&now, width, 134, 302, 24, 16, 220); // two more, a line below
    const std::int64_t changed = 100 + 36 * 16 + 24 * 16;
    const PaintChanges changes = take(&w, now);
    expect_brought_up_to_date(w, before, now, changes);
    EXPECT_EQ(changes.count, 3);
    EXPECT_EQ(total_area(changes), changed);

    // Touching changes that barely widen each other become one rectangle.
    std::vector<std::uint8_t> next = now;
    fill_rect(&next, width, 10, 10, 50, 10, 90);
    fill_rect(&next, width, 12, 20, 50, 10, 91);
    const PaintChanges joined = take(&w, next);
    expect_brought_up_to_date(w, now, next, joined);
    ASSERT_EQ(joined.count, 1);
    EXPECT_EQ(total_area(joined), 52 * 20);
}

TEST(PaintChanges, NothingChangedSendsNothingAndTouchesNothing)
{
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(30 * 20 * 3), 7);
    Window w = window_showing(LAYOUTS[2], pixels, 30, 20);
    const std::vector<std::uint8_t> image = w.image;
    const PaintChanges changes = take(&w, pixels);
    EXPECT_EQ(changes.count, 0);
    EXPECT_TRUE(w.image == image);
}

// More scattered changes than there are rectangles: the last one takes in
// the rest, so nothing is left unsent.
TEST(PaintChanges, ChangesBeyondTheListAreTakenInByTheLastRectangle)
{
    const std::int32_t width = 1000;
    const std::int32_t height = 200;
    std::vector<std::uint8_t> before(static_cast<std::size_t>(width * height * 3), 0);
    Window w = window_showing(LAYOUTS[1], before, width, height);
    std::vector<std::uint8_t> now = before;
    for (std::int32_t y = 0; y < height; y += 2) {
        fill_rect(&now, width, (y / 2) % 2 == 0 ? 0 : width - 1, y, 1, 1, 255);
    }
    const PaintChanges changes = take(&w, now);
    EXPECT_EQ(changes.count, PAINT_RECTS_MAX);
    expect_brought_up_to_date(w, before, now, changes);
}
