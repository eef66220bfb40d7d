// A minimal PNG writer and reader for the test suite's reference pictures:
// 8-bit RGB, no interlace, image data in uncompressed ("stored") deflate
// blocks. The reader accepts exactly what the writer produces and rejects
// anything else (other formats, compressed data, bad checksums).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct RgbPicture {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::vector<std::uint8_t> rgb; // R, G, B per pixel, top row first
};

std::string png_encode(const RgbPicture& picture);
// 1 on success; 0 for anything this reader does not understand.
int png_decode(const std::string& bytes, RgbPicture* picture);

int png_write(const std::string& path, const RgbPicture& picture);
int png_read(const std::string& path, RgbPicture* picture);
