// X11 side of the window probe. Without a window manager the client area
// is the whole window; a missing display is the one way setup fails early.
#include "tests/e2e/probe_support.h"

#include <X11/Xlib.h>

#include <cstdlib>
#include <cstring>

int probe_outer_rect(const char* title, int* left, int* top, int* right, int* bottom)
{
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        return 0;
    }
    Window root = DefaultRootWindow(display);
    Window parent = 0;
    Window* children = nullptr;
    unsigned count = 0;
    int found = 0;
    if (XQueryTree(display, root, &root, &parent, &children, &count) != 0) {
        for (unsigned i = 0; i < count && found == 0; ++i) {
            char* name = nullptr;
            if (XFetchName(display, children[i], &name) != 0 && name != nullptr) {
                if (std::strcmp(name, title) == 0) {
                    XWindowAttributes attributes;
                    XGetWindowAttributes(display, children[i], &attributes);
                    *left = attributes.x;
                    *top = attributes.y;
                    *right = attributes.x + attributes.width + 2 * attributes.border_width;
                    *bottom = attributes.y + attributes.height + 2 * attributes.border_width;
                    found = 1;
                }
                XFree(name);
            }
        }
        if (children != nullptr) {
            XFree(children);
        }
    }
    XCloseDisplay(display);
    return found;
}

// X reports such positions itself while a button is held; the test drives
// that with the real pointer instead.
int probe_post_negative_mouse(const char*)
{
    return 0;
}

void probe_log_icon(const char*) {}

int probe_break_setup(const char* step)
{
    if (std::strcmp(step, "register") == 0) {
        // A display that cannot exist: the connection fails.
        setenv("DISPLAY", "127.0.0.1:3999", 1);
        return 1;
    }
    // An oversized buffer needs nothing arranged.
    return std::strcmp(step, "image") == 0 ? 1 : 0;
}
