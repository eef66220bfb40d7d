// Transfer progress: the running sums of one download phase, the figures
// shown while downloading (bytes, speed, time left, bar fraction) and the
// 30-millisecond redraw tick; the byte and duration formatters; the line
// shown while a file waits for its next try.
#pragma once

#include <cstdint>

constexpr int PROGRESS_TEXT_SIZE = 256;
constexpr std::int64_t REDRAW_TICK_MS = 30;

struct TransferProgress {
    std::int64_t total;
    std::int64_t completed;
    std::int64_t start_ms;
    std::int64_t last_ms;
    std::int64_t tick_ms;
};

struct TransferFigures {
    std::int64_t done;
    float fraction; // may be NaN or infinite when total is 0
    float speed;
    std::int64_t remaining_s;
    std::int32_t redraw_due;
};

// Both formatters write one shared static buffer and return it: copy the
// text before calling either again.
const char* format_bytes(std::int64_t n);
const char* format_duration(std::int64_t seconds);
// format_bytes with the figure rounded up, never down: a room to make that
// is shown is enough.
const char* format_bytes_up(std::int64_t n);

// Writes "X more needed" (X by format_bytes_up) into text (PROGRESS_TEXT_SIZE
// bytes): what the Retry screen shows below "Not enough disk space:" and the
// programs print after it.
void transfer_write_space_text(char* text, std::int64_t missing_bytes);
constexpr char SPACE_LINE[] = "Not enough disk space:";

void transfer_begin(TransferProgress* tp, std::int64_t total);
void transfer_entry_done(TransferProgress* tp, std::int64_t size);

// Rewrites the three texts (buffers of PROGRESS_TEXT_SIZE bytes).
TransferFigures transfer_update(TransferProgress* tp, std::int64_t transfer_bytes, char* bytes_text,
                                char* speed_text, char* time_text);

// The same with the clock reading given, so that the arithmetic can be
// checked against exact times.
TransferFigures transfer_update_at(TransferProgress* tp, std::int64_t transfer_bytes,
                                   char* bytes_text, char* speed_text, char* time_text,
                                   std::int64_t now);

// The two halves of an update: the figures and the redraw tick (every pass),
// and the three texts made from those figures (only needed when they are
// about to be shown).
TransferFigures transfer_figures(TransferProgress* tp, std::int64_t transfer_bytes);
TransferFigures transfer_figures_at(TransferProgress* tp, std::int64_t transfer_bytes,
                                    std::int64_t now);
void transfer_write_texts(const TransferProgress* tp, const TransferFigures* figures,
                          char* bytes_text, char* speed_text, char* time_text);

// The characters one text line of the Download screen shows.
constexpr int PROGRESS_LINE_CHARS = 29;

// Writes "Retrying NAME in N s" into text (PROGRESS_TEXT_SIZE bytes): NAME
// is file_name's last component, cut with "..." so that the line fits
// PROGRESS_LINE_CHARS, N the wait left in whole seconds, rounded up; an
// empty text when wait_ms is 0 (no wait). 1 when the text changed.
int transfer_write_retry_text(char* text, const char* file_name, std::int64_t wait_ms);

// While a file is patched (only the blocks that changed are fetched): its
// name ("Patching NAME") until it is known what the patch fetches, then
// "Patch: F of S" (F fetched of a file of S bytes; "F/S" where that does
// not fit the line); an empty text when size is 0 (no patch). 1 when the
// text changed.
int transfer_write_patch_text(char* text, const char* file_name, std::int64_t fetch_bytes,
                              std::int64_t size);
