// progress_set and progress_draw with arbitrary floats (NaN, infinities,
// denormals, huge values) in any order, at arbitrary positions: no
// out-of-bounds drawing and the bar only ever shows a value it was given.
#include "art/art.h"
#include "gfx/widgets.h"
#include "platform/window.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/support/offscreen_window.h"

#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzReader in{data, size};
    offscreen_open(400, 400);
    ProgressBar bar{};
    bar.x = in.take<std::int32_t>();
    bar.y = in.take<std::int32_t>();
    const std::uint8_t pictures = in.take<std::uint8_t>();
    bar.fill = (pictures & 1) != 0 ? &ART_BUTTON_HOVER : nullptr;
    bar.trough = (pictures & 2) != 0 ? &ART_BUTTON_NORMAL : nullptr;
    bar.shown = in.take<float>();
    bar.target = bar.shown;
    std::vector<float> given{bar.shown};
    while (in.size > 0) {
        const std::uint8_t step = in.take<std::uint8_t>();
        if ((step & 1) != 0) {
            progress_draw(&bar);
        } else {
            const float fraction = in.take<float>();
            given.push_back(fraction);
            progress_set(&bar, fraction);
            FUZZ_CHECK(std::memcmp(&bar.target, &fraction, sizeof fraction) == 0);
            bool known = false;
            for (float g : given) {
                known = known || std::memcmp(&g, &bar.shown, sizeof g) == 0;
            }
            FUZZ_CHECK(known);
        }
    }
    (void)widgets_take_changed();
    return 0;
}
