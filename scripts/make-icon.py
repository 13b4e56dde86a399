#!/usr/bin/env python3
"""Draws the application icon (a spark on a blue disc) into resources/Sparlin.ico."""
import math
import struct
import sys


def pixel(x, y, size):
    c = (size - 1) / 2.0
    dx, dy = x - c, y - c
    r = math.hypot(dx, dy)
    if r > size * 0.48:
        return (0, 0, 0, 0)
    # Four-pointed spark: bright where |dx|*|dy| is small near the centre.
    spark = (abs(dx) * abs(dy)) / (size * size / 64.0) + r / (size * 0.45)
    if spark < 0.55:
        return (255, 236, 140, 255)
    edge = min(1.0, (size * 0.48 - r))
    shade = int(110 + 90 * (1 - r / (size * 0.48)))
    return (30, 70, shade + 40 if shade < 215 else 255, int(255 * edge))


def image(size):
    rows = []
    for y in range(size - 1, -1, -1):  # bottom-up
        row = b"".join(struct.pack("BBBB", b, g, r, a) for (r, g, b, a) in (pixel(x, y, size) for x in range(size)))
        rows.append(row)
    xor = b"".join(rows)
    mask_row = ((size + 31) // 32) * 4
    andmask = b"\x00" * (mask_row * size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(andmask), 0, 0, 0, 0)
    return header + xor + andmask


def main(path):
    sizes = [16, 32, 48]
    images = [image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for s, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "resources/Sparlin.ico")
