// The launcher's five screens: what each shows, the composition of the whole
// window from them, the routing of mouse events to the current screen's
// button, and the Retry and Play actions.
#pragma once

#include "app/progress.h"
#include "catalog/catalog.h"
#include "catalog/verify.h"
#include "gfx/widgets.h"

#include <cstdint>

enum Screen : std::int32_t {
    SCREEN_NONE = 0,
    SCREEN_CHECKING = 1,
    SCREEN_RETRY = 2,
    SCREEN_DOWNLOAD = 3,
    SCREEN_READY = 4,
};

constexpr int NOTES_SLOTS = 6;

extern std::int32_t current_screen;
extern std::int32_t redraw_needed;
extern std::int32_t retry_pressed;
extern std::int32_t play_pressed;

// Owned by the update sequence; read by the Play action.
extern CatalogEntry* entry_list;

extern Button retry_button;
extern Button play_button;
extern ProgressBar download_bar;
extern char bytes_text[PROGRESS_TEXT_SIZE];
extern char speed_text[PROGRESS_TEXT_SIZE];
extern char time_text[PROGRESS_TEXT_SIZE];
// While a file waits for its next try: which and how long, shown in place
// of the time left; empty otherwise.
extern char retry_text[PROGRESS_TEXT_SIZE];
// While a file is patched, what the patch fetches, on the line below; empty
// otherwise.
extern char patch_text[PROGRESS_TEXT_SIZE];
// On the Retry screen when the update does not fit the disk: how much more
// room it needs ("12.40MiB more needed"), below the button under
// SPACE_LINE; empty otherwise.
extern char space_text[PROGRESS_TEXT_SIZE];
extern char notes_lines[NOTES_SLOTS][NOTES_LINE_SIZE];
extern std::int32_t notes_count;

void screen_setup();
int screen_show(std::int32_t screen);
void screen_compose();
// The frame is drawn on the first composition and copied on later ones;
// after this the next composition draws it again.
void screen_forget_frame();

void screen_on_mouse_down(std::int32_t x, std::int32_t y, std::int32_t skip);
void screen_on_mouse_move(std::int32_t x, std::int32_t y);
void screen_on_mouse_up(std::int32_t x, std::int32_t y, std::int32_t skip);

void screen_action_retry();
void screen_action_play();
