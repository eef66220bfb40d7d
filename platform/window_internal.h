// What the window backends share below window.h, and the window operations
// that the program itself does not use but tests need.
#pragma once

#include "platform/window.h"

// The handler slots the launcher fills (window_common.cpp); a backend calls
// a slot that is set when its event arrives.
struct WindowHandlers {
    PaintHandler paint;
    MouseMoveHandler mouse_move;
    MouseButtonHandler mouse_down;
    MouseButtonHandler mouse_up;
};
extern WindowHandlers window_handlers;

// Each window backend defines this next to the functions of window.h.
// Queues the quit message for the pumps, as closing the window does, but
// leaves the window open.
void window_post_quit();
