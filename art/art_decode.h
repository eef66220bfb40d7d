// Unpacks a picture stored by tools/make_art.py: base64 text of a run-length
// code over 4-byte pixels. A control byte c < 128 is followed by c + 1
// literal pixels; c >= 128 by one pixel that repeats c - 127 times.
#pragma once

#include <cstddef>
#include <cstdint>

// Fills out with exactly size bytes. 1 when the text decodes to exactly that
// many bytes; 0 on malformed text or a size mismatch, in which case out holds
// what was decoded up to the fault (never more than size bytes) and the rest
// is zero, i.e. transparent.
int art_decode(const char* text, std::uint8_t* out, std::size_t size);
