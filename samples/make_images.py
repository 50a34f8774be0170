#!/usr/bin/env python3
"""Draws the sample site's images (deterministic PNG files, no libraries).
Run it again after changing a drawing: python3 samples/make_images.py"""
import os
import struct
import zlib


def encode_png(width, height, pixel):
    """An 8-bit RGB PNG whose pixel(x, y) gives (r, g, b)."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    rows = b"".join(b"\x00" + b"".join(bytes(pixel(x, y)) for x in range(width)) for y in range(height))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


def logo(x, y):
    # Three bands in the product's colours with a dark frame.
    if x < 3 or y < 3 or x >= 157 or y >= 57:
        return (32, 32, 48)
    return [(200, 40, 40), (240, 200, 40), (40, 120, 200)][x * 3 // 160]


def photo(x, y):
    # A smooth gradient: many distinct bytes, so a damaged copy shows.
    return (x * 255 // 199, y * 255 // 149, (x + y) * 255 // 348)


def tile(x, y):
    return (220, 230, 250) if (x // 8 + y // 8) % 2 == 0 else (190, 205, 240)


def badge(x, y):
    d = (x - 40) ** 2 + (y - 40) ** 2
    return (30, 150, 60) if d < 36 ** 2 else (255, 255, 255)


def blue_dot(x, y):
    d = (x - 20) ** 2 + (y - 20) ** 2
    return (20, 40, 220) if d < 18 ** 2 else (255, 255, 255)


def toolbar(x, y):
    # The toolbar as the guide shows it: capture, recent lists, help.
    for left, right, colour in ((4, 100, (200, 40, 40)), (108, 140, (90, 90, 90)), (148, 296, (40, 120, 200))):
        if left <= x < right and 6 <= y < 34:
            return colour
    return (236, 236, 236)


IMAGES = {
    "site/img/logo.png": (160, 60, logo),
    "site/img/photo.png": (200, 150, photo),
    "site/img/tile.png": (16, 16, tile),
    "site/img/badge.png": (80, 80, badge),
    "site/img/blue dot.png": (40, 40, blue_dot),
    "site/img/toolbar.png": (300, 40, toolbar),
}


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    for name, (w, h, draw) in IMAGES.items():
        with open(os.path.join(here, name), "wb") as f:
            f.write(encode_png(w, h, draw))


if __name__ == "__main__":
    main()
