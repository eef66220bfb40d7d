#include "tests/support/golden_compare.h"

#include "platform/window.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

RgbPicture buffer_picture()
{
    RgbPicture p;
    p.width = back_buffer.width;
    p.height = back_buffer.height;
    p.rgb.resize(static_cast<std::size_t>(p.width) * static_cast<std::size_t>(p.height) * 3u);
    for (std::size_t i = 0; i < p.rgb.size(); i += 3) {
        p.rgb[i] = back_buffer.pixels[i + 2];
        p.rgb[i + 1] = back_buffer.pixels[i + 1];
        p.rgb[i + 2] = back_buffer.pixels[i];
    }
    return p;
}

void expect_matches_golden(const std::string& name)
{
    const RgbPicture actual = buffer_picture();
    const std::string golden = std::string(QUORVEL_GOLDEN_DIR) + "/" + name + ".png";
    const char* update = std::getenv("QUORVEL_UPDATE_GOLDEN");
    if (update != nullptr && update[0] != '\0' && update[0] != '0') {
        ASSERT_EQ(png_write(golden, actual), 1) << golden;
        std::printf("updated %s\n", golden.c_str());
        return;
    }
    RgbPicture expected;
    ASSERT_EQ(png_read(golden, &expected), 1)
        << "cannot read " << golden << " (QUORVEL_UPDATE_GOLDEN=1 creates it)";
    ASSERT_EQ(expected.width, actual.width);
    ASSERT_EQ(expected.height, actual.height);
    if (expected.rgb == actual.rgb) {
        return;
    }
    RgbPicture diff = actual;
    std::size_t differing = 0;
    for (std::size_t i = 0; i < diff.rgb.size(); i += 3) {
        const bool same = actual.rgb[i] == expected.rgb[i] &&
                          actual.rgb[i + 1] == expected.rgb[i + 1] &&
                          actual.rgb[i + 2] == expected.rgb[i + 2];
        differing += same ? 0 : 1;
        const auto grey =
            static_cast<std::uint8_t>((actual.rgb[i] + actual.rgb[i + 1] + actual.rgb[i + 2]) / 9);
        diff.rgb[i] = same ? grey : 255;
        diff.rgb[i + 1] = same ? grey : 0;
        diff.rgb[i + 2] = same ? grey : 0;
    }
    std::string flat = name;
    for (char& c : flat) {
        c = c == '/' ? '-' : c;
    }
    const std::string out = std::string(QUORVEL_GOLDEN_OUT) + "/" + flat;
    png_write(out + "_actual.png", actual);
    png_write(out + "_diff.png", diff);
    ADD_FAILURE() << name << ": " << differing << " pixels differ from " << golden << "; see "
                  << out << "_actual.png and " << out << "_diff.png";
}
