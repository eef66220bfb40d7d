// What both window backends share: the back buffer record, the handler
// slots and the fill. Portable: the backends read the slots when the system
// delivers an event and own everything else.
#include "platform/window_internal.h"

BackBuffer back_buffer = {nullptr, 0, 0};
WindowHandlers window_handlers = {nullptr, nullptr, nullptr, nullptr};

void set_paint_handler(PaintHandler handler)
{
    window_handlers.paint = handler;
}

void set_mouse_move_handler(MouseMoveHandler handler)
{
    window_handlers.mouse_move = handler;
}

void set_mouse_down_handler(MouseButtonHandler handler)
{
    window_handlers.mouse_down = handler;
}

void set_mouse_up_handler(MouseButtonHandler handler)
{
    window_handlers.mouse_up = handler;
}

void backbuffer_fill(std::uint8_t r, std::uint8_t g, std::uint8_t b)
{
    const std::size_t count =
        static_cast<std::size_t>(back_buffer.width) * static_cast<std::size_t>(back_buffer.height);
    std::uint8_t* pixel = back_buffer.pixels;
    for (std::size_t i = 0; i < count; ++i) {
        pixel[0] = b;
        pixel[1] = g;
        pixel[2] = r;
        pixel += 3;
    }
    window_invalidate();
}
