#!/usr/bin/env python3
"""Draws the progress window's icon (32x32 and 16x16, 32-bit colour) into morx32.ico.

The icon is checked in; run this again only to change its look: python3 make_icon.py morx32.ico
"""
import struct
import sys

NAVY = (0x1F, 0x3A, 0x7A)
TRACK = (0xE8, 0xEC, 0xF4)
GREEN = (0x2E, 0xA0, 0x44)
AQUA = (0x6C, 0xD4, 0xF0)


def pixel(x, y, n):
    """Colour and alpha of pixel (x, y) (y from the top) of an n x n icon, in 32x32 units."""
    u, v = x * 32.0 / n + 16.0 / n, y * 32.0 / n + 16.0 / n  # pixel centre
    # Rounded square tile.
    r = 6.0
    cx = min(max(u, r), 32 - r)
    cy = min(max(v, r), 32 - r)
    if (u - cx) ** 2 + (v - cy) ** 2 > r * r:
        return (0, 0, 0), 0
    # Progress bar near the bottom: a light track, two thirds filled in green.
    if 22 <= v < 27 and 5 <= u < 27:
        return (GREEN if u < 19 else TRACK), 255
    # Four columns of figures above it, as in the window.
    for i, height in enumerate((8, 12, 6, 10)):
        left = 5 + i * 6
        if left <= u < left + 4 and 19 - height <= v < 19:
            return AQUA, 255
    return NAVY, 255


def image(n):
    header = struct.pack('<IiiHHIIiiII', 40, n, 2 * n, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = bytearray()
    mask_row_bytes = ((n + 31) // 32) * 4
    mask = bytearray()
    for y in reversed(range(n)):  # bottom-up rows
        bits = bytearray(mask_row_bytes)
        for x in range(n):
            (red, green, blue), alpha = pixel(x, y, n)
            colour += bytes((blue, green, red, alpha))
            if alpha == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + bytes(colour) + bytes(mask)


def main(path):
    sizes = (32, 16)
    images = [image(n) for n in sizes]
    out = bytearray(struct.pack('<HHH', 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for n, data in zip(sizes, images):
        out += struct.pack('<BBBBHHII', n, n, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for data in images:
        out += data
    with open(path, 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main(sys.argv[1] if len(sys.argv) > 1 else 'morx32.ico')
