#!/usr/bin/env python3
"""Draws the page's home-screen icons, icon-192.png and icon-512.png, beside this script.

Run once when the drawing changes; the PNG files are kept in the repository, so a build never
needs this script. The drawing: a "T" in white on a dark rounded square, with an amber dot for
an agent that waits.
"""
import os, struct, zlib

here = os.path.dirname(os.path.abspath(__file__))
background = (15, 23, 42)
letter = (255, 255, 255)
waiting = (245, 158, 11)


def inside_rounded(x, y, size, radius):
    # Whether the pixel centre lies within the square with rounded corners.
    cx = min(max(x + 0.5, radius), size - radius)
    cy = min(max(y + 0.5, radius), size - radius)
    return (x + 0.5 - cx) ** 2 + (y + 0.5 - cy) ** 2 <= radius ** 2


def pixel(x, y, size):
    u, v = x / size, y / size
    if not inside_rounded(x, y, size, size * 0.19):
        return (0, 0, 0, 0)
    if (u - 0.72) ** 2 + (v - 0.72) ** 2 <= 0.1 ** 2:
        return waiting + (255,)
    bar = 0.22 <= u <= 0.78 and 0.22 <= v <= 0.34
    stem = 0.43 <= u <= 0.57 and 0.22 <= v <= 0.80
    return (letter if bar or stem else background) + (255,)


def png(size):
    rows = b"".join(b"\x00" + bytes(c for x in range(size) for c in pixel(x, y, size))
                    for y in range(size))

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


for size in (192, 512):
    with open(os.path.join(here, f"icon-{size}.png"), "wb") as out:
        out.write(png(size))
