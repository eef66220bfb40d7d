// The push button (three faces, a caption, an action on click) and the
// progress bar. Widgets never draw when they change: they raise
// widget_changed, which the screen composer takes with widgets_take_changed.
#pragma once

#include "gfx/image.h"

#include <cstdint>

constexpr std::int32_t BUTTON_STATE_NORMAL = 0;
constexpr std::int32_t BUTTON_STATE_HOVER = 1;
constexpr std::int32_t BUTTON_STATE_PRESSED = 2;

using ButtonAction = void (*)();

struct Button {
    std::int32_t x;
    std::int32_t y;
    std::int32_t w;
    std::int32_t h;
    const Image* face_normal;
    const Image* face_hover;
    const Image* face_pressed;
    const char* caption;
    std::int32_t state;
    ButtonAction action;
};

struct ProgressBar {
    std::int32_t x;
    std::int32_t y;
    const Image* fill;
    const Image* trough;
    float shown;
    float target;
};

extern std::int32_t widget_changed;

int button_hit(const Button* b, std::int32_t x, std::int32_t y);
void button_draw(const Button* b);
void button_on_move(Button* b, std::int32_t x, std::int32_t y);
void button_on_down(Button* b, std::int32_t x, std::int32_t y, std::int32_t skip);
void button_on_up(Button* b, std::int32_t x, std::int32_t y, std::int32_t skip);
void progress_draw(const ProgressBar* bar);
void progress_set(ProgressBar* bar, float fraction);
int widgets_take_changed();

// Heap copies, owned and freed (std::free) by the caller; null when no memory.
Button* button_copy(const Button* b);
ProgressBar* progress_copy(const ProgressBar* bar);
