#!/usr/bin/env python3
"""Counts the pixels of a PNG (8-bit RGB or RGBA, not interlaced), for the timeline test.

    timeline_png.py FILE.png [RRGGBB...]

Prints "WIDTHxHEIGHT nonwhite N" and, for each colour asked, " RRGGBB:N": the pixels that
are not near white, and those within a small distance of each colour. Exit 1 when the file
is not such a PNG."""
import struct
import sys
import zlib


def pixels(path):
    data = open(path, "rb").read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("not a PNG")
    at, idat, width = 8, b"", None
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            if depth != 8 or colour not in (2, 6) or interlace:
                raise ValueError("unsupported PNG: depth %d colour %d interlace %d" % (depth, colour, interlace))
            step = 3 if colour == 2 else 4
        elif kind == b"IDAT":
            idat += body
        at += 12 + length
    raw = zlib.decompress(idat)
    stride = width * step
    rows, prev = [], bytearray(stride)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - step] if i >= step else 0
            b, c = prev[i], prev[i - step] if i >= step else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(line)
        prev = line
    return width, height, step, rows


def main():
    try:
        width, height, step, rows = pixels(sys.argv[1])
    except (OSError, ValueError, zlib.error, struct.error) as e:
        print("bad PNG: %s" % e)
        return 1
    wanted = [tuple(int(h[i:i + 2], 16) for i in (0, 2, 4)) for h in sys.argv[2:]]
    nonwhite, near = 0, [0] * len(wanted)
    for line in rows:
        for x in range(0, width * step, step):
            r, g, b = line[x], line[x + 1], line[x + 2]
            if r < 235 or g < 235 or b < 235:
                nonwhite += 1
            for k, (wr, wg, wb) in enumerate(wanted):
                if abs(r - wr) + abs(g - wg) + abs(b - wb) < 24:
                    near[k] += 1
    print("%dx%d nonwhite %d" % (width, height, nonwhite) +
          "".join(" %s:%d" % (h, n) for h, n in zip(sys.argv[2:], near)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
