// Window operations that the program itself does not use but tests need.
// Each window backend defines them next to the functions of window.h.
#pragma once

// Queues the quit message for the pumps, as closing the window does, but
// leaves the window open.
void window_post_quit();
