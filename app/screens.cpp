#include "app/screens.h"

#include "app/startup.h"
#include "art/art.h"
#include "gfx/image.h"
#include "gfx/text.h"
#include "platform/platform.h"
#include "platform/window.h"

#include <cstdio>
#include <cstring>

std::int32_t current_screen = SCREEN_NONE;
std::int32_t redraw_needed = 1;
std::int32_t retry_pressed = 0;
std::int32_t play_pressed = 0;
CatalogEntry* entry_list = nullptr;

Button retry_button;
Button play_button;
ProgressBar download_bar;
char bytes_text[PROGRESS_TEXT_SIZE];
char speed_text[PROGRESS_TEXT_SIZE];
char time_text[PROGRESS_TEXT_SIZE];
char retry_text[PROGRESS_TEXT_SIZE];
char patch_text[PROGRESS_TEXT_SIZE];
char space_text[PROGRESS_TEXT_SIZE];
char notes_lines[NOTES_SLOTS][NOTES_LINE_SIZE];
std::int32_t notes_count = 0;

namespace {

constexpr std::int32_t BUTTON_X = 100;
constexpr std::int32_t BUTTON_Y = 262;
constexpr std::int32_t BUTTON_W = 200;
constexpr std::int32_t BUTTON_H = 100;

void setup_button(Button* b, const char* caption, ButtonAction action)
{
    std::memset(b, 0, sizeof *b);
    b->x = BUTTON_X;
    b->y = BUTTON_Y;
    b->w = BUTTON_W;
    b->h = BUTTON_H;
    b->face_normal = &ART_BUTTON_NORMAL;
    b->face_hover = &ART_BUTTON_HOVER;
    b->face_pressed = &ART_BUTTON_PRESSED;
    b->caption = caption;
    b->action = action;
}

// The button that receives mouse events on the current screen, if any.
Button* current_button()
{
    switch (current_screen) {
    case SCREEN_RETRY: return &retry_button;
    case SCREEN_READY: return &play_button;
    default: return nullptr;
    }
}

constexpr std::int32_t FRAME_WIDTH = 400;
constexpr std::int32_t FRAME_HEIGHT = 400;

// The frame (background, corners, logo) is the same on every screen and on
// every composition: drawn once, then copied. A copy is 480 KB of memcpy
// where drawing is six blits, and the download screen is composed hundreds
// of times.
std::uint8_t frame_pixels[FRAME_WIDTH * FRAME_HEIGHT * 3];
int frame_cached = 0;
// -1 until the background has been looked at once. A plain variable, not a
// function-local static: a guarded static would link the C++ runtime's
// thread-safe initialisation (and with it its exception support) into a
// program that uses neither.
int background_opaque = -1;

void draw_frame_parts()
{
    draw_image_region(&ART_BACKGROUND, 0, 0, 0, 0, FRAME_WIDTH, FRAME_HEIGHT);
    draw_image(&ART_CORNER_TL, 0, 0);
    draw_image(&ART_CORNER_TR, 364, 0);
    draw_image(&ART_CORNER_BL, 0, 364);
    draw_image(&ART_CORNER_BR, 364, 364);
    draw_image(&ART_LOGO, 50, 50);
}

int image_opaque(const Image* image)
{
    if (image->pixels == nullptr || image->width <= 0 || image->height <= 0 ||
        image->bytes_per_pixel < 3 || image->bytes_per_pixel > 4) {
        return 0;
    }
    if (image->bytes_per_pixel == 3) {
        return 1;
    }
    const std::size_t count =
        static_cast<std::size_t>(image->width) * static_cast<std::size_t>(image->height);
    for (std::size_t i = 0; i < count; ++i) {
        if (image->pixels[i * 4 + 3] != 255) {
            return 0;
        }
    }
    return 1;
}

void draw_frame()
{
    // Only when the background covers the whole buffer and hides all of it
    // are the frame's pixels independent of what the buffer held before. The
    // reference drawing mode always draws, so that comparisons with it
    // compare the drawing.
    if (background_opaque < 0) {
        background_opaque = image_opaque(&ART_BACKGROUND);
    }
    const int cacheable = back_buffer.pixels != nullptr && back_buffer.width == FRAME_WIDTH &&
                          back_buffer.height == FRAME_HEIGHT && background_opaque &&
                          !blit_get_reference_mode();
    if (cacheable && frame_cached) {
        std::memcpy(back_buffer.pixels, frame_pixels, sizeof frame_pixels);
        window_invalidate();
        return;
    }
    draw_frame_parts();
    if (cacheable) {
        std::memcpy(frame_pixels, back_buffer.pixels, sizeof frame_pixels);
        frame_cached = 1;
    }
}

} // namespace

void screen_setup()
{
    setup_button(&retry_button, "Retry", screen_action_retry);
    setup_button(&play_button, "Play", screen_action_play);
    std::memset(&download_bar, 0, sizeof download_bar);
    download_bar.x = 100;
    download_bar.y = 162;
    download_bar.fill = &ART_BUTTON_HOVER;
    download_bar.trough = &ART_BUTTON_NORMAL;
    std::snprintf(bytes_text, sizeof bytes_text, "%s", "0B of0B");
    std::snprintf(speed_text, sizeof speed_text, "%s", "Speed: 0Bps");
    std::snprintf(time_text, sizeof time_text, "%s", "Time Rem.: 0s");
    retry_text[0] = '\0';
    patch_text[0] = '\0';
    space_text[0] = '\0';
}

int screen_show(std::int32_t screen)
{
    current_screen = screen;
    redraw_needed = 1;
    screen_compose();
    return pump_pending();
}

void screen_forget_frame()
{
    frame_cached = 0;
}

void screen_compose()
{
    redraw_needed = redraw_needed | widgets_take_changed();
    if (redraw_needed == 0) {
        return;
    }
    draw_frame();
    switch (current_screen) {
    case SCREEN_CHECKING: draw_text(100, 112, 200, 200, "Checking..."); break;
    case SCREEN_RETRY:
        draw_image(&ART_NOTICE, 100, 112);
        button_draw(&retry_button);
        if (space_text[0] != '\0') {
            // Below the button, clear of the corners.
            draw_text(0, 364, FRAME_WIDTH, 16, SPACE_LINE);
            draw_text(0, 380, FRAME_WIDTH, 16, space_text);
        }
        break;
    case SCREEN_DOWNLOAD:
        progress_draw(&download_bar);
        draw_text(50, 262, 0, 32, bytes_text);
        draw_text(50, 294, 0, 32, speed_text);
        draw_text(50, 326, 0, 32, retry_text[0] != '\0' ? retry_text : time_text);
        draw_text(50, 358, 0, 32, patch_text);
        break;
    case SCREEN_READY:
        for (std::int32_t i = 0; i < notes_count && i < NOTES_SLOTS; ++i) {
            draw_text(50, 122 + 16 * i, 0, 32, notes_lines[i]);
        }
        button_draw(&play_button);
        break;
    default: break;
    }
    redraw_needed = 0;
}

void screen_on_mouse_down(std::int32_t x, std::int32_t y, std::int32_t skip)
{
    if (Button* b = current_button()) {
        button_on_down(b, x, y, skip);
    }
}

void screen_on_mouse_move(std::int32_t x, std::int32_t y)
{
    if (Button* b = current_button()) {
        button_on_move(b, x, y);
    }
}

void screen_on_mouse_up(std::int32_t x, std::int32_t y, std::int32_t skip)
{
    if (Button* b = current_button()) {
        button_on_up(b, x, y, skip);
    }
}

void screen_action_retry()
{
    retry_pressed = 1;
}

void screen_action_play()
{
    const CatalogEntry* exe = catalog_find_exe(entry_list);
    if (exe != nullptr) {
        run_program(exe->local_path, data_directory);
    }
    play_pressed = 1;
}
