#include "platform/x11/pixel_layout.h"

namespace {

struct ChannelShift {
    int shift; // position of the mask's lowest bit
    int bits;  // width of the mask
};

ChannelShift channel_of(std::uint32_t mask)
{
    ChannelShift channel = {0, 0};
    if (mask == 0) {
        return channel;
    }
    while ((mask & 1u) == 0) {
        mask >>= 1;
        ++channel.shift;
    }
    while ((mask & 1u) != 0) {
        mask >>= 1;
        ++channel.bits;
    }
    return channel;
}

int mask_contiguous(std::uint32_t mask)
{
    if (mask == 0) {
        return 0;
    }
    const ChannelShift channel = channel_of(mask);
    const std::uint64_t rebuilt = ((std::uint64_t{1} << channel.bits) - 1) << channel.shift;
    return rebuilt == mask ? 1 : 0;
}

std::uint32_t scale_channel(std::uint8_t value, ChannelShift channel)
{
    std::uint32_t scaled = 0;
    if (channel.bits <= 8) {
        scaled = static_cast<std::uint32_t>(value) >> (8 - channel.bits);
    } else {
        // Wider than 8 bits: repeat the byte into the low bits so that 255
        // still means full intensity.
        int filled = 0;
        while (filled < channel.bits) {
            const int take = channel.bits - filled < 8 ? channel.bits - filled : 8;
            scaled = (scaled << take) | (static_cast<std::uint32_t>(value) >> (8 - take));
            filled += take;
        }
    }
    return scaled << channel.shift;
}

} // namespace

int pixel_layout_valid(const PixelLayout& layout)
{
    const int bpp = layout.bits_per_pixel;
    if (bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) {
        return 0;
    }
    const std::uint32_t masks[3] = {layout.red_mask, layout.green_mask, layout.blue_mask};
    const std::uint64_t limit = (std::uint64_t{1} << bpp) - 1;
    for (std::uint32_t mask : masks) {
        if (mask_contiguous(mask) == 0 || mask > limit) {
            return 0;
        }
    }
    if ((layout.red_mask & layout.green_mask) != 0 || (layout.red_mask & layout.blue_mask) != 0 ||
        (layout.green_mask & layout.blue_mask) != 0) {
        return 0;
    }
    return 1;
}

std::uint32_t pixel_pack(const PixelLayout& layout, std::uint8_t r, std::uint8_t g, std::uint8_t b)
{
    return scale_channel(r, channel_of(layout.red_mask)) |
           scale_channel(g, channel_of(layout.green_mask)) |
           scale_channel(b, channel_of(layout.blue_mask));
}

void pixel_convert_row(const PixelLayout& layout, const std::uint8_t* bgr, std::uint8_t* out,
                       int count)
{
    const int bytes = layout.bits_per_pixel / 8;
    // The common visual (x8r8g8b8, least significant byte first) is the
    // buffer's own byte order plus a pad byte: copy without packing.
    if (bytes == 4 && layout.msb_first == 0 && layout.red_mask == 0xFF0000u &&
        layout.green_mask == 0xFF00u && layout.blue_mask == 0xFFu) {
        for (int i = 0; i < count; ++i) {
            out[0] = bgr[0];
            out[1] = bgr[1];
            out[2] = bgr[2];
            out[3] = 0;
            bgr += 3;
            out += 4;
        }
        return;
    }
    const ChannelShift red = channel_of(layout.red_mask);
    const ChannelShift green = channel_of(layout.green_mask);
    const ChannelShift blue = channel_of(layout.blue_mask);
    for (int i = 0; i < count; ++i) {
        const std::uint32_t value =
            scale_channel(bgr[2], red) | scale_channel(bgr[1], green) | scale_channel(bgr[0], blue);
        for (int k = 0; k < bytes; ++k) {
            const int shift = layout.msb_first != 0 ? (bytes - 1 - k) * 8 : k * 8;
            out[k] = static_cast<std::uint8_t>(value >> shift);
        }
        bgr += 3;
        out += bytes;
    }
}
