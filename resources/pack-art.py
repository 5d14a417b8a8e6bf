#!/usr/bin/python3
"""Packs the window's pictures (drawn by make-bitmaps.sh and make-icon.sh) for
the executable, and measures the ways of storing them.

    pack-art.py png OUT.png IN.png [...]    each IN as a small PNG: a palette
                                            when it has at most 256 colours,
                                            the best of the row filters,
                                            deflated by zopfli, no other chunks
    pack-art.py ico OUT.ico IN.png [...]    an icon whose images are PNGs
                                            (with their alpha)
    pack-art.py measure OUT.txt IN.png [...] the bytes of each picture stored
                                            three ways: as an uncompressed
                                            bitmap, as QOI (what a decoder of
                                            our own of a few hundred bytes
                                            would read) and as the packed PNG

The pixels are read with ImageMagick (convert ... rgb:-) and deflated by
zopfli (Debian's zopfli); the rest is the standard library, so the results
are the same on every machine."""
import struct
import subprocess
import sys
import tempfile
import zlib


def pixels(path, channels):
    size = subprocess.run(["identify", "-format", "%w %h", path], check=True, capture_output=True, text=True)
    width, height = map(int, size.stdout.split())
    kind = "rgba" if channels == 4 else "rgb"
    data = subprocess.run(["convert", path, "-depth", "8", kind + ":-"], check=True, capture_output=True).stdout
    assert len(data) == width * height * channels, path
    return width, height, data


def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


def filtered(rows, bpp, choice):
    """The rows with PNG filter CHOICE (0-4), or per row the one with the
    smallest sum of absolute values (choice None)."""
    out = bytearray()
    previous = bytes(len(rows[0]))
    for row in rows:
        candidates = []
        for f in ([choice] if choice is not None else range(5)):
            line = bytearray([f])
            for i, x in enumerate(row):
                a = row[i - bpp] if i >= bpp else 0
                b = previous[i]
                c = previous[i - bpp] if i >= bpp else 0
                if f == 0:
                    p = 0
                elif f == 1:
                    p = a
                elif f == 2:
                    p = b
                elif f == 3:
                    p = (a + b) // 2
                else:
                    pa, pb, pc = abs(b - c), abs(a - c), abs(a + b - 2 * c)
                    p = a if pa <= pb and pa <= pc else b if pb <= pc else c
                line.append((x - p) & 0xFF)
            candidates.append(line)
        out += min(candidates, key=lambda line: sum(v if v < 128 else 256 - v for v in line[1:]))
        previous = row
    return bytes(out)


def deflated(data):
    """DATA as a zlib stream, as small as zopfli makes it (a stream any
    inflater reads, about 6 % smaller than zlib's level 9)."""
    with tempfile.NamedTemporaryFile() as raw:
        raw.write(data)
        raw.flush()
        return subprocess.run(["zopfli", "--zlib", "--i15", "-c", raw.name], check=True, capture_output=True).stdout


def png(width, height, data, channels):
    colours = sorted({data[i:i + channels] for i in range(0, len(data), channels)})
    header = b""
    if len(colours) <= 256:
        index = {c: i for i, c in enumerate(colours)}
        data = bytes(index[data[i:i + channels]] for i in range(0, len(data), channels))
        bpp, colour_type = 1, 3
        header = chunk(b"PLTE", b"".join(c[:3] for c in colours))
        if channels == 4:
            header += chunk(b"tRNS", bytes(c[3] for c in colours))
    else:
        bpp, colour_type = channels, 2 if channels == 3 else 6
    stride = width * bpp
    rows = [data[y * stride:(y + 1) * stride] for y in range(height)]
    best = min((deflated(filtered(rows, bpp, choice)) for choice in (None, 0, 1, 2, 3, 4)), key=len)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, colour_type, 0, 0, 0))
            + header + chunk(b"IDAT", best) + chunk(b"IEND", b""))


def qoi_size(width, height, data):
    """The size of the picture in the QOI format (RGB, no alpha changes)."""
    size, seen, previous, run = 14 + 8, [None] * 64, (0, 0, 0), 0
    for i in range(0, len(data), 3):
        r, g, b = data[i:i + 3]
        if (r, g, b) == previous:
            run += 1
            if run == 62:
                size, run = size + 1, 0
            continue
        if run:
            size, run = size + 1, 0
        slot = (r * 3 + g * 5 + b * 7 + 255 * 11) % 64
        if seen[slot] == (r, g, b):
            size += 1
        else:
            seen[slot] = (r, g, b)
            dr, dg, db = (r - previous[0] + 128) % 256 - 128, (g - previous[1] + 128) % 256 - 128, \
                (b - previous[2] + 128) % 256 - 128
            if -2 <= dr <= 1 and -2 <= dg <= 1 and -2 <= db <= 1:
                size += 1
            elif -32 <= dg <= 31 and -8 <= dr - dg <= 7 and -8 <= db - dg <= 7:
                size += 2
            else:
                size += 4
        previous = (r, g, b)
    return size + (1 if run else 0)


def bitmap_size(width, height):
    return 14 + 40 + ((width * 3 + 3) & ~3) * height


def main():
    verb, out, inputs = sys.argv[1], sys.argv[2], sys.argv[3:]
    if verb == "png":
        [source] = inputs
        width, height, data = pixels(source, 3)
        open(out, "wb").write(png(width, height, data, 3))
    elif verb == "ico":
        images = []
        for source in inputs:
            width, height, data = pixels(source, 4)
            images.append((width, height, png(width, height, data, 4)))
        offset = 6 + 16 * len(images)
        directory, bodies = b"", b""
        for width, height, body in images:
            directory += struct.pack("<BBBBHHII", width % 256, height % 256, 0, 0, 1, 32, len(body),
                                     offset + len(bodies))
            bodies += body
        open(out, "wb").write(struct.pack("<HHH", 0, 1, len(images)) + directory + bodies)
    elif verb == "measure":
        lines = ["%-28s %9s %9s %9s" % ("picture", "bitmap", "QOI", "PNG")]
        totals = [0, 0, 0]
        for source in inputs:
            width, height, data = pixels(source, 3)
            row = (bitmap_size(width, height), qoi_size(width, height, data), len(png(width, height, data, 3)))
            totals = [t + r for t, r in zip(totals, row)]
            name = source.rsplit("/", 1)[-1]
            lines.append("%-28s %9d %9d %9d" % ((name,) + row))
        lines.append("%-28s %9d %9d %9d" % (("all",) + tuple(totals)))
        open(out, "w").write("\n".join(lines) + "\n")
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
