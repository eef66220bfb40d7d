#include "art/art_decode.h"

#include <cstring>

namespace {

// One base64 reader over a zero-terminated text.
struct Base64Reader {
    const char* text;
    std::uint32_t bits;
    int bit_count;
};

// Value of each base64 character, -1 for anything else (the terminating
// zero and '=' padding included).
struct Base64Table {
    signed char value[256];
    constexpr Base64Table() : value{}
    {
        const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (int i = 0; i < 256; ++i) {
            value[i] = -1;
        }
        for (int i = 0; i < 64; ++i) {
            value[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
        }
    }
};
constexpr Base64Table BASE64;

int base64_value(char c)
{
    return BASE64.value[static_cast<unsigned char>(c)];
}

// 1 and the next byte in *byte, or 0 at the end of the text (or at padding
// or any character outside the alphabet).
int base64_next(Base64Reader* r, std::uint8_t* byte)
{
    while (r->bit_count < 8) {
        const int v = base64_value(*r->text);
        if (v < 0) {
            return 0;
        }
        ++r->text;
        r->bits = (r->bits << 6) | static_cast<std::uint32_t>(v);
        r->bit_count += 6;
    }
    r->bit_count -= 8;
    *byte = static_cast<std::uint8_t>(r->bits >> r->bit_count);
    r->bits &= (1u << r->bit_count) - 1u;
    return 1;
}

int read_pixel(Base64Reader* r, std::uint8_t pixel[4])
{
    for (int i = 0; i < 4; ++i) {
        if (!base64_next(r, &pixel[i])) {
            return 0;
        }
    }
    return 1;
}

// The rest of the text is padding only.
int at_clean_end(const Base64Reader* r)
{
    const char* p = r->text;
    while (*p == '=') {
        ++p;
    }
    return *p == '\0';
}

} // namespace

int art_decode(const char* text, std::uint8_t* out, std::size_t size)
{
    if (out == nullptr) {
        return 0;
    }
    std::memset(out, 0, size);
    if (text == nullptr || size % 4 != 0) {
        return 0;
    }
    Base64Reader reader{text, 0, 0};
    std::size_t written = 0;
    std::uint8_t control = 0;
    while (base64_next(&reader, &control)) {
        const std::size_t count = control < 128 ? std::size_t{control} + 1u : control - 127u;
        std::uint8_t pixel[4];
        if (control >= 128 && !read_pixel(&reader, pixel)) {
            return 0;
        }
        for (std::size_t i = 0; i < count; ++i) {
            if (control < 128 && !read_pixel(&reader, pixel)) {
                return 0;
            }
            if (size - written < 4) {
                return 0;
            }
            std::memcpy(out + written, pixel, 4);
            written += 4;
        }
    }
    return written == size && at_clean_end(&reader);
}
