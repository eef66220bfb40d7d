// Push button and progress bar. Widgets never draw when they change; they
// raise widget_changed for the screen composer.
#include "gfx/widgets.h"

#include "gfx/image.h"
#include "gfx/text.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

std::int32_t widget_changed = 0;

namespace {

void raise_changed()
{
    widget_changed = 1;
}

const Image* button_face(const Button* b)
{
    switch (b->state) {
    case BUTTON_STATE_NORMAL: return b->face_normal;
    case BUTTON_STATE_HOVER: return b->face_hover != nullptr ? b->face_hover : b->face_normal;
    case BUTTON_STATE_PRESSED: return b->face_pressed != nullptr ? b->face_pressed : b->face_normal;
    default: return nullptr;
    }
}

// The fill width when the bar has a usable fill picture, else 0.
std::int32_t fill_width(const ProgressBar* bar)
{
    if (bar->fill == nullptr || bar->fill->width <= 0) {
        return 0;
    }
    return bar->fill->width;
}

} // namespace

int button_hit(const Button* b, std::int32_t x, std::int32_t y)
{
    if (b == nullptr) {
        return 0;
    }
    // 64-bit edges: a box near the limits cannot wrap around.
    const std::int64_t right = std::int64_t{b->x} + b->w;
    const std::int64_t bottom = std::int64_t{b->y} + b->h;
    return b->x <= x && x < right && b->y <= y && y < bottom;
}

void button_draw(const Button* b)
{
    if (b == nullptr) {
        return;
    }
    const Image* face = button_face(b);
    if (face != nullptr) {
        draw_image(face, b->x, b->y);
    }
    if (b->caption != nullptr) {
        draw_text(b->x, b->y, b->w, b->h, b->caption);
    }
}

void button_on_move(Button* b, std::int32_t x, std::int32_t y)
{
    if (b == nullptr) {
        return;
    }
    if (button_hit(b, x, y)) {
        if (b->state == BUTTON_STATE_NORMAL) {
            b->state = BUTTON_STATE_HOVER;
            raise_changed();
        }
    } else if (b->state != BUTTON_STATE_NORMAL) {
        b->state = BUTTON_STATE_NORMAL;
        raise_changed();
    }
}

void button_on_down(Button* b, std::int32_t x, std::int32_t y, std::int32_t skip)
{
    if (b == nullptr || skip != 0) {
        return;
    }
    if (button_hit(b, x, y) && b->state != BUTTON_STATE_PRESSED) {
        b->state = BUTTON_STATE_PRESSED;
        raise_changed();
    }
}

void button_on_up(Button* b, std::int32_t x, std::int32_t y, std::int32_t skip)
{
    if (b == nullptr || skip != 0) {
        return;
    }
    if (button_hit(b, x, y) && b->state == BUTTON_STATE_PRESSED) {
        b->state = BUTTON_STATE_HOVER;
        raise_changed();
        // Last: the action may leave the screen or start the game.
        if (b->action != nullptr) {
            b->action();
        }
    }
}

void progress_draw(const ProgressBar* bar)
{
    if (bar == nullptr) {
        return;
    }
    if (bar->trough != nullptr) {
        draw_image(bar->trough, bar->x, bar->y);
    }
    const std::int32_t width = fill_width(bar);
    if (width == 0) {
        return;
    }
    // The product of a float and a picture width is exact in double, so the
    // column count is the same whatever precision the target evaluates float
    // expressions in (x87 keeps more than SSE does). Compared before
    // converting: NaN, negatives and anything below one column show the
    // trough only, +infinity or the whole width or more the full fill, so
    // the conversion to int only ever sees a value in [1, width).
    const double columns = static_cast<double>(width) * static_cast<double>(bar->shown);
    if (!(columns >= 1.0)) {
        return;
    }
    if (columns < static_cast<double>(width)) {
        draw_image_columns(bar->fill, bar->x, bar->y, static_cast<std::int32_t>(columns), 0);
    } else {
        draw_image(bar->fill, bar->x, bar->y);
    }
}

void progress_set(ProgressBar* bar, float fraction)
{
    if (bar == nullptr) {
        return;
    }
    bar->target = fraction;
    const std::int32_t width = fill_width(bar);
    if (width == 0) {
        // Without a fill there is no column size to compare with: take any
        // new value, so a fill given later shows the latest fraction.
        if (!(bar->shown == fraction) && !(std::isnan(bar->shown) && std::isnan(fraction))) {
            bar->shown = fraction;
            raise_changed();
        }
        return;
    }
    // |shown - fraction| > 1 / width, rearranged so that both sides are exact
    // in double: the outcome then does not depend on the target's float
    // evaluation. A NaN fraction compares false and is never taken, so the
    // bar keeps its last real value; a shown value that is somehow NaN
    // yields to any number.
    const double difference = static_cast<double>(bar->shown) - static_cast<double>(fraction);
    const bool moved = std::fabs(difference) * static_cast<double>(width) > 1.0;
    if (moved || (std::isnan(bar->shown) && !std::isnan(fraction))) {
        bar->shown = fraction;
        raise_changed();
    }
}

int widgets_take_changed()
{
    const int was = widget_changed != 0 ? 1 : 0;
    widget_changed = 0;
    return was;
}

Button* button_copy(const Button* b)
{
    if (b == nullptr) {
        return nullptr;
    }
    // No memory: null, and the caller keeps using its original.
    auto* copy = static_cast<Button*>(std::malloc(sizeof(Button)));
    if (copy != nullptr) {
        std::memcpy(copy, b, sizeof(Button));
    }
    return copy;
}

ProgressBar* progress_copy(const ProgressBar* bar)
{
    if (bar == nullptr) {
        return nullptr;
    }
    auto* copy = static_cast<ProgressBar*>(std::malloc(sizeof(ProgressBar)));
    if (copy != nullptr) {
        std::memcpy(copy, bar, sizeof(ProgressBar));
    }
    return copy;
}
