// The X11 window's repaint bookkeeping for one download frame: the buffer
// compared with the last painted copy, the changed spans converted. Against
// the whole-buffer conversion a repaint would otherwise need.
#include "app/progress.h"
#include "app/screens.h"
#include "platform/window.h"
#include "platform/x11/paint_changes.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <vector>

namespace {

constexpr PixelLayout XRGB8888 = {32, 0, 0xFF0000u, 0xFF00u, 0xFFu};

// Two successive download frames: the bar one column on, the texts a little
// further.
void compose_download(std::vector<std::uint8_t>* pixels, float fraction, const char* done)
{
    back_buffer.pixels = pixels->data();
    back_buffer.width = 400;
    back_buffer.height = 400;
    screen_setup();
    std::snprintf(bytes_text, sizeof bytes_text, "%s of 1.00GiB", done);
    std::snprintf(speed_text, sizeof speed_text, "%s", "Speed: 612.40MiBps");
    std::snprintf(time_text, sizeof time_text, "%s", "Time Rem.: 0:01");
    progress_set(&download_bar, fraction);
    screen_show(SCREEN_DOWNLOAD);
}

void BM_PaintDownloadFrame(benchmark::State& state)
{
    std::vector<std::uint8_t> first(400 * 400 * 3);
    std::vector<std::uint8_t> second(400 * 400 * 3);
    compose_download(&first, 0.500f, "512.00MiB");
    compose_download(&second, 0.510f, "522.24MiB");
    back_buffer.pixels = nullptr;
    std::vector<std::uint8_t> shown(first);
    std::vector<std::uint8_t> image(400 * 400 * 4);
    PaintChanges changes;
    const bool whole = state.range(0) == 1;
    int flip = 0;
    for (auto _ : state) {
        const std::vector<std::uint8_t>& now = flip ? first : second;
        flip ^= 1;
        if (whole) {
            for (int y = 0; y < 400; ++y) {
                pixel_convert_row(XRGB8888, now.data() + y * 1200, image.data() + y * 1600, 400);
            }
        } else {
            paint_take_changes(XRGB8888, now.data(), shown.data(), image.data(), 1600, 400, 400,
                               &changes);
        }
        benchmark::DoNotOptimize(image.data());
    }
    state.counters["rects"] = whole ? 1 : changes.count;
}

// Argument 0: changed spans only; 1: the whole buffer converted.
BENCHMARK(BM_PaintDownloadFrame)->Arg(0)->Arg(1);

} // namespace
