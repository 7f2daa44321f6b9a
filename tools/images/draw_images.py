#!/usr/bin/env python3
"""Draws the updater's logo (ui/images/morvane_logo.png, 48 x 48) and its
application icon (ui/images/application.ico, 16 x 16 to 256 x 256).

The emblem is a blue disc with a white double peak (an "M" drawn as two
mountains) under an orange sun. Run by hand from the source root:

    python3 tools/images/draw_images.py

Standard library only; the output is committed.
"""

import math
import os
import struct
import zlib

DISC_TOP = (0x3A, 0x9B, 0xD0)
DISC_BOTTOM = (0x12, 0x4E, 0x8C)
RIM = (0xE8, 0xF4, 0xFB)
PEAKS = (0xFF, 0xFF, 0xFF)
SUN = (0xF5, 0xA6, 0x23)

PEAK_POINTS = [(0.24, 0.70), (0.40, 0.40), (0.50, 0.56), (0.60, 0.40), (0.76, 0.70)]


def segment_distance(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)
    t = max(0.0, min(1.0, t))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))


def coverage(distance, size):
    """Anti-aliased coverage of a shape whose signed distance (in units of
    the image side) is given: 1 inside, 0 outside, a one-pixel ramp between."""
    return max(0.0, min(1.0, 0.5 - distance * size))


def blend(dst, colour, alpha):
    r, g, b, a = dst
    out_a = alpha + a * (1.0 - alpha)
    if out_a <= 0.0:
        return (0.0, 0.0, 0.0, 0.0)
    mix = [(c * alpha + d * a * (1.0 - alpha)) / out_a for c, d in zip(colour, (r, g, b))]
    return (mix[0], mix[1], mix[2], out_a)


def render(size):
    """Returns the emblem as rows of (r, g, b, a) byte tuples."""
    stroke = 0.085 if size >= 32 else 0.11  # thicker lines stay legible when small
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            px, py = (x + 0.5) / size, (y + 0.5) / size
            pixel = (0.0, 0.0, 0.0, 0.0)
            radial = math.hypot(px - 0.5, py - 0.5)

            rim = coverage(radial - 0.48, size)
            if rim > 0.0:
                pixel = blend(pixel, RIM, rim)
            disc = coverage(radial - 0.445, size)
            if disc > 0.0:
                t = max(0.0, min(1.0, (py - 0.05) / 0.9))
                colour = tuple(a + (b - a) * t for a, b in zip(DISC_TOP, DISC_BOTTOM))
                pixel = blend(pixel, colour, disc)

            peaks = min(
                segment_distance(px, py, *PEAK_POINTS[i], *PEAK_POINTS[i + 1])
                for i in range(len(PEAK_POINTS) - 1)
            )
            alpha = coverage(peaks - stroke / 2.0, size)
            if alpha > 0.0:
                pixel = blend(pixel, PEAKS, alpha)

            sun = coverage(math.hypot(px - 0.5, py - 0.25) - 0.07, size)
            if sun > 0.0:
                pixel = blend(pixel, SUN, sun)

            r, g, b, a = pixel
            row.append((round(r), round(g), round(b), round(a * 255)))
        rows.append(row)
    return rows


def png_bytes(rows):
    height, width = len(rows), len(rows[0])

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    raw = b"".join(b"\x00" + bytes(v for pixel in row for v in pixel) for row in rows)
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def dib_bytes(rows):
    """A 32-bit icon image: header, BGRA rows bottom-up, then the AND mask."""
    size = len(rows)
    mask_stride = ((size + 31) // 32) * 4
    pixels = bytearray()
    mask = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            pixels += bytes((b, g, r, a))
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                         len(pixels) + len(mask), 0, 0, 0, 0)
    return header + bytes(pixels) + bytes(mask)


def ico_bytes(images):
    """images: list of (size, data); 256 x 256 is stored as PNG, the rest as DIB."""
    offset = 6 + 16 * len(images)
    directory = b""
    payload = b""
    for size, data in images:
        side = 0 if size >= 256 else size
        directory += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
        payload += data
    return struct.pack("<HHH", 0, 1, len(images)) + directory + payload


def main():
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    out = os.path.join(root, "ui", "images")
    os.makedirs(out, exist_ok=True)

    with open(os.path.join(out, "morvane_logo.png"), "wb") as f:
        f.write(png_bytes(render(48)))

    images = []
    for size in (16, 24, 32, 48, 64, 128, 256):
        rows = render(size)
        images.append((size, png_bytes(rows) if size >= 256 else dib_bytes(rows)))
    with open(os.path.join(out, "application.ico"), "wb") as f:
        f.write(ico_bytes(images))


if __name__ == "__main__":
    main()
