#!/usr/bin/env python3
"""Draws the configuration applet's icons (the applet icon 100 and the eight
tab icons) as PNG files into src/applet/icons/.

The shapes are given in a 16 x 16 unit square and rasterised with 8 x 8
supersampling, so the small icons stay smooth; nothing beyond the standard
library is needed. Run it again after changing a drawing:
    python3 scripts/make_icons.py
"""
import math
import os
import struct
import zlib

SUPER = 8  # subsamples per pixel and axis


def rgba(hex_text, alpha=255):
    value = int(hex_text.lstrip("#"), 16)
    return ((value >> 16) & 255, (value >> 8) & 255, value & 255, alpha)


class Canvas:
    """A drawing in 16-unit coordinates rendered at `size` pixels."""

    def __init__(self, size):
        self.size = size
        self.n = size * SUPER
        self.scale = self.n / 16.0
        self.pixels = [(0, 0, 0, 0)] * (self.n * self.n)

    def _fill(self, inside, bbox, color):
        x0, y0, x1, y1 = bbox
        lo_x = max(0, int(math.floor(x0 * self.scale)))
        hi_x = min(self.n, int(math.ceil(x1 * self.scale)) + 1)
        lo_y = max(0, int(math.floor(y0 * self.scale)))
        hi_y = min(self.n, int(math.ceil(y1 * self.scale)) + 1)
        for py in range(lo_y, hi_y):
            y = (py + 0.5) / self.scale
            row = py * self.n
            for px in range(lo_x, hi_x):
                x = (px + 0.5) / self.scale
                if inside(x, y):
                    self.pixels[row + px] = color

    def rect(self, x0, y0, x1, y1, color, radius=0.0):
        def inside(x, y):
            if not (x0 <= x <= x1 and y0 <= y <= y1):
                return False
            if radius <= 0:
                return True
            cx = min(max(x, x0 + radius), x1 - radius)
            cy = min(max(y, y0 + radius), y1 - radius)
            return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius
        self._fill(inside, (x0, y0, x1, y1), color)

    def ellipse(self, cx, cy, rx, ry, color):
        def inside(x, y):
            return ((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2 <= 1.0
        self._fill(inside, (cx - rx, cy - ry, cx + rx, cy + ry), color)

    def circle(self, cx, cy, r, color):
        self.ellipse(cx, cy, r, r, color)

    def polygon(self, points, color):
        def inside(x, y):
            result = False
            j = len(points) - 1
            for i in range(len(points)):
                xi, yi = points[i]
                xj, yj = points[j]
                if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                    result = not result
                j = i
            return result
        xs = [p[0] for p in points]
        ys = [p[1] for p in points]
        self._fill(inside, (min(xs), min(ys), max(xs), max(ys)), color)

    def line(self, a, b, width, color):
        (ax, ay), (bx, by) = a, b
        dx, dy = bx - ax, by - ay
        length2 = dx * dx + dy * dy or 1e-9
        half = width / 2.0

        def inside(x, y):
            t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / length2))
            qx, qy = ax + t * dx - x, ay + t * dy - y
            return qx * qx + qy * qy <= half * half
        self._fill(inside, (min(ax, bx) - half, min(ay, by) - half,
                            max(ax, bx) + half, max(ay, by) + half), color)

    def outline(self, points, width, color, closed=True):
        count = len(points) if closed else len(points) - 1
        for i in range(count):
            self.line(points[i], points[(i + 1) % len(points)], width, color)

    def png(self):
        """Box-filters the subsamples (premultiplied) into PNG bytes."""
        rows = []
        area = SUPER * SUPER
        for oy in range(self.size):
            row = bytearray([0])  # filter type: none
            for ox in range(self.size):
                r = g = b = a = 0
                for sy in range(SUPER):
                    base = (oy * SUPER + sy) * self.n + ox * SUPER
                    for sx in range(SUPER):
                        pr, pg, pb, pa = self.pixels[base + sx]
                        r += pr * pa
                        g += pg * pa
                        b += pb * pa
                        a += pa
                if a:
                    row += bytes((round(r / a), round(g / a), round(b / a), round(a / area)))
                else:
                    row += bytes(4)
            rows.append(bytes(row))

        def chunk(kind, data):
            body = kind + data
            return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)
        header = struct.pack(">IIBBBBB", self.size, self.size, 8, 6, 0, 0, 0)
        return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
                chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b""))


def gear_points(cx, cy, outer, inner, teeth):
    points = []
    steps = teeth * 4
    for i in range(steps):
        angle = 2 * math.pi * (i + 0.5) / steps
        radius = outer if (i % 4) in (0, 1) else inner
        points.append((cx + radius * math.cos(angle), cy + radius * math.sin(angle)))
    return points


def envelope(c, x0, y0, x1, y1, paper="#fbfcfe", ink="#2b5797"):
    c.rect(x0, y0, x1, y1, rgba(ink), radius=0.8)
    c.rect(x0 + 0.9, y0 + 0.9, x1 - 0.9, y1 - 0.9, rgba(paper), radius=0.3)
    mid = (x0 + x1) / 2.0
    c.outline([(x0 + 0.9, y0 + 1.0), (mid, (y0 + y1) / 2.0 + 0.8), (x1 - 0.9, y0 + 1.0)],
              0.9, rgba(ink), closed=False)


def draw_applet(c):
    envelope(c, 0.5, 2.5, 14.0, 12.5)
    c.polygon(gear_points(11.6, 11.6, 4.2, 3.1, 8), rgba("#5a6472"))
    c.circle(11.6, 11.6, 2.6, rgba("#9aa5b4"))
    c.circle(11.6, 11.6, 1.2, rgba("#fbfcfe"))


def draw_general(c):
    # A server tower with two drive bays and a green power light.
    c.rect(3.5, 0.5, 12.5, 15.5, rgba("#3b4350"), radius=1.2)
    c.rect(4.5, 1.5, 11.5, 14.5, rgba("#6b7686"), radius=0.6)
    for top in (3.0, 6.0):
        c.rect(5.5, top, 10.5, top + 1.8, rgba("#2e343e"), radius=0.3)
        c.rect(6.2, top + 0.7, 8.2, top + 1.1, rgba("#9aa5b4"))
    c.circle(8.0, 11.8, 1.3, rgba("#1f7a2e"))
    c.circle(8.0, 11.8, 0.8, rgba("#4cd964"))


def draw_advanced(c):
    c.polygon(gear_points(8.0, 8.0, 7.4, 5.6, 8), rgba("#3b4a5e"))
    c.circle(8.0, 8.0, 4.8, rgba("#7d8da3"))
    c.circle(8.0, 8.0, 2.2, rgba("#3b4a5e"))
    c.circle(8.0, 8.0, 1.4, rgba("#ffffff", 0))


def draw_accounts(c):
    # A person: head and shoulders.
    c.ellipse(8.0, 15.5, 6.8, 6.2, rgba("#1d4f91"))
    c.ellipse(8.0, 15.5, 5.8, 5.2, rgba("#3d7fd1"))
    c.rect(0, 15.5, 16, 16, rgba("#ffffff", 0))
    c.circle(8.0, 5.0, 3.9, rgba("#1d4f91"))
    c.circle(8.0, 5.0, 2.9, rgba("#f2c9a0"))


def draw_domains(c):
    # A globe with meridians and parallels.
    c.circle(8.0, 8.0, 7.4, rgba("#1d5fa8"))
    c.circle(8.0, 8.0, 6.5, rgba("#4a9be8"))
    c.polygon([(4.0, 4.0), (7.5, 3.2), (8.2, 6.0), (6.0, 8.5), (3.2, 7.2)], rgba("#3fa34d"))
    c.polygon([(9.5, 8.5), (12.8, 8.0), (12.0, 12.0), (9.8, 12.8)], rgba("#3fa34d"))
    light = rgba("#d9ecff")
    for y in (4.6, 8.0, 11.4):
        half = math.sqrt(max(0.0, 6.5 ** 2 - (y - 8.0) ** 2))
        c.line((8.0 - half + 0.4, y), (8.0 + half - 0.4, y), 0.6, light)
    c.line((8.0, 1.6), (8.0, 14.4), 0.6, light)
    steps = 24
    for rx in (3.4,):
        points = [(8.0 + rx * math.sin(2 * math.pi * i / steps), 8.0 - 6.4 * math.cos(2 * math.pi * i / steps))
                  for i in range(steps)]
        c.outline(points, 0.6, light)


def draw_forward(c):
    envelope(c, 0.5, 1.5, 11.5, 10.0)
    green, dark = rgba("#2e9e3e"), rgba("#1b6627")
    arrow = [(5.5, 10.8), (10.5, 10.8), (10.5, 8.3), (15.5, 12.3), (10.5, 16.0 - 0.3),
             (10.5, 13.8), (5.5, 13.8)]
    c.polygon(arrow, dark)
    inner = [(6.4, 11.6), (11.3, 11.6), (11.3, 10.0), (14.2, 12.3), (11.3, 14.4), (11.3, 13.0), (6.4, 13.0)]
    c.polygon(inner, green)


def draw_relay(c):
    # A paper plane on its way out.
    ink, wing, fold = rgba("#1d4f91"), rgba("#e8f1fc"), rgba("#a9c4e6")
    plane = [(0.8, 7.6), (15.2, 1.0), (11.6, 14.6), (7.6, 10.6)]
    c.polygon(plane, wing)
    c.polygon([(7.6, 10.6), (15.2, 1.0), (6.6, 14.8)], fold)
    c.outline(plane, 0.9, ink)
    c.outline([(7.6, 10.6), (15.2, 1.0)], 0.8, ink, closed=False)
    c.outline([(7.6, 10.6), (6.6, 14.8), (9.4, 12.4)], 0.8, ink, closed=False)


def draw_ipfilter(c):
    # A funnel.
    funnel = [(0.8, 1.5), (15.2, 1.5), (9.6, 8.2), (9.6, 14.5), (6.4, 12.6), (6.4, 8.2)]
    c.polygon(funnel, rgba("#f0a830"))
    c.polygon([(2.4, 2.5), (13.6, 2.5), (12.4, 3.9), (3.6, 3.9)], rgba("#ffe08a"))
    c.outline(funnel, 1.0, rgba("#8a5a00"))


def draw_encryption(c):
    # A padlock.
    c.outline([(5.0, 7.5), (5.0, 4.6), (6.2, 2.2), (8.0, 1.5), (9.8, 2.2), (11.0, 4.6), (11.0, 7.5)],
              1.6, rgba("#5a6472"), closed=False)
    c.rect(2.5, 7.0, 13.5, 15.5, rgba("#8a5a00"), radius=1.2)
    c.rect(3.4, 7.9, 12.6, 14.6, rgba("#f0b429"), radius=0.6)
    c.circle(8.0, 10.6, 1.4, rgba("#4a3000"))
    c.rect(7.4, 10.8, 8.6, 13.4, rgba("#4a3000"))


ICONS = [
    ("applet", draw_applet, (16, 32)),
    ("general", draw_general, (16,)),
    ("advanced", draw_advanced, (16,)),
    ("accounts", draw_accounts, (16,)),
    ("domains", draw_domains, (16,)),
    ("forward", draw_forward, (16,)),
    ("relay", draw_relay, (16,)),
    ("ipfilter", draw_ipfilter, (16,)),
    ("encryption", draw_encryption, (16,)),
]


def main():
    folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src", "applet", "icons")
    os.makedirs(folder, exist_ok=True)
    for name, draw, sizes in ICONS:
        for size in sizes:
            canvas = Canvas(size)
            draw(canvas)
            suffix = "" if size == 16 else "_%d" % size
            with open(os.path.join(folder, "%s%s.png" % (name, suffix)), "wb") as out:
                out.write(canvas.png())


if __name__ == "__main__":
    main()
