#!/usr/bin/env python3
"""Draws the module's two icon bitmaps (a quill over a page) as 16-colour,
uncompressed BMP files: resources/icon16.bmp (16 x 17) and icon32.bmp (32 x 32)."""
import os
import struct

# The standard 16-colour palette, as (R, G, B).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, MAROON, SILVER, GREY, BLUE, TEAL, WHITE = 0, 1, 7, 8, 12, 6, 15


def picture(size, height):
    px = [[TEAL] * size for _ in range(height)]
    s = size / 16.0
    # The page: white sheet with a grey outline and ruled lines.
    x0, y0, x1, y1 = int(2 * s), int(3 * s), int(11 * s), int(15 * s) - 1
    for y in range(y0, y1 + 1):
        for x in range(x0, x1 + 1):
            edge = x in (x0, x1) or y in (y0, y1)
            px[y][x] = GREY if edge else WHITE
    for i in range(3):
        y = int((6 + 2.5 * i) * s)
        for x in range(x0 + max(1, int(s)), x1 - int(s)):
            px[y][x] = SILVER if size == 16 else GREY
    # The quill: a feather from top right down to a nib on the page.
    for t in range(int(13 * s)):
        x = int(14 * s) - 1 - t * 10 // 13
        y = int(1 * s) + t
        if 0 <= y < height:
            px[y][x] = BLACK if t > 10 * s else MAROON
            width = 0 if t > 10 * s else max(1, int(s * (2 - abs(t - 5 * s) / (5 * s) * 1.5)))
            for w in range(1, width + 1):
                if x + w < size:
                    px[y][x + w] = BLUE
    return px


def write_bmp(path, px):
    height, width = len(px), len(px[0])
    row_bytes = ((width * 4 + 31) // 32) * 4
    rows = []
    for row in reversed(px):
        data = bytearray()
        for i in range(0, width, 2):
            hi = row[i]
            lo = row[i + 1] if i + 1 < width else 0
            data.append((hi << 4) | lo)
        data.extend(b"\0" * (row_bytes - len(data)))
        rows.append(bytes(data))
    pixels = b"".join(rows)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    offset = 14 + 40 + len(palette)
    header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 4, 0, len(pixels), 2835, 2835, 16, 0)
    with open(path, "wb") as f:
        f.write(header + info + palette + pixels)


if __name__ == "__main__":
    here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "resources")
    small = picture(16, 17)
    write_bmp(os.path.join(here, "icon16.bmp"), small)
    write_bmp(os.path.join(here, "icon32.bmp"), picture(32, 32))
