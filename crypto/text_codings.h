// Base64 and hex: the texts keys, signatures, digests and the built-in
// pictures travel in. A library of its own (quorvel_codings), so that the
// pictures do not pull in the cryptography.
#pragma once

#include <cstdint>

// Standard base64 (RFC 4648, with padding). encode writes a terminated text
// into out (out_size bytes) and returns its length, or -1 when it does not
// fit. decode takes the text_length bytes at text (blanks around them
// allowed; a zero byte is no digit) and returns the number of bytes, or -1
// for anything that is not canonical base64 or does not fit. Lengths are
// given, never found by a terminator, so a decoder reads exactly the bytes
// a caller checked.
int base64_encode(const std::uint8_t* bytes, int length, char* out, int out_size);
int base64_decode(const char* text, int text_length, std::uint8_t* out, int out_size);

// Lower-case hex of length bytes into out (2 * length + 1 bytes); parse
// takes text_length bytes that must be exactly 2 * length hex digits (either
// case), 1 on success.
void hex_encode(const std::uint8_t* bytes, int length, char* out);
int hex_decode(const char* text, int text_length, std::uint8_t* out, int length);

// Base64 digits read one byte at a time, for texts too large to decode at
// once (the built-in pictures). The stream ends at text_end, at padding and
// at any character outside the alphabet; text then points at it.
struct Base64Stream {
    const char* text;
    const char* text_end;
    std::uint32_t bits;
    int bit_count;
};

// 1 and the next byte in *byte; 0 at the end of the digits.
int base64_stream_next(Base64Stream* stream, std::uint8_t* byte);
