// Drawing into a 400 x 400 back buffer with no window open: the whole
// composition of each screen, the background blit and a line of text, each
// through the fast blitters and through the plain per-pixel reference forms.
#include "app/screens.h"
#include "app/startup.h"
#include "art/art.h"
#include "gfx/image.h"
#include "gfx/text.h"
#include "gfx/widgets.h"
#include "platform/window.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <vector>

namespace {

std::vector<std::uint8_t> pixels(400 * 400 * 3);

// Argument 0: fast blitters; 1: reference forms; 2 (compose only): fast
// blitters with the frame drawn on every composition instead of copied.
void prepare(const benchmark::State& state)
{
    back_buffer.pixels = pixels.data();
    back_buffer.width = 400;
    back_buffer.height = 400;
    blit_set_reference_mode(state.range(0) == 1 ? 1 : 0);
}

void BM_Compose(benchmark::State& state, int screen)
{
    prepare(state);
    screen_setup();
    std::snprintf(bytes_text, sizeof bytes_text, "%s", "512.00MiB of 1.00GiB");
    std::snprintf(speed_text, sizeof speed_text, "%s", "Speed: 612.40MiBps");
    std::snprintf(time_text, sizeof time_text, "%s", "Time Rem.: 0:01");
    progress_set(&download_bar, 0.5f);
    notes_count = 0;
    const char* notes[] = {"Quorvel 1.2",       "New forest map", "Faster loading",
                           "Smaller downloads", "Fixed the lake", "Thanks for playing"};
    for (const char* line : notes) {
        std::snprintf(notes_lines[notes_count++], NOTES_LINE_SIZE, "%s", line);
    }
    const bool draw_frame_each_time = state.range(0) == 2;
    for (auto _ : state) {
        if (draw_frame_each_time) {
            screen_forget_frame();
        }
        screen_show(screen);
        benchmark::DoNotOptimize(pixels.data());
    }
    blit_set_reference_mode(0);
}

void BM_BlitBackground(benchmark::State& state)
{
    prepare(state);
    for (auto _ : state) {
        draw_image_region(&ART_BACKGROUND, 0, 0, 0, 0, 400, 400);
        benchmark::DoNotOptimize(pixels.data());
    }
    blit_set_reference_mode(0);
}

void BM_DrawText(benchmark::State& state)
{
    prepare(state);
    for (auto _ : state) {
        draw_text(50, 262, 0, 32, "512.00MiB of 1.00GiB");
        benchmark::DoNotOptimize(pixels.data());
    }
    blit_set_reference_mode(0);
}

BENCHMARK_CAPTURE(BM_Compose, checking, SCREEN_CHECKING)->Arg(0)->Arg(1)->Arg(2);
BENCHMARK_CAPTURE(BM_Compose, retry, SCREEN_RETRY)->Arg(0)->Arg(1)->Arg(2);
BENCHMARK_CAPTURE(BM_Compose, download, SCREEN_DOWNLOAD)->Arg(0)->Arg(1)->Arg(2);
BENCHMARK_CAPTURE(BM_Compose, ready, SCREEN_READY)->Arg(0)->Arg(1)->Arg(2);
BENCHMARK(BM_BlitBackground)->Arg(0)->Arg(1);
BENCHMARK(BM_DrawText)->Arg(0)->Arg(1);

} // namespace
