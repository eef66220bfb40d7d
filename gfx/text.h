// Bitmap text from the 16 x 8 cell font atlas ART_FONT: one 12 x 16 cell per
// byte, no wrapping, optionally centred in a box.
#pragma once

#include <cstdint>

constexpr std::int32_t GLYPH_WIDTH = 12;
constexpr std::int32_t GLYPH_HEIGHT = 16;

// A box width of 0 or less starts the text at x; a height of 0 or less puts
// its top at y. Otherwise the text is centred in the box.
void draw_text(std::int32_t x, std::int32_t y, std::int32_t w, std::int32_t h, const char* text);
