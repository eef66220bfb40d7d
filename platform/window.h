// The one window of the program: a fixed-size client area showing a software
// back buffer pixel for pixel, its message pumps and its handler slots.
// Implemented by win32/window_win32.cpp and x11/window_x11.cpp.
#pragma once

#include <cstdint>

// The window-sized 24-bit top-down buffer: B, G, R per pixel, rows of
// width * 3 bytes with no gap. width and height stay 0 until window_open
// succeeds. Drawing code writes it directly.
struct BackBuffer {
    std::uint8_t* pixels;
    std::int32_t width;
    std::int32_t height;
};
extern BackBuffer back_buffer;

using PaintHandler = void (*)();
using MouseMoveHandler = void (*)(std::int32_t x, std::int32_t y);
using MouseButtonHandler = void (*)(std::int32_t x, std::int32_t y, std::int32_t skip);

int window_open(const char* title, std::int32_t width, std::int32_t height);
void window_show();
int window_is_closed();
int pump_pending();
int pump_wait();
// Waits up to timeout_ms for the window's next event without taking it
// (the next pump_pending does), so that a loop with nothing else to wait on
// neither spins nor answers late; returns at once when one is waiting.
void window_wait(int timeout_ms);
void window_invalidate();
void set_paint_handler(PaintHandler handler);
void set_mouse_move_handler(MouseMoveHandler handler);
void set_mouse_down_handler(MouseButtonHandler handler);
void set_mouse_up_handler(MouseButtonHandler handler);
void backbuffer_fill(std::uint8_t r, std::uint8_t g, std::uint8_t b);
