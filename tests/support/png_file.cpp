#include "tests/support/png_file.h"

#include <cstdio>
#include <cstring>

namespace {

const unsigned char PNG_SIGNATURE[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
constexpr std::size_t STORED_BLOCK_MAX = 65535;
constexpr std::int32_t SIDE_MAX = 16384;

std::uint32_t crc32_of(const std::string& bytes, std::size_t from, std::size_t count)
{
    std::uint32_t crc = 0xffffffffu;
    for (std::size_t i = from; i < from + count; ++i) {
        crc ^= static_cast<unsigned char>(bytes[i]);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
        }
    }
    return crc ^ 0xffffffffu;
}

std::uint32_t adler32_of(const std::string& bytes)
{
    std::uint32_t a = 1;
    std::uint32_t b = 0;
    for (unsigned char c : bytes) {
        a = (a + c) % 65521u;
        b = (b + a) % 65521u;
    }
    return (b << 16) | a;
}

void put_u32(std::string* out, std::uint32_t v)
{
    out->push_back(static_cast<char>(v >> 24));
    out->push_back(static_cast<char>(v >> 16));
    out->push_back(static_cast<char>(v >> 8));
    out->push_back(static_cast<char>(v));
}

std::uint32_t get_u32(const std::string& s, std::size_t at)
{
    return (std::uint32_t{static_cast<unsigned char>(s[at])} << 24) |
           (std::uint32_t{static_cast<unsigned char>(s[at + 1])} << 16) |
           (std::uint32_t{static_cast<unsigned char>(s[at + 2])} << 8) |
           std::uint32_t{static_cast<unsigned char>(s[at + 3])};
}

void put_chunk(std::string* out, const char* type, const std::string& data)
{
    put_u32(out, static_cast<std::uint32_t>(data.size()));
    const std::size_t start = out->size();
    out->append(type, 4);
    out->append(data);
    put_u32(out, crc32_of(*out, start, out->size() - start));
}

} // namespace

std::string png_encode(const RgbPicture& picture)
{
    std::string raw;
    const std::size_t row_bytes = static_cast<std::size_t>(picture.width) * 3u;
    for (std::int32_t y = 0; y < picture.height; ++y) {
        raw.push_back('\0'); // filter: none
        raw.append(reinterpret_cast<const char*>(picture.rgb.data()) + y * row_bytes, row_bytes);
    }
    std::string zlib = {'\x78', '\x01'};
    std::size_t at = 0;
    do {
        const std::size_t n =
            raw.size() - at < STORED_BLOCK_MAX ? raw.size() - at : STORED_BLOCK_MAX;
        const bool last = at + n == raw.size();
        zlib.push_back(last ? '\x01' : '\x00');
        zlib.push_back(static_cast<char>(n & 0xff));
        zlib.push_back(static_cast<char>(n >> 8));
        zlib.push_back(static_cast<char>(~n & 0xff));
        zlib.push_back(static_cast<char>((~n >> 8) & 0xff));
        zlib.append(raw, at, n);
        at += n;
    } while (at < raw.size());
    put_u32(&zlib, adler32_of(raw));

    std::string header;
    put_u32(&header, static_cast<std::uint32_t>(picture.width));
    put_u32(&header, static_cast<std::uint32_t>(picture.height));
    header += std::string{'\x08', '\x02', '\x00', '\x00', '\x00'};

    std::string out(reinterpret_cast<const char*>(PNG_SIGNATURE), 8);
    put_chunk(&out, "IHDR", header);
    put_chunk(&out, "IDAT", zlib);
    put_chunk(&out, "IEND", std::string());
    return out;
}

int png_decode(const std::string& bytes, RgbPicture* picture)
{
    if (bytes.size() < 8 || std::memcmp(bytes.data(), PNG_SIGNATURE, 8) != 0) {
        return 0;
    }
    std::size_t at = 8;
    std::string header;
    std::string zlib;
    bool ended = false;
    while (!ended) {
        if (bytes.size() - at < 12) {
            return 0;
        }
        const std::uint32_t length = get_u32(bytes, at);
        if (length > bytes.size() - at - 12) {
            return 0;
        }
        const std::string type = bytes.substr(at + 4, 4);
        if (crc32_of(bytes, at + 4, length + 4) != get_u32(bytes, at + 8 + length)) {
            return 0;
        }
        const std::string data = bytes.substr(at + 8, length);
        if (type == "IHDR") {
            header = data;
        } else if (type == "IDAT") {
            zlib += data;
        } else if (type == "IEND") {
            ended = true;
        } else if ((type[0] & 0x20) == 0) {
            return 0; // an unknown critical chunk
        }
        at += 12 + length;
    }
    if (header.size() != 13 ||
        header.substr(8) != std::string{'\x08', '\x02', '\x00', '\x00', '\x00'}) {
        return 0;
    }
    const std::uint32_t width = get_u32(header, 0);
    const std::uint32_t height = get_u32(header, 4);
    if (width == 0 || height == 0 || width > SIDE_MAX || height > SIDE_MAX) {
        return 0;
    }
    if (zlib.size() < 6 || (zlib[0] & 0x0f) != 8 ||
        ((static_cast<unsigned char>(zlib[0]) << 8) | static_cast<unsigned char>(zlib[1])) % 31 !=
            0) {
        return 0;
    }
    std::string raw;
    std::size_t pos = 2;
    bool last = false;
    while (!last) {
        if (zlib.size() - pos < 5) {
            return 0;
        }
        const auto flags = static_cast<unsigned char>(zlib[pos]);
        if ((flags & 0x06) != 0) {
            return 0; // compressed blocks are not ours
        }
        last = (flags & 1) != 0;
        const std::size_t n = static_cast<unsigned char>(zlib[pos + 1]) |
                              (std::size_t{static_cast<unsigned char>(zlib[pos + 2])} << 8);
        const std::size_t check = static_cast<unsigned char>(zlib[pos + 3]) |
                                  (std::size_t{static_cast<unsigned char>(zlib[pos + 4])} << 8);
        if ((n ^ check) != 0xffff || zlib.size() - pos - 5 < n) {
            return 0;
        }
        raw.append(zlib, pos + 5, n);
        pos += 5 + n;
    }
    if (zlib.size() - pos != 4 || get_u32(zlib, pos) != adler32_of(raw)) {
        return 0;
    }
    const std::size_t row_bytes = std::size_t{width} * 3u;
    if (raw.size() != (row_bytes + 1) * height) {
        return 0;
    }
    picture->width = static_cast<std::int32_t>(width);
    picture->height = static_cast<std::int32_t>(height);
    picture->rgb.assign(row_bytes * height, 0);
    for (std::size_t y = 0; y < height; ++y) {
        if (raw[y * (row_bytes + 1)] != '\0') {
            return 0;
        }
        std::memcpy(picture->rgb.data() + y * row_bytes, raw.data() + y * (row_bytes + 1) + 1,
                    row_bytes);
    }
    return 1;
}

int png_write(const std::string& path, const RgbPicture& picture)
{
    const std::string bytes = png_encode(picture);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        return 0;
    }
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return (std::fclose(f) == 0 && ok) ? 1 : 0;
}

int png_read(const std::string& path, RgbPicture* picture)
{
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return 0;
    }
    std::string bytes;
    char block[65536];
    std::size_t n = 0;
    while ((n = std::fread(block, 1, sizeof block, f)) > 0) {
        bytes.append(block, n);
    }
    std::fclose(f);
    return png_decode(bytes, picture);
}
