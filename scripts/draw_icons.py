#!/usr/bin/env python3
"""Puts 24-bit BMP icons side by side, doubled in size, as one PNG.

Usage: draw_icons.py OUT.png ICON.bmp [ICON.bmp ...]
"""
import struct
import sys

from draw_waveform import write_png

SCALE, GAP = 2, 16


def read_bmp(path):
    """Rows top down of (r, g, b) pixels of a bottom-up 24-bit BMP."""
    data = open(path, "rb").read()
    start, = struct.unpack_from("<I", data, 10)
    width, height = struct.unpack_from("<ii", data, 18)
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in range(height - 1, -1, -1):
        row = data[start + y * stride:start + y * stride + width * 3]
        rows.append([(row[3 * x + 2], row[3 * x + 1], row[3 * x]) for x in range(width)])
    return rows


icons = [read_bmp(p) for p in sys.argv[2:]]
height = max(len(i) for i in icons) * SCALE
width = sum(len(i[0]) * SCALE for i in icons) + GAP * (len(icons) - 1)
out = []
for y in range(height):
    line = bytearray()
    for n, icon in enumerate(icons):
        if n:
            line += b"\xff" * 3 * GAP
        src = icon[y // SCALE] if y // SCALE < len(icon) else [(255, 255, 255)] * len(icon[0])
        for r, g, b in src:
            line += bytes((r, g, b)) * SCALE
    out.append(bytes(line))
write_png(sys.argv[1], width, height, out, grey=False)
