#!/usr/bin/python3
"""Writes a plain placeholder .ico (32, 48, 64 and 96 pixels square, 32 bits
per pixel) so that the icon resource builds before the real art exists.

Usage: make_placeholder_icon.py OUTPUT.ico
"""
import os
import struct
import sys

SIZES = (32, 48, 64, 96)


def icon_image(size):
    """One icon image: a BITMAPINFOHEADER, bottom-up BGRA rows, an AND mask."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = []
    for y in range(size):
        row = bytearray()
        for x in range(size):
            inside = min(x, y, size - 1 - x, size - 1 - y) >= size // 8
            # A violet square with a pale diagonal band on a clear ground.
            if not inside:
                row += bytes((0, 0, 0, 0))
            elif abs(x - y) < size // 10:
                row += bytes((230, 220, 240, 255))
            else:
                row += bytes((150, 40, 90, 255))
        rows.append(bytes(row))
    pixels = b"".join(reversed(rows))
    mask_row = ((size + 31) // 32) * 4
    return header + pixels + bytes(mask_row * size)


def main():
    images = [icon_image(size) for size in SIZES]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in zip(SIZES, images):
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    out += b"".join(images)
    os.makedirs(os.path.dirname(os.path.abspath(sys.argv[1])), exist_ok=True)
    with open(sys.argv[1], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
