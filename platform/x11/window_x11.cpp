// The window on X11 through Xlib: one top-level window of a fixed client
// size, its back buffer shown with XPutImage, and the two message pumps.
// DEPENDS ON: libX11, a TrueColor or DirectColor default visual of 8 to 32
// bits per pixel.
// LIMITATIONS: no window icon; no message boxes (failures go to standard
// error); each paint compares the back buffer with a copy of what was last
// shown and converts and sends only the rectangles that changed, through
// the X connection (no shared memory); the centring is of the client area,
// which a window manager may shift by its frame.
#include "platform/window.h"
#include "platform/window_internal.h"
#include "platform/x11/paint_changes.h"
#include "platform/x11/pixel_layout.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <poll.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct X11Window {
    Display* display;
    Window window; // 0 before window_open succeeds and from the close on
    GC gc;
    XImage* image;              // the visual's copy of the back buffer: what the window shows
    std::uint8_t* shown_pixels; // the back buffer as last painted (the image's source)
    int window_current;         // 0 until the whole image has been sent once
    PixelLayout layout;
    Atom wm_protocols;
    Atom wm_delete_window;
    int repaint_pending; // one repaint request stands for any number of them
    int quit_pending;    // the quit message, queued by a close
    int setup_error;     // an X error seen while the window was being set up
};

X11Window x11_window;

void report_failure(const char* message, const char* detail)
{
    std::fprintf(stderr, "Error! %s (%s)\n", message, detail);
    std::fflush(stderr);
}

int record_setup_error(Display*, XErrorEvent* error)
{
    x11_window.setup_error = error->error_code != 0 ? error->error_code : 1;
    return 0;
}

void window_center(std::int32_t width, std::int32_t height, int* left, int* top)
{
    const int screen = DefaultScreen(x11_window.display);
    // Integer division truncates toward zero: an odd difference leaves the
    // extra pixel on the right or bottom.
    *left = (DisplayWidth(x11_window.display, screen) - width) / 2;
    *top = (DisplayHeight(x11_window.display, screen) - height) / 2;
}

// Fixes the size for the window manager (minimum = maximum) and asks for
// the position as given, the frame centred around the client area.
void window_fit_client(std::int32_t width, std::int32_t height, int left, int top)
{
    XSizeHints* hints = XAllocSizeHints();
    if (hints == nullptr) {
        return;
    }
    hints->flags = PPosition | PSize | PMinSize | PMaxSize | PWinGravity;
    hints->x = left;
    hints->y = top;
    hints->width = hints->min_width = hints->max_width = width;
    hints->height = hints->min_height = hints->max_height = height;
    hints->win_gravity = CenterGravity;
    XSetWMNormalHints(x11_window.display, x11_window.window, hints);
    XFree(hints);
}

int image_create(std::int32_t width, std::int32_t height)
{
    Display* display = x11_window.display;
    const int screen = DefaultScreen(display);
    Visual* visual = DefaultVisual(display, screen);
    const int depth = DefaultDepth(display, screen);
    // A buffer whose byte count does not fit 32 bits is refused, as on
    // Windows, where the bitmap header cannot describe it.
    if (std::int64_t{width} * 3 * height > INT32_MAX) {
        report_failure("Image creation Failed!", "the buffer would exceed 2 GiB");
        return 0;
    }
    if (visual->c_class != TrueColor && visual->c_class != DirectColor) {
        report_failure("Image creation Failed!", "the default visual is not TrueColor");
        return 0;
    }
    XImage* image =
        XCreateImage(display, visual, static_cast<unsigned>(depth), ZPixmap, 0, nullptr,
                     static_cast<unsigned>(width), static_cast<unsigned>(height), 32, 0);
    if (image == nullptr) {
        report_failure("Image creation Failed!", "XCreateImage");
        return 0;
    }
    x11_window.layout.bits_per_pixel = image->bits_per_pixel;
    x11_window.layout.msb_first = image->byte_order == MSBFirst ? 1 : 0;
    x11_window.layout.red_mask = static_cast<std::uint32_t>(visual->red_mask);
    x11_window.layout.green_mask = static_cast<std::uint32_t>(visual->green_mask);
    x11_window.layout.blue_mask = static_cast<std::uint32_t>(visual->blue_mask);
    if (pixel_layout_valid(x11_window.layout) == 0) {
        XDestroyImage(image);
        report_failure("Image creation Failed!", "unsupported pixel layout of the default visual");
        return 0;
    }
    const std::size_t image_bytes =
        static_cast<std::size_t>(image->bytes_per_line) * static_cast<std::size_t>(height);
    const std::size_t buffer_bytes =
        static_cast<std::size_t>(width) * 3u * static_cast<std::size_t>(height);
    image->data = static_cast<char*>(std::calloc(image_bytes, 1));
    x11_window.shown_pixels = static_cast<std::uint8_t*>(std::calloc(buffer_bytes, 1));
    // The buffer starts black and stays allocated until the process ends.
    back_buffer.pixels = static_cast<std::uint8_t*>(std::calloc(buffer_bytes, 1));
    if (image->data == nullptr || back_buffer.pixels == nullptr ||
        x11_window.shown_pixels == nullptr) {
        std::free(back_buffer.pixels);
        back_buffer.pixels = nullptr;
        std::free(x11_window.shown_pixels);
        x11_window.shown_pixels = nullptr;
        XDestroyImage(image); // frees image->data too
        report_failure("Image creation Failed!", "out of memory");
        return 0;
    }
    x11_window.image = image;
    x11_window.window_current = 0;
    return 1;
}

// Brings the window up to date with the back buffer. The image holds what
// the window shows, so only the pixels that changed since the last paint are
// converted and sent (during a download a few characters and a column of the
// bar, not the whole picture); after an exposure, everything is.
void window_paint()
{
    if (x11_window.window == 0) {
        return;
    }
    if (window_handlers.paint != nullptr) {
        window_handlers.paint();
    }
    // A paint handler cannot close the window, but stay safe if it ever can.
    if (x11_window.window == 0) {
        return;
    }
    XImage* image = x11_window.image;
    static PaintChanges changes;
    paint_take_changes(x11_window.layout, back_buffer.pixels, x11_window.shown_pixels,
                       reinterpret_cast<std::uint8_t*>(image->data),
                       static_cast<std::size_t>(image->bytes_per_line), back_buffer.width,
                       back_buffer.height, &changes);
    if (x11_window.window_current == 0) {
        XPutImage(x11_window.display, x11_window.window, x11_window.gc, image, 0, 0, 0, 0,
                  static_cast<unsigned>(back_buffer.width),
                  static_cast<unsigned>(back_buffer.height));
        x11_window.window_current = 1;
    } else {
        for (int i = 0; i < changes.count; ++i) {
            const PaintRect& r = changes.rects[i];
            XPutImage(x11_window.display, x11_window.window, x11_window.gc, image, r.left, r.top,
                      r.left, r.top, static_cast<unsigned>(r.right - r.left),
                      static_cast<unsigned>(r.bottom - r.top));
        }
    }
    x11_window.repaint_pending = 0;
}

// What a close by the user or by another client leaves: no window, the
// quit message queued for the pumps.
void window_destroyed()
{
    x11_window.window = 0;
    x11_window.repaint_pending = 0;
    x11_window.quit_pending = 1;
}

// The window procedure: routes one event. Events for any other window (the
// destroyed one included) are dropped.
void window_proc(const XEvent& event)
{
    if (x11_window.window == 0 || event.xany.window != x11_window.window) {
        return;
    }
    switch (event.type) {
    case Expose:
        // Several rectangles of one exposure arrive together; the last one
        // (count 0) paints the whole buffer once.
        if (event.xexpose.count == 0) {
            x11_window.window_current = 0;
            window_paint();
        }
        break;
    case MotionNotify:
        if (window_handlers.mouse_move != nullptr) {
            window_handlers.mouse_move(event.xmotion.x, event.xmotion.y);
        }
        break;
    case ButtonPress:
        if (event.xbutton.button == Button1 && window_handlers.mouse_down != nullptr) {
            window_handlers.mouse_down(event.xbutton.x, event.xbutton.y, 0);
        }
        break;
    case ButtonRelease:
        if (event.xbutton.button == Button1 && window_handlers.mouse_up != nullptr) {
            window_handlers.mouse_up(event.xbutton.x, event.xbutton.y, 0);
        }
        break;
    case ClientMessage:
        if (event.xclient.message_type == x11_window.wm_protocols && event.xclient.format == 32 &&
            static_cast<Atom>(event.xclient.data.l[0]) == x11_window.wm_delete_window) {
            // The window manager's close: the window goes at once.
            XDestroyWindow(x11_window.display, x11_window.window);
            XFlush(x11_window.display);
            window_destroyed();
        }
        break;
    case DestroyNotify:
        // Destroyed by another client.
        if (event.xdestroywindow.window == x11_window.window) {
            window_destroyed();
        }
        break;
    default: // key presses and everything else: no effect
        break;
    }
}

} // namespace

int window_open(const char* title, std::int32_t width, std::int32_t height)
{
    // Sizes the X protocol cannot carry are refused before anything is
    // created.
    if (width <= 0 || height <= 0 || width > 32767 || height > 32767) {
        report_failure("Window Creation Failed!", "unsupported client size");
        return 0;
    }
    Display* display = x11_window.display;
    if (display == nullptr) {
        display = XOpenDisplay(nullptr);
        if (display == nullptr) {
            const char* name = std::getenv("DISPLAY");
            char detail[300];
            std::snprintf(detail, sizeof detail, "cannot open the X display \"%s\"",
                          name != nullptr ? name : "");
            report_failure("Window Registration Failed!", detail);
            return 0;
        }
        x11_window.display = display;
    }
    if (x11_window.image != nullptr) {
        report_failure("Window Registration Failed!", "the window was already opened");
        return 0;
    }
    const int screen = DefaultScreen(display);
    int left = 0;
    int top = 0;
    window_center(width, height, &left, &top);

    XSync(display, False);
    x11_window.setup_error = 0;
    XErrorHandler previous_handler = XSetErrorHandler(record_setup_error);
    XSetWindowAttributes attributes;
    std::memset(&attributes, 0, sizeof attributes);
    attributes.background_pixel = BlackPixel(display, screen);
    attributes.event_mask = ExposureMask | PointerMotionMask | ButtonPressMask | ButtonReleaseMask |
                            KeyPressMask | StructureNotifyMask;
    const Window window =
        XCreateWindow(display, RootWindow(display, screen), left, top, static_cast<unsigned>(width),
                      static_cast<unsigned>(height), 0, CopyFromParent, InputOutput, CopyFromParent,
                      CWBackPixel | CWEventMask, &attributes);
    XSync(display, False);
    XSetErrorHandler(previous_handler);
    if (window == 0 || x11_window.setup_error != 0) {
        char detail[64];
        std::snprintf(detail, sizeof detail, "XCreateWindow, X error %d", x11_window.setup_error);
        report_failure("Window Creation Failed!", detail);
        return 0;
    }
    x11_window.window = window;

    XStoreName(display, window, title);
    XClassHint* class_hint = XAllocClassHint();
    if (class_hint != nullptr) {
        char res_name[] = "quorvel";
        char res_class[] = "Ventana";
        class_hint->res_name = res_name;
        class_hint->res_class = res_class;
        XSetClassHint(display, window, class_hint);
        XFree(class_hint);
    }
    x11_window.wm_protocols = XInternAtom(display, "WM_PROTOCOLS", False);
    x11_window.wm_delete_window = XInternAtom(display, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(display, window, &x11_window.wm_delete_window, 1);
    window_fit_client(width, height, left, top);
    x11_window.gc = XCreateGC(display, window, 0, nullptr);

    if (image_create(width, height) == 0) {
        return 0;
    }
    back_buffer.width = width;
    back_buffer.height = height;
    // Like a new window on any system, the client area starts invalid.
    x11_window.repaint_pending = 1;
    return 1;
}

void window_show()
{
    if (x11_window.window == 0) {
        return;
    }
    XMapRaised(x11_window.display, x11_window.window);
    XSync(x11_window.display, False);
    // Paint at once when the window is already on the screen (no window
    // manager in between); otherwise its first Expose paints it.
    XWindowAttributes attributes;
    if (XGetWindowAttributes(x11_window.display, x11_window.window, &attributes) != 0 &&
        attributes.map_state == IsViewable) {
        window_paint();
        XFlush(x11_window.display);
    }
}

int window_is_closed()
{
    return x11_window.window == 0 ? 1 : 0;
}

void window_post_quit()
{
    x11_window.quit_pending = 1;
}

namespace {

// Whether events wait, read or unread. The download loop asks this between
// every two receives, so the common answer, "none", costs one zero-wait poll
// of the connection instead of XPending's flush and reads.
int events_waiting(Display* display)
{
    if (XEventsQueued(display, QueuedAlready) > 0) {
        return 1;
    }
    pollfd connection = {ConnectionNumber(display), POLLIN, 0};
    if (poll(&connection, 1, 0) == 0) {
        return 0;
    }
    return XPending(display) > 0 ? 1 : 0;
}

} // namespace

int pump_pending()
{
    for (;;) {
        if (x11_window.quit_pending != 0) {
            // Taken from the queue; whatever came after it stays queued.
            x11_window.quit_pending = 0;
            return 0;
        }
        if (x11_window.display == nullptr) {
            return 1;
        }
        if (events_waiting(x11_window.display) == 0) {
            // As with any window system, a repaint comes after every other
            // message.
            if (x11_window.repaint_pending != 0) {
                window_paint();
                XFlush(x11_window.display);
                continue;
            }
            return 1;
        }
        XEvent event;
        XNextEvent(x11_window.display, &event);
        window_proc(event);
    }
}

int pump_wait()
{
    if (x11_window.window == 0) {
        return 0;
    }
    if (x11_window.quit_pending != 0) {
        x11_window.quit_pending = 0;
        return 0;
    }
    if (x11_window.repaint_pending != 0 && XPending(x11_window.display) == 0) {
        window_paint();
        XFlush(x11_window.display);
        return 1;
    }
    XEvent event;
    XNextEvent(x11_window.display, &event);
    window_proc(event);
    return 1;
}

void window_wait(int timeout_ms)
{
    if (x11_window.display == nullptr || x11_window.quit_pending != 0 ||
        x11_window.repaint_pending != 0) {
        return;
    }
    // Requests still buffered go out first: the server's answer to one of
    // them may be the event waited for.
    XFlush(x11_window.display);
    if (XEventsQueued(x11_window.display, QueuedAlready) > 0) {
        return;
    }
    pollfd connection = {ConnectionNumber(x11_window.display), POLLIN, 0};
    poll(&connection, 1, timeout_ms);
}

void window_invalidate()
{
    // Drawing asks for this hundreds of times per composition: it only
    // raises a flag, and the pumps paint once.
    if (x11_window.window != 0) {
        x11_window.repaint_pending = 1;
    }
}
