// draw_text with arbitrary bytes (every one of the 256 values) at arbitrary
// positions and box sizes, on a small back buffer whose bounds the address
// sanitizer watches; the buffer must stay the size it was.
#include "gfx/text.h"
#include "platform/window.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/support/offscreen_window.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzReader in{data, size};
    const std::int32_t buffer_w = 1 + in.take<std::uint8_t>() % 64;
    const std::int32_t buffer_h = 1 + in.take<std::uint8_t>() % 64;
    const auto x = in.take<std::int32_t>();
    const auto y = in.take<std::int32_t>();
    const auto w = in.take<std::int32_t>();
    const auto h = in.take<std::int32_t>();
    const std::string text(reinterpret_cast<const char*>(in.data), in.size);
    offscreen_open(buffer_w, buffer_h);
    draw_text(x, y, w, h, text.c_str());
    FUZZ_CHECK(back_buffer.width == buffer_w && back_buffer.height == buffer_h);
    FUZZ_CHECK(offscreen_repaints() >= 0);
    return 0;
}
