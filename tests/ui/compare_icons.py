#!/usr/bin/env python3
"""Whether two Windows icon files show the same pictures.

usage: compare_icons.py FRESH.ico KEPT.ico

The icon directory must match exactly (the sizes, their order, the colour depth)
and each image must be of the same kind (32-bit bitmap or PNG). The pixels are
compared decoded, within what antialiasing rounds differently from one CPU to the
next: no channel of any pixel more than MAX_STEP levels apart, and the channels
on the whole no more than MEAN_STEP levels apart on average. A drawing that has
changed (another colour, a shape moved by a pixel, a new mark) differs by far more.
A 32-bit bitmap's transparency mask follows its alpha channel; it may differ only
where alpha is nearly 0 in one of the two.
Exit status 0 when they match, 1 when not (the first differences are printed).
"""

import struct
import sys
import zlib

MAX_STEP = 2
MEAN_STEP = 0.25
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


class Unreadable(Exception):
    pass


def directory(data):
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    if reserved != 0 or kind != 1:
        raise Unreadable("not an icon file")
    entries = []
    for i in range(count):
        w, h, colours, _, planes, bpp, size, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        if offset + size > len(data):
            raise Unreadable("image %d runs past the end of the file" % i)
        entries.append(((w or 256, h or 256, colours, planes, bpp), data[offset:offset + size]))
    return entries


def png_pixels(png):
    """RGBA rows of an 8-bit, non-interlaced RGBA or RGB PNG."""
    at, idat, header = 8, b"", None
    while at < len(png):
        length, tag = struct.unpack_from(">I4s", png, at)
        body = png[at + 8:at + 8 + length]
        if tag == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif tag == b"IDAT":
            idat += body
        at += 12 + length
    if header is None:
        raise Unreadable("PNG without a header")
    width, height, depth, colour, _, _, interlace = header
    if depth != 8 or colour not in (2, 6) or interlace != 0:
        raise Unreadable("PNG of a kind the icon writer does not make")
    channels = 4 if colour == 6 else 3
    raw = zlib.decompress(idat)
    stride = width * channels
    rows, previous = [], bytearray(stride)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for x in range(stride):
            a = line[x - channels] if x >= channels else 0
            b = previous[x]
            c = previous[x - channels] if x >= channels else 0
            if kind == 1:
                line[x] = (line[x] + a) & 0xFF
            elif kind == 2:
                line[x] = (line[x] + b) & 0xFF
            elif kind == 3:
                line[x] = (line[x] + (a + b) // 2) & 0xFF
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[x] = (line[x] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 0xFF
        if channels == 3:
            rows.append(bytes(v for i in range(width) for v in (*line[3 * i:3 * i + 3], 255)))
        else:
            rows.append(bytes(line))
        previous = line
    return width, height, rows, None


def bitmap_pixels(bmp):
    """BGRA rows, top down, and the AND mask's bits, of a 32-bit icon bitmap."""
    size, width, height2, _, bpp = struct.unpack_from("<IiiHH", bmp, 0)
    if bpp != 32 or height2 != 2 * width:
        raise Unreadable("icon bitmap of a kind the icon writer does not make")
    height = width
    stride = 4 * width
    colour = bmp[size:size + stride * height]
    mask_stride = (width + 31) // 32 * 4
    mask = bmp[size + stride * height:size + stride * height + mask_stride * height]
    if len(colour) != stride * height or len(mask) != mask_stride * height:
        raise Unreadable("icon bitmap cut short")
    rows = [colour[(height - 1 - y) * stride:(height - y) * stride] for y in range(height)]
    bits = [[(mask[(height - 1 - y) * mask_stride + x // 8] >> (7 - x % 8)) & 1
             for x in range(width)] for y in range(height)]
    return width, height, rows, bits


def pixels(image):
    return png_pixels(image) if image.startswith(PNG_SIGNATURE) else bitmap_pixels(image)


def compare(fresh, kept):
    """The differences between the two files, as lines; empty when they match."""
    a, b = directory(fresh), directory(kept)
    if [e[0] for e in a] != [e[0] for e in b]:
        return ["the icon directories differ: %s against %s" % ([e[0] for e in a], [e[0] for e in b])]
    problems = []
    for (info, one), (_, other) in zip(a, b):
        name = "%dx%d" % info[:2]
        if one.startswith(PNG_SIGNATURE) != other.startswith(PNG_SIGNATURE):
            problems.append("%s: one is a PNG, the other a bitmap" % name)
            continue
        w1, h1, rows1, mask1 = pixels(one)
        w2, h2, rows2, mask2 = pixels(other)
        if (w1, h1) != (w2, h2) or (w1, h1) != info[:2]:
            problems.append("%s: images of %dx%d and %dx%d" % (name, w1, h1, w2, h2))
            continue
        total, worst, where = 0, 0, None
        for y in range(h1):
            for i, (p, q) in enumerate(zip(rows1[y], rows2[y])):
                d = abs(p - q)
                total += d
                if d > worst:
                    worst, where = d, (i // 4, y)
        mean = total / float(w1 * h1 * 4)
        if worst > MAX_STEP:
            problems.append("%s: pixel %s differs by %d levels in a channel (at most %d)"
                            % (name, where, worst, MAX_STEP))
        if mean > MEAN_STEP:
            problems.append("%s: the channels differ by %.3f levels on average (at most %.2f)"
                            % (name, mean, MEAN_STEP))
        if mask1 is not None:
            for y in range(h1):
                for x in range(w1):
                    alphas = (rows1[y][4 * x + 3], rows2[y][4 * x + 3])
                    if mask1[y][x] != mask2[y][x] and min(alphas) > MAX_STEP:
                        problems.append("%s: the transparency mask differs at (%d, %d)" % (name, x, y))
                        break
                else:
                    continue
                break
    return problems


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    with open(sys.argv[1], "rb") as f:
        fresh = f.read()
    with open(sys.argv[2], "rb") as f:
        kept = f.read()
    try:
        problems = compare(fresh, kept)
    except (Unreadable, struct.error, zlib.error) as e:
        problems = ["cannot read the icons: %s" % e]
    for line in problems[:10]:
        print(line)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
