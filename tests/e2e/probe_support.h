// What the window probe needs from the system beyond the window module:
// the outer window rectangle and ways to make window_open fail. One file
// per backend defines these.
#pragma once

// The window's outer rectangle in screen coordinates (frame and caption
// included where the system draws them). 1 when found.
int probe_outer_rect(const char* title, int* left, int* top, int* right, int* bottom);

// Logs what the executable and the window class carry as the program icon
// ("icon group=WxHxBPP,... class_icon=N small_icon=N"); nothing where the
// system has no icon resources.
void probe_log_icon(const char* title);

// Queues a mouse move and a left-button release at (-25, -7) for the window,
// as the system reports a pointer left of and above the client area. 1 when
// this system can queue such messages.
int probe_post_negative_mouse(const char* title);

// Arranges for the next window_open to fail at the named step ("register"
// or "create"). Failure dialogs, where the system shows them, are logged
// ("dialog caption=... text=... warning_icon=...") and dismissed. 1 when the
// step can be broken on this system.
int probe_break_setup(const char* step);
