// Opens the window, shows a known picture and logs every handler call and
// pump result on standard output, one line each, for test_window.py.
//
//   window_probe [--poll] [--quit-order] [--post-negative] [--no-handlers]
//                [--fail STEP] [--size W H] TITLE
//
// By default it waits for messages with pump_wait; --poll drains them with
// pump_pending the way the download loop does. --post-negative queues mouse
// messages with negative coordinates where the system allows it.
// --no-handlers installs none of the four handlers. --quit-order checks where a
// queued quit message stands relative to a pending repaint. --fail makes
// window_open fail at STEP (register, create, image).
#include "platform/platform.h"
#include "platform/window.h"
#include "platform/window_internal.h"
#include "tests/e2e/probe_support.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int paint_count = 0;

void log_line(const char* format, int a = 0, int b = 0, int c = 0, int d = 0)
{
    std::printf(format, a, b, c, d);
    std::fflush(stdout);
}

void on_paint()
{
    ++paint_count;
    log_line("paint %d\n", paint_count);
}

void on_move(std::int32_t x, std::int32_t y)
{
    log_line("move %d %d\n", x, y);
}

void on_down(std::int32_t x, std::int32_t y, std::int32_t skip)
{
    log_line("down %d %d %d\n", x, y, skip);
}

void on_up(std::int32_t x, std::int32_t y, std::int32_t skip)
{
    log_line("up %d %d %d\n", x, y, skip);
}

// Every pixel distinct: blue and green carry x and y modulo 256, red the
// high bits of both and a mix of the low ones.
void draw_test_picture()
{
    for (std::int32_t y = 0; y < back_buffer.height; ++y) {
        for (std::int32_t x = 0; x < back_buffer.width; ++x) {
            std::uint8_t* pixel = back_buffer.pixels + (y * back_buffer.width + x) * 3;
            pixel[0] = static_cast<std::uint8_t>(x & 255);
            pixel[1] = static_cast<std::uint8_t>(y & 255);
            pixel[2] =
                static_cast<std::uint8_t>(((x >> 8) << 7) | ((y >> 8) << 6) | ((x ^ y) & 63));
        }
    }
    window_invalidate();
}

int buffer_all(std::uint8_t b, std::uint8_t g, std::uint8_t r)
{
    const int count = back_buffer.width * back_buffer.height;
    for (int i = 0; i < count; ++i) {
        const std::uint8_t* pixel = back_buffer.pixels + i * 3;
        if (pixel[0] != b || pixel[1] != g || pixel[2] != r) {
            return 0;
        }
    }
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    int poll = 0;
    int quit_order = 0;
    int post_negative = 0;
    int handlers = 1;
    const char* fail_step = nullptr;
    std::int32_t width = 400;
    std::int32_t height = 400;
    const char* title = "Quorvel Probe";
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--poll") == 0) {
            poll = 1;
        } else if (std::strcmp(argv[i], "--quit-order") == 0) {
            quit_order = 1;
        } else if (std::strcmp(argv[i], "--no-handlers") == 0) {
            handlers = 0;
        } else if (std::strcmp(argv[i], "--post-negative") == 0) {
            post_negative = 1;
        } else if (std::strcmp(argv[i], "--fail") == 0 && i + 1 < argc) {
            fail_step = argv[++i];
        } else if (std::strcmp(argv[i], "--size") == 0 && i + 2 < argc) {
            width = std::atoi(argv[++i]);
            height = std::atoi(argv[++i]);
        } else {
            title = argv[i];
        }
    }

    if (fail_step != nullptr && probe_break_setup(fail_step) == 0) {
        log_line("cannot break step\n");
        return 2;
    }
    log_line("before_open closed=%d width=%d height=%d\n", window_is_closed(), back_buffer.width,
             back_buffer.height);
    const int opened = window_open(title, width, height);
    log_line("open %d width=%d height=%d\n", opened, back_buffer.width, back_buffer.height);
    if (opened == 0) {
        sleep_ms(300); // let the dialog watcher finish its line
        return 1;
    }
    log_line("black %d closed=%d\n", buffer_all(0, 0, 0), window_is_closed());
    backbuffer_fill(10, 20, 30);
    log_line("fill %d\n", buffer_all(30, 20, 10));
    draw_test_picture();

    if (handlers != 0) {
        set_paint_handler(on_paint);
    }
    window_show();
    if (handlers != 0) {
        set_mouse_move_handler(on_move);
        set_mouse_down_handler(on_down);
        set_mouse_up_handler(on_up);
    }
    int left = 0, top = 0, right = 0, bottom = 0;
    if (probe_outer_rect(title, &left, &top, &right, &bottom) != 0) {
        log_line("outer %d %d %d %d\n", left, top, right, bottom);
    }

    probe_log_icon(title);

    if (quit_order != 0) {
        // Let the show settle, then queue a repaint and the quit message.
        for (int i = 0; i < 20; ++i) {
            pump_pending();
            sleep_ms(10);
        }
        const int before = paint_count;
        window_invalidate();
        window_post_quit();
        const int first = pump_pending();
        const int painted_first = paint_count - before;
        const int second = pump_pending();
        const int painted_second = paint_count - before;
        log_line("quit_order first=%d painted=%d second=%d painted=%d\n", first, painted_first,
                 second, painted_second);
    }
    if (post_negative != 0) {
        log_line("posted_negative %d\n", probe_post_negative_mouse(title));
    }
    log_line("shown\n");

    int last = 1;
    if (poll != 0) {
        while ((last = pump_pending()) == 1) {
            sleep_ms(5);
        }
        log_line("pump_pending %d closed=%d\n", last, window_is_closed());
        log_line("pump_wait_after %d\n", pump_wait());
    } else {
        while ((last = pump_wait()) == 1) {
        }
        log_line("pump_wait %d closed=%d\n", last, window_is_closed());
        log_line("pump_wait_again %d\n", pump_wait());
        // The quit message is still queued: the first drain takes it.
        log_line("pump_pending %d\n", pump_pending());
        log_line("pump_pending_again %d\n", pump_pending());
    }

    // Drawing after the close changes the buffer and repaints nothing.
    const int paints_at_close = paint_count;
    backbuffer_fill(1, 2, 3);
    window_invalidate();
    const int drained = pump_pending();
    log_line("after_close fill=%d pump=%d paints=%d\n", buffer_all(3, 2, 1), drained,
             paint_count - paints_at_close);
    log_line("exit\n");
    return 0;
}
