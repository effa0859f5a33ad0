#!/usr/bin/env python3
"""Draws the station program's three icons and writes them as .ico files beside this
script: velmora.ico (the application: a white V on a blue tile), link_up.ico (a green
disc: the manager link is connected) and link_down.ico (a red disc with a white bar: the
link is down). Each file holds a 32 x 32 and a 16 x 16 image, 32 bits per pixel with an
alpha channel and the 1-bit mask that older readers want. Run it again after a change;
the .ico files are kept in the repository, so a build never needs Python."""

import os
import struct


def tile_v(x, y, n):
    """Blue tile with rounded corners and a white V."""
    f = n / 32.0
    r = 5 * f
    lo, hi = r, n - 1 - r
    cx = lo if x < lo else hi if x > hi else x
    cy = lo if y < lo else hi if y > hi else y
    if (x - cx) ** 2 + (y - cy) ** 2 > r * r:
        return None  # outside a rounded corner
    # the V: two strokes from the top corners down to the middle of the bottom
    top, bottom = 6 * f, n - 7 * f
    half = 2.2 * f
    if top <= y <= bottom:
        t = (y - top) / (bottom - top)
        left = 7 * f + t * (n / 2.0 - 7 * f)
        right = (n - 1 - 7 * f) - t * ((n - 1 - 7 * f) - n / 2.0)
        if abs(x - left) <= half or abs(x - right) <= half:
            return (255, 255, 255, 255)
    return (200, 90, 20, 255)  # blue, in BGRA order


def disc(colour, bar):
    def draw(x, y, n):
        c = (n - 1) / 2.0
        r = n / 2.0 - 1
        d2 = (x - c) ** 2 + (y - c) ** 2
        if d2 > r * r:
            return None
        if d2 > (r - max(1, n / 16.0)) ** 2:
            return (40, 40, 40, 255)  # dark rim
        if bar and abs(y - c) <= n / 10.0 and abs(x - c) <= r * 0.6:
            return (255, 255, 255, 255)
        return colour
    return draw


def image(draw, n):
    """BITMAPINFOHEADER, the BGRA rows bottom-up, then the AND mask rows bottom-up."""
    header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = bytearray()
    mask = bytearray()
    mask_row_bytes = ((n + 31) // 32) * 4
    for y in reversed(range(n)):
        row_mask = bytearray(mask_row_bytes)
        for x in range(n):
            p = draw(x, y, n)
            if p is None:
                pixels += b"\0\0\0\0"
                row_mask[x // 8] |= 0x80 >> (x % 8)
            else:
                pixels += bytes(p)
        mask += row_mask
    return header + bytes(pixels) + bytes(mask)


def write_ico(path, draw):
    images = [image(draw, n) for n in (32, 16)]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for n, data in zip((32, 16), images):
        out += struct.pack("<BBBBHHII", n, n, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for data in images:
        out += data
    with open(path, "wb") as f:
        f.write(out)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    write_ico(os.path.join(here, "velmora.ico"), tile_v)
    write_ico(os.path.join(here, "link_up.ico"), disc((60, 170, 40, 255), False))
    write_ico(os.path.join(here, "link_down.ico"), disc((40, 40, 210, 255), True))


if __name__ == "__main__":
    main()
