#include "art/art_decode.h"

#include "crypto/text_codings.h"

#include <cstring>

namespace {

int read_pixel(Base64Stream* r, std::uint8_t pixel[4])
{
    for (int i = 0; i < 4; ++i) {
        if (!base64_stream_next(r, &pixel[i])) {
            return 0;
        }
    }
    return 1;
}

// The rest of the text is padding only.
int at_clean_end(const Base64Stream* r)
{
    const char* p = r->text;
    while (p < r->text_end && *p == '=') {
        ++p;
    }
    return p == r->text_end;
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
    Base64Stream reader{text, text + std::strlen(text), 0, 0};
    std::size_t written = 0;
    std::uint8_t control = 0;
    while (base64_stream_next(&reader, &control)) {
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
