#include "app/progress.h"

#include "platform/platform.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {
char format_buffer[PROGRESS_TEXT_SIZE];

void append(char* text, const char* tail)
{
    const std::size_t used = std::strlen(text);
    std::snprintf(text + used, PROGRESS_TEXT_SIZE - used, "%s", tail);
}
// Truncates toward zero, held inside the 64-bit range so that a crawling
// speed cannot overflow the conversion.
std::int64_t seconds_from(double value)
{
    constexpr double limit = 9.0e18;
    if (value > limit) {
        return static_cast<std::int64_t>(limit);
    }
    if (value < -limit) {
        return -static_cast<std::int64_t>(limit);
    }
    return static_cast<std::int64_t>(value);
}
} // namespace

namespace {
// The figure in the largest unit it reaches, to two decimals; rounded to
// the nearest or up.
const char* format_scaled(std::int64_t n, int round_up)
{
    if (n < 1024) {
        std::snprintf(format_buffer, sizeof format_buffer, "%dB", static_cast<int>(n));
        return format_buffer;
    }
    const char* unit = "GiB";
    double scale = 1073741824.0;
    if (n < 1048576) {
        unit = "KiB";
        scale = 1024.0;
    } else if (n < 1073741824) {
        unit = "MiB";
        scale = 1048576.0;
    }
    double value = static_cast<double>(n) / scale;
    if (round_up) {
        value = std::ceil(value * 100.0 - 1e-9) / 100.0;
    }
    std::snprintf(format_buffer, sizeof format_buffer, "%.2f%s", value, unit);
    return format_buffer;
}
} // namespace

const char* format_bytes(std::int64_t n)
{
    return format_scaled(n, 0);
}

const char* format_bytes_up(std::int64_t n)
{
    return format_scaled(n, 1);
}

void transfer_write_space_text(char* text, std::int64_t missing_bytes)
{
    std::snprintf(text, PROGRESS_TEXT_SIZE, "%.31s more needed", format_bytes_up(missing_bytes));
}

const char* format_duration(std::int64_t seconds)
{
    const std::int64_t r = seconds % 60;
    const auto m = static_cast<std::int32_t>(seconds / 60);
    const std::int32_t h = m / 60;
    const std::int32_t mm = m % 60;
    if (h > 0) {
        std::snprintf(format_buffer, sizeof format_buffer, "%d:%02d:%02d", h, mm,
                      static_cast<int>(r));
    } else if (mm > 0) {
        std::snprintf(format_buffer, sizeof format_buffer, "%d:%02d", mm, static_cast<int>(r));
    } else {
        std::snprintf(format_buffer, sizeof format_buffer, "0:%02d", static_cast<int>(r));
    }
    return format_buffer;
}

void transfer_begin(TransferProgress* tp, std::int64_t total)
{
    tp->total = total;
    tp->completed = 0;
    tp->tick_ms = 0;
    tp->start_ms = clock_monotonic_ms();
    tp->last_ms = tp->start_ms;
}

void transfer_entry_done(TransferProgress* tp, std::int64_t size)
{
    tp->completed += size;
}

TransferFigures transfer_update(TransferProgress* tp, std::int64_t transfer_bytes, char* bytes_text,
                                char* speed_text, char* time_text)
{
    return transfer_update_at(tp, transfer_bytes, bytes_text, speed_text, time_text,
                              clock_monotonic_ms());
}

TransferFigures transfer_update_at(TransferProgress* tp, std::int64_t transfer_bytes,
                                   char* bytes_text, char* speed_text, char* time_text,
                                   std::int64_t now)
{
    const TransferFigures f = transfer_figures_at(tp, transfer_bytes, now);
    transfer_write_texts(tp, &f, bytes_text, speed_text, time_text);
    return f;
}

TransferFigures transfer_figures(TransferProgress* tp, std::int64_t transfer_bytes)
{
    return transfer_figures_at(tp, transfer_bytes, clock_monotonic_ms());
}

TransferFigures transfer_figures_at(TransferProgress* tp, std::int64_t transfer_bytes,
                                    std::int64_t now)
{
    TransferFigures f = {};
    f.done = tp->completed + transfer_bytes;
    f.fraction = static_cast<float>(static_cast<double>(f.done) / static_cast<double>(tp->total));
    const auto done_rounded = static_cast<float>(f.done);

    tp->tick_ms += now - tp->last_ms;
    const std::int64_t elapsed = now - tp->start_ms;

    double speed = 0.0;
    if (elapsed > 0) {
        speed = static_cast<double>(done_rounded) / (static_cast<double>(elapsed) / 1000.0);
    }
    f.remaining_s = 0;
    if (speed > 0.0) {
        f.remaining_s = seconds_from(static_cast<double>(tp->total - f.done) / speed);
    }
    f.speed = static_cast<float>(speed);

    if (tp->tick_ms > REDRAW_TICK_MS) {
        f.redraw_due = 1;
        tp->tick_ms = (tp->tick_ms - REDRAW_TICK_MS) % REDRAW_TICK_MS;
    } else {
        f.redraw_due = 0;
    }
    tp->last_ms = now;
    return f;
}

void transfer_write_texts(const TransferProgress* tp, const TransferFigures* f, char* bytes_text,
                          char* speed_text, char* time_text)
{
    bytes_text[0] = '\0';
    append(bytes_text, format_bytes(f->done));
    append(bytes_text, " of ");
    append(bytes_text, format_bytes(tp->total));
    speed_text[0] = '\0';
    append(speed_text, "Speed: ");
    append(speed_text, format_bytes(static_cast<std::int64_t>(f->speed)));
    append(speed_text, "ps");
    time_text[0] = '\0';
    append(time_text, "Time Rem.: ");
    append(time_text, format_duration(f->remaining_s));
}

namespace {

// prefix, file_name's last component and tail on one line of
// PROGRESS_LINE_CHARS, the name cut with "..." where it does not fit.
void line_with_name(char* line, const char* prefix, const char* file_name, const char* tail)
{
    const char* slash = std::strrchr(file_name, '/');
    const char* name = slash != nullptr ? slash + 1 : file_name;
    int room = PROGRESS_LINE_CHARS - static_cast<int>(std::strlen(prefix)) -
               static_cast<int>(std::strlen(tail));
    if (room < 4) {
        room = 4;
    }
    if (static_cast<int>(std::strlen(name)) <= room) {
        std::snprintf(line, PROGRESS_TEXT_SIZE, "%s%s%s", prefix, name, tail);
    } else {
        std::snprintf(line, PROGRESS_TEXT_SIZE, "%s%.*s...%s", prefix, room - 3, name, tail);
    }
}

int replace_text(char* text, const char* line)
{
    if (std::strcmp(text, line) == 0) {
        return 0;
    }
    std::snprintf(text, PROGRESS_TEXT_SIZE, "%s", line);
    return 1;
}

} // namespace

int transfer_write_retry_text(char* text, const char* file_name, std::int64_t wait_ms)
{
    char line[PROGRESS_TEXT_SIZE] = "";
    if (wait_ms > 0) {
        const long long seconds = (wait_ms + 999) / 1000;
        char tail[32];
        std::snprintf(tail, sizeof tail, " in %lld s", seconds);
        line_with_name(line, "Retrying ", file_name, tail);
    }
    return replace_text(text, line);
}

int transfer_write_patch_text(char* text, const char* file_name, std::int64_t fetch_bytes,
                              std::int64_t size)
{
    char line[PROGRESS_TEXT_SIZE] = "";
    if (size > 0 && fetch_bytes < 0) {
        line_with_name(line, "Patching ", file_name, "");
    } else if (size > 0) {
        // A byte count is a dozen characters at most.
        char fetch[32];
        char whole[32];
        std::snprintf(fetch, sizeof fetch, "%.31s", format_bytes(fetch_bytes));
        std::snprintf(whole, sizeof whole, "%.31s", format_bytes(size));
        std::snprintf(line, sizeof line, "Patch: %s of %s", fetch, whole);
        if (std::strlen(line) > static_cast<std::size_t>(PROGRESS_LINE_CHARS)) {
            std::snprintf(line, sizeof line, "Patch: %s/%s", fetch, whole);
        }
    }
    return replace_text(text, line);
}
