"""Shared pieces of the archive reader tests: PNG files, the URL escape set,
running tarvik-compose."""
import os
import struct
import subprocess
import zlib


def png(width, height, rgb):
    """A solid-colour 8-bit RGB PNG."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    row = b"\x00" + bytes(rgb) * width
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(row * height)) + chunk(b"IEND", b""))


def read_png(path):
    """(width, height, pixel(x, y) -> (r, g, b)) of an 8-bit RGB or RGBA PNG."""
    data = open(path, "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    at, idat = 8, b""
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", body[:10])
            assert depth == 8 and colour in (2, 6), (depth, colour)
        elif kind == b"IDAT":
            idat += body
        at += 12 + length
    bpp = 3 if colour == 2 else 4
    raw = zlib.decompress(idat)
    stride = width * bpp
    rows, prev = [], bytearray(stride)
    for y in range(height):
        f = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b = prev[i]
            c = prev[i - bpp] if i >= bpp else 0
            if f == 1:
                line[i] = (line[i] + a) & 255
            elif f == 2:
                line[i] = (line[i] + b) & 255
            elif f == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif f == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(line)
        prev = line
    return width, height, lambda x, y: tuple(rows[y][x * bpp:x * bpp + 3])


def escaped(b):
    return b <= 0x20 or b in (0x22, 0x25, 0x3C, 0x3E) or 0x5B <= b <= 0x60 or b >= 0x7B


def percent_encode(url):
    return b"".join(b"%%%02X" % b if escaped(b) else bytes([b]) for b in url)


def compose(tool, workdir, entries, title=None, version=None):
    """Writes a manifest of (url, type, content bytes or None, cache file or "", base)
    and runs tarvik-compose; returns the archive's bytes and path."""
    lines = []
    for n, (url, ctype, content, cache, base) in enumerate(entries):
        content_path = b""
        if content is not None:
            content_path = os.path.join(workdir, "content-%d.bin" % n).encode()
            with open(content_path, "wb") as f:
                f.write(content)
        lines.append(b"\t".join([url, ctype.encode(), content_path, cache.encode(), base]) + b"\n")
    manifest = os.path.join(workdir, "manifest.txt")
    with open(manifest, "wb") as f:
        f.writelines(lines)
    out = os.path.join(workdir, "archive.mht")
    args = [tool, "--out", out]
    if title is not None:
        args += ["--title", title]
    if version is not None:
        args += ["--version", version]
    subprocess.run(args + [manifest], check=True)
    return open(out, "rb").read(), out
