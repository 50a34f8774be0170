#!/usr/bin/env python3
"""Draws the toolbar's pictures and icons as BMP and ICO files.

Usage: draw_pictures.py OUTPUT_FOLDER

Shapes are given on a design grid and sampled 4x4 per pixel, so every size
comes out smooth. Standard library only.
"""
import math
import os
import struct
import sys

SAMPLES = 4
# Fully transparent pixels keep a light grey, the usual button face, in case
# a consumer ignores the alpha channel.
CLEAR_RGB = (240, 240, 240)

BLUE = (31, 95, 168)
LIGHT_BLUE = (120, 176, 232)
DARK = (52, 60, 72)
GREY = (150, 158, 168)
WHITE = (255, 255, 255)
ORANGE = (240, 138, 36)
RED = (214, 44, 44)
GREEN = (46, 160, 67)
YELLOW = (246, 196, 70)


# --- shapes: functions (x, y) -> inside, on the design grid -------------------

def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def ring(cx, cy, r_in, r_out, start=None, end=None):
    """A ring, or an arc of it between two angles (degrees, clockwise from 3 o'clock)."""
    def inside(x, y):
        d = (x - cx) ** 2 + (y - cy) ** 2
        if not (r_in * r_in <= d <= r_out * r_out):
            return False
        if start is None:
            return True
        a = math.degrees(math.atan2(y - cy, x - cx)) % 360
        return (a - start) % 360 <= (end - start) % 360
    return inside


def rect(x0, y0, x1, y1, radius=0.0):
    def inside(x, y):
        if not (x0 <= x <= x1 and y0 <= y <= y1):
            return False
        if radius <= 0:
            return True
        nx = min(max(x, x0 + radius), x1 - radius)
        ny = min(max(y, y0 + radius), y1 - radius)
        return (x - nx) ** 2 + (y - ny) ** 2 <= radius * radius
    return inside


def polygon(*points):
    def inside(x, y):
        result = False
        j = len(points) - 1
        for i, (xi, yi) in enumerate(points):
            xj, yj = points[j]
            if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                result = not result
            j = i
        return result
    return inside


def line(x0, y0, x1, y1, width):
    def inside(x, y):
        dx, dy = x1 - x0, y1 - y0
        length2 = dx * dx + dy * dy
        t = 0.0 if length2 == 0 else max(0.0, min(1.0, ((x - x0) * dx + (y - y0) * dy) / length2))
        px, py = x0 + t * dx, y0 + t * dy
        return (x - px) ** 2 + (y - py) ** 2 <= (width / 2) ** 2
    return inside


def clipped(shape, clip):
    return lambda x, y: shape(x, y) and clip(x, y)


# --- canvas -------------------------------------------------------------------

class Canvas:
    """RGBA pixels (straight alpha, 0..1) with the design grid scaled onto them."""

    def __init__(self, width, height, grid_width, grid_height, background=None):
        self.width, self.height = width, height
        self.sx, self.sy = grid_width / width, grid_height / height
        fill = (*[c / 255 for c in background], 1.0) if background else (0.0, 0.0, 0.0, 0.0)
        self.pixels = [list(fill) for _ in range(width * height)]

    def fill(self, shape, color, opacity=1.0):
        r, g, b = (c / 255 for c in color)
        step = 1.0 / SAMPLES
        for py in range(self.height):
            for px in range(self.width):
                hits = 0
                for j in range(SAMPLES):
                    y = (py + (j + 0.5) * step) * self.sy
                    for i in range(SAMPLES):
                        if shape((px + (i + 0.5) * step) * self.sx, y):
                            hits += 1
                if hits:
                    self._over(px, py, r, g, b, opacity * hits / (SAMPLES * SAMPLES))

    def vertical_gradient(self, top, bottom):
        for py in range(self.height):
            t = py / max(1, self.height - 1)
            color = [(a + (b - a) * t) / 255 for a, b in zip(top, bottom)]
            for px in range(self.width):
                self.pixels[py * self.width + px] = [*color, 1.0]

    def _over(self, px, py, r, g, b, a):
        p = self.pixels[py * self.width + px]
        out_a = a + p[3] * (1 - a)
        if out_a <= 0:
            return
        for k, c in enumerate((r, g, b)):
            p[k] = (c * a + p[k] * p[3] * (1 - a)) / out_a
        p[3] = out_a

    def bgra_rows_bottom_up(self, alpha=True):
        rows = []
        for py in range(self.height - 1, -1, -1):
            row = bytearray()
            for px in range(self.width):
                r, g, b, a = self.pixels[py * self.width + px]
                a8 = round(a * 255)
                rgb = CLEAR_RGB if a8 == 0 else tuple(round(c * 255) for c in (r, g, b))
                if alpha:
                    row += bytes((rgb[2], rgb[1], rgb[0], a8))
                else:
                    row += bytes((rgb[2], rgb[1], rgb[0]))
            row += b"\0" * (-len(row) % 4)
            rows.append(bytes(row))
        return rows

    def and_mask_bottom_up(self):
        rows = []
        for py in range(self.height - 1, -1, -1):
            bits = bytearray((self.width + 31) // 32 * 4)
            for px in range(self.width):
                if self.pixels[py * self.width + px][3] < 0.5 / 255:
                    bits[px // 8] |= 0x80 >> (px % 8)
            rows.append(bytes(bits))
        return rows


def info_header(width, height, bits, image_size):
    return struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, 0, image_size, 2835, 2835, 0, 0)


def write_bmp(path, canvas, alpha):
    pixels = b"".join(canvas.bgra_rows_bottom_up(alpha))
    header = info_header(canvas.width, canvas.height, 32 if alpha else 24, len(pixels))
    offset = 14 + len(header)
    with open(path, "wb") as f:
        f.write(b"BM" + struct.pack("<IHHI", offset + len(pixels), 0, 0, offset))
        f.write(header + pixels)


def write_ico(path, canvases):
    images = []
    for c in canvases:
        xor = b"".join(c.bgra_rows_bottom_up(True))
        mask = b"".join(c.and_mask_bottom_up())
        images.append(info_header(c.width, c.height * 2, 32, len(xor) + len(mask)) + xor + mask)
    offset = 6 + 16 * len(images)
    data = struct.pack("<HHH", 0, 1, len(images))
    for c, image in zip(canvases, images):
        data += struct.pack("<BBBBHHII", c.width % 256, c.height % 256, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    with open(path, "wb") as f:
        f.write(data + b"".join(images))


# --- pictures -----------------------------------------------------------------

def draw_page(c, x, y, w, h):
    fold = w * 0.35
    c.fill(polygon((x, y), (x + w - fold, y), (x + w, y + fold), (x + w, y + h), (x, y + h)), GREY)
    c.fill(polygon((x + 1, y + 1), (x + w - fold - 0.4, y + 1), (x + w - 1, y + fold + 0.4), (x + w - 1, y + h - 1),
                   (x + 1, y + h - 1)), WHITE)
    c.fill(polygon((x + w - fold, y), (x + w - fold, y + fold), (x + w, y + fold)), GREY)
    for k in range(3):
        ly = y + h * (0.45 + 0.15 * k)
        c.fill(rect(x + w * 0.2, ly, x + w * 0.8, ly + h * 0.05), LIGHT_BLUE)


def draw_globe(c, cx, cy, r, color=BLUE):
    c.fill(circle(cx, cy, r), color)
    inner = circle(cx, cy, r * 0.92)
    c.fill(clipped(ring(cx, cy, 0, r * 0.92), lambda x, y: abs(y - cy) < r * 0.07), WHITE)
    for k in (-0.5, 0.5):
        c.fill(clipped(lambda x, y, k=k: abs((x - cx) - k * r * (1 - ((y - cy) / r) ** 2) ** 0.5) < r * 0.08, inner),
               WHITE)
    c.fill(clipped(lambda x, y: abs(x - cx) < r * 0.07, inner), WHITE)


def draw_box(c, x, y, w, h, body, lid):
    c.fill(rect(x, y + h * 0.3, x + w, y + h, w * 0.06), body)
    c.fill(rect(x - w * 0.06, y, x + w * 1.06, y + h * 0.34, w * 0.05), lid)
    c.fill(rect(x + w * 0.35, y + h * 0.48, x + w * 0.65, y + h * 0.6, h * 0.05), WHITE)


def capture_face(c, x, active):
    """One 72x24 face starting at column x: page and globe, an arrow, the archive box."""
    draw_page(c, x + 3, 2, 14, 19)
    draw_globe(c, x + 18, 15, 6)
    accent = ORANGE if active else GREY
    c.fill(line(x + 28, 12, x + 40, 12, 3), accent)
    c.fill(polygon((x + 39, 7), (x + 46, 12), (x + 39, 17)), accent)
    draw_box(c, x + 50, 6, 17, 15, ORANGE if active else (112, 128, 150), (200, 96, 18) if active else DARK)
    if active:
        c.fill(circle(x + 67, 5, 4), WHITE)
        c.fill(circle(x + 67, 5, 3), RED)


def icon_options(c):  # a folder with a clock: recent places
    c.fill(polygon((1, 4), (6, 4), (7.5, 5.5), (13, 5.5), (13, 13), (1, 13)), (214, 160, 40))
    c.fill(rect(1, 6.5, 13, 13, 0.6), YELLOW)
    c.fill(circle(11.5, 11.5, 4.2), DARK)
    c.fill(circle(11.5, 11.5, 3.4), WHITE)
    c.fill(line(11.5, 11.5, 11.5, 9.2, 0.9), DARK)
    c.fill(line(11.5, 11.5, 13.2, 11.5, 0.9), DARK)


def question_mark(c, cx, cy, s, color):
    c.fill(ring(cx, cy - s * 0.25, s * 0.22, s * 0.42, 150, 90), color)
    c.fill(line(cx, cy + s * 0.15, cx, cy + s * 0.3, s * 0.2), color)
    c.fill(circle(cx, cy + s * 0.58, s * 0.12), color)


def icon_help(c):
    c.fill(circle(8, 8, 7.5), BLUE)
    question_mark(c, 8, 7, 9, WHITE)


def icon_about(c):
    c.fill(circle(8, 8, 7.5), BLUE)
    c.fill(circle(8, 4.3, 1.3), WHITE)
    c.fill(rect(6.9, 6.6, 9.1, 12.6, 0.4), WHITE)


def icon_getting_started(c):
    c.fill(circle(8, 8, 7.5), GREEN)
    c.fill(polygon((6, 4.2), (12, 8), (6, 11.8)), WHITE)


def icon_help_online(c):
    draw_globe(c, 7, 8, 6.5)
    c.fill(circle(12, 11.5, 4.2), WHITE)
    c.fill(circle(12, 11.5, 3.6), ORANGE)
    question_mark(c, 12, 11.1, 4.6, WHITE)


def icon_online_forum(c):
    c.fill(rect(0.5, 1.5, 10.5, 8.5, 1.5), BLUE)
    c.fill(polygon((2.5, 8), (5, 8), (2.5, 10.5)), BLUE)
    c.fill(rect(5.5, 6, 15.5, 12.5, 1.5), DARK)
    c.fill(rect(6.2, 6.7, 14.8, 11.8, 1.2), WHITE)
    c.fill(polygon((12, 12), (14, 12), (14, 14.5)), DARK)
    for k in range(3):
        c.fill(circle(8 + 2.3 * k, 9.25, 0.75), DARK)


def icon_feedback_mail(c):
    c.fill(rect(0.5, 3, 15.5, 13, 0.8), DARK)
    c.fill(rect(1.3, 3.8, 14.7, 12.2, 0.5), WHITE)
    c.fill(line(1.5, 4.3, 8, 9, 1.1), DARK)
    c.fill(line(14.5, 4.3, 8, 9, 1.1), DARK)


def icon_support_online(c):  # a life ring
    c.fill(ring(8, 8, 3.2, 7.5), RED)
    for start in (20, 110, 200, 290):
        c.fill(ring(8, 8, 3.2, 7.5, start, start + 50), WHITE)
    c.fill(ring(8, 8, 3.2, 3.9), DARK)
    c.fill(ring(8, 8, 6.8, 7.5), DARK)


def icon_uninstall(c):
    draw_box(c, 1.5, 2, 9, 9, (112, 128, 150), DARK)
    c.fill(circle(11, 11, 4.6), WHITE)
    c.fill(ring(11, 11, 2.9, 4.1), RED)
    c.fill(clipped(line(8.4, 8.4, 13.6, 13.6, 1.3), circle(11, 11, 3.5)), RED)


def icon_cancel_capture(c):
    c.fill(circle(8, 8, 7.5), RED)
    c.fill(line(5, 5, 11, 11, 2), WHITE)
    c.fill(line(11, 5, 5, 11, 2), WHITE)


def icon_beep(c):
    c.fill(polygon((1.5, 6), (4.5, 6), (8.5, 2.5), (8.5, 13.5), (4.5, 10), (1.5, 10)), DARK)
    for r in (2.8, 5.2):
        c.fill(ring(8.5, 8, r, r + 1.1, 300, 60), BLUE)


def about_picture(c):
    c.vertical_gradient((232, 242, 252), (176, 208, 240))
    draw_box(c, 24, 30, 34, 28, ORANGE, (200, 96, 18))
    draw_page(c, 6, 6, 24, 32)
    draw_globe(c, 30, 26, 11)
    c.fill(line(36, 14, 46, 24, 3), BLUE)
    c.fill(polygon((41, 26), (48, 27), (47, 20)), BLUE)


ICONS = {
    "options.ico": icon_options,
    "help.ico": icon_help,
    "about.ico": icon_about,
    "getting_started.ico": icon_getting_started,
    "help_online.ico": icon_help_online,
    "online_forum.ico": icon_online_forum,
    "feedback_mail.ico": icon_feedback_mail,
    "support_online.ico": icon_support_online,
    "uninstall.ico": icon_uninstall,
    "cancel_capture.ico": icon_cancel_capture,
    "beep.ico": icon_beep,
}
ICON_SIZES = (16, 24, 32)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)

    faces = Canvas(144, 24, 144, 24)
    capture_face(faces, 0, active=False)
    capture_face(faces, 72, active=True)
    write_bmp(os.path.join(out, "capture_faces.bmp"), faces, alpha=True)

    picture = Canvas(64, 64, 64, 64)
    about_picture(picture)
    write_bmp(os.path.join(out, "about_picture.bmp"), picture, alpha=False)

    for name, draw in ICONS.items():
        canvases = []
        for size in ICON_SIZES:
            c = Canvas(size, size, 16, 16)
            draw(c)
            canvases.append(c)
        write_ico(os.path.join(out, name), canvases)


if __name__ == "__main__":
    main()
