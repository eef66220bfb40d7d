// Base64 and hex: the texts keys, signatures and digests travel in.
#include "crypto/text_codings.h"

#include <cstring>

namespace {

constexpr char BASE64_DIGITS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The value of each base64 digit, -1 for any other byte ('=' and zero too).
struct Base64Table {
    signed char value[256];
    constexpr Base64Table() : value{}
    {
        for (int i = 0; i < 256; ++i) {
            value[i] = -1;
        }
        for (int i = 0; i < 64; ++i) {
            value[static_cast<unsigned char>(BASE64_DIGITS[i])] = static_cast<signed char>(i);
        }
    }
};
constexpr Base64Table BASE64;

int base64_value(char c)
{
    return BASE64.value[static_cast<unsigned char>(c)];
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

} // namespace

int base64_encode(const std::uint8_t* bytes, int length, char* out, int out_size)
{
    const int needed = (length + 2) / 3 * 4;
    if (length < 0 || needed >= out_size) {
        return -1;
    }
    int at = 0;
    for (int i = 0; i < length; i += 3) {
        const int rest = length - i;
        const unsigned group = (static_cast<unsigned>(bytes[i]) << 16) |
                               (rest > 1 ? static_cast<unsigned>(bytes[i + 1]) << 8 : 0u) |
                               (rest > 2 ? static_cast<unsigned>(bytes[i + 2]) : 0u);
        out[at++] = BASE64_DIGITS[(group >> 18) & 63];
        out[at++] = BASE64_DIGITS[(group >> 12) & 63];
        out[at++] = rest > 1 ? BASE64_DIGITS[(group >> 6) & 63] : '=';
        out[at++] = rest > 2 ? BASE64_DIGITS[group & 63] : '=';
    }
    out[at] = '\0';
    return at;
}

int base64_decode(const char* text, int text_length, std::uint8_t* out, int out_size)
{
    int length = text_length < 0 ? 0 : text_length;
    while (length > 0 && is_blank(*text)) {
        ++text;
        --length;
    }
    while (length > 0 && is_blank(text[length - 1])) {
        --length;
    }
    if (length % 4 != 0) {
        return -1;
    }
    int written = 0;
    for (int i = 0; i < length; i += 4) {
        const bool last = i + 4 == length;
        const int pad = last ? (text[i + 3] == '=') + (text[i + 2] == '=') : 0;
        if (text[i + 2] == '=' && text[i + 3] != '=') {
            return -1;
        }
        int digits[4] = {};
        for (int k = 0; k < 4 - pad; ++k) {
            digits[k] = base64_value(text[i + k]);
            if (digits[k] < 0) {
                return -1;
            }
        }
        const unsigned group =
            (static_cast<unsigned>(digits[0]) << 18) | (static_cast<unsigned>(digits[1]) << 12) |
            (static_cast<unsigned>(digits[2]) << 6) | static_cast<unsigned>(digits[3]);
        // Canonical only: the bits a padded group leaves over are zero, so
        // one value has one text.
        if ((pad == 1 && (group & 0xFF) != 0) || (pad == 2 && (group & 0xFFFF) != 0)) {
            return -1;
        }
        if (written + 3 - pad > out_size) {
            return -1;
        }
        out[written++] = static_cast<std::uint8_t>(group >> 16);
        if (pad < 2) {
            out[written++] = static_cast<std::uint8_t>(group >> 8);
        }
        if (pad < 1) {
            out[written++] = static_cast<std::uint8_t>(group);
        }
    }
    return written;
}

void hex_encode(const std::uint8_t* bytes, int length, char* out)
{
    static const char digits[] = "0123456789abcdef";
    for (int i = 0; i < length; ++i) {
        out[2 * i] = digits[bytes[i] >> 4];
        out[2 * i + 1] = digits[bytes[i] & 15];
    }
    out[2 * length] = '\0';
}

int hex_decode(const char* text, int text_length, std::uint8_t* out, int length)
{
    if (text_length != 2 * length) {
        return 0;
    }
    for (int i = 0; i < length; ++i) {
        const int high = hex_value(text[2 * i]);
        const int low = high >= 0 ? hex_value(text[2 * i + 1]) : -1;
        if (low < 0) {
            return 0;
        }
        out[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return 1;
}

int base64_stream_next(Base64Stream* stream, std::uint8_t* byte)
{
    while (stream->bit_count < 8) {
        const int v = stream->text < stream->text_end ? base64_value(*stream->text) : -1;
        if (v < 0) {
            return 0;
        }
        ++stream->text;
        stream->bits = (stream->bits << 6) | static_cast<std::uint32_t>(v);
        stream->bit_count += 6;
    }
    stream->bit_count -= 8;
    *byte = static_cast<std::uint8_t>(stream->bits >> stream->bit_count);
    stream->bits &= (1u << stream->bit_count) - 1u;
    return 1;
}
