#!/usr/bin/env python3
"""Draws the waveforms of 16-bit mono WAV files one above the other as a PNG.

Usage: draw_waveform.py OUT.png FILE.wav [FILE.wav ...]
Each panel shows the whole file (min/max per pixel column, dark) and, to the
right, a 10 ms stretch from its middle at full resolution, where the
sinc filter shows.
"""
import struct
import sys
import zlib

WIDTH, PANEL, ZOOM = 960, 160, 320


def samples(path):
    data = open(path, "rb").read()
    count = struct.unpack_from("<I", data, 40)[0] // 2
    return struct.unpack_from("<%dh" % count, data, 44)


def draw(out, files):
    height = PANEL * len(files)
    img = [[255] * WIDTH for _ in range(height)]

    def column(x, top, lo, hi, shade):
        mid = top + PANEL // 2
        y0 = mid - int(hi * (PANEL // 2 - 4) / 32768)
        y1 = mid - int(lo * (PANEL // 2 - 4) / 32768)
        for y in range(min(y0, y1), max(y0, y1) + 1):
            img[y][x] = shade

    for n, path in enumerate(files):
        s = samples(path)
        top = n * PANEL
        overview = WIDTH - ZOOM - 10
        for x in range(overview):
            chunk = s[len(s) * x // overview:max(len(s) * (x + 1) // overview, len(s) * x // overview + 1)]
            column(x, top, min(chunk), max(chunk), 40)
        start = len(s) // 2
        stretch = s[start:start + 441]
        prev = stretch[0]
        for x in range(ZOOM):
            v = stretch[len(stretch) * x // ZOOM]
            column(overview + 10 + x, top, min(prev, v), max(prev, v), 0)
            prev = v
        for x in range(WIDTH):
            img[top + PANEL // 2][x] = min(img[top + PANEL // 2][x], 170)
            img[top + PANEL - 1][x] = 120
        for y in range(top, top + PANEL):
            img[y][overview + 4] = 120

    write_png(out, WIDTH, height, [bytes(row) for row in img], grey=True)


def write_png(out, width, height, rows, grey):
    """Writes rows of 8-bit grey (or RGB) pixels as a PNG file."""
    raw = b"".join(b"\x00" + row for row in rows)

    def chunk(tag, body):
        c = struct.pack(">I", len(body)) + tag + body
        return c + struct.pack(">I", zlib.crc32(tag + body) & 0xFFFFFFFF)

    colour_type = 0 if grey else 2
    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, colour_type, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")
    open(out, "wb").write(png)


if __name__ == "__main__":
    draw(sys.argv[1], sys.argv[2:])
