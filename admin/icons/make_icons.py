#!/usr/bin/env python3
"""Draws the window's icons (32 x 32 RGBA PNG) from simple shapes.

Run from anywhere; writes the PNG files beside this script. Each icon is a
list of layers painted in order; every pixel is sampled 4 x 4 times so the
edges come out smooth. Only the standard library is used.
"""
import math
import os
import struct
import zlib

SIZE = 32
SS = 4  # samples per pixel edge


def png(path, pixels):
    raw = b"".join(b"\x00" + bytes(row) for row in pixels)
    def chunk(kind, data):
        c = struct.pack(">I", len(data)) + kind + data
        return c + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(raw, 9)))
        f.write(chunk(b"IEND", b""))


# Shapes: functions (x, y) -> bool in a 32 x 32 space.
def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r

def ring(cx, cy, r0, r1, a0=0, a1=360):
    def inside(x, y):
        d = math.hypot(x - cx, y - cy)
        if not r0 <= d <= r1:
            return False
        a = math.degrees(math.atan2(-(y - cy), x - cx)) % 360
        return a0 <= a <= a1 if a0 <= a1 else (a >= a0 or a <= a1)
    return inside

def rect(x0, y0, x1, y1, r=0):
    def inside(x, y):
        if not (x0 <= x <= x1 and y0 <= y <= y1):
            return False
        if r == 0:
            return True
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    return inside

def polygon(points):
    def inside(x, y):
        hit = False
        n = len(points)
        for i in range(n):
            (xa, ya), (xb, yb) = points[i], points[(i + 1) % n]
            if (ya > y) != (yb > y) and x < (xb - xa) * (y - ya) / (yb - ya) + xa:
                hit = not hit
        return hit
    return inside

def ellipse(cx, cy, rx, ry):
    return lambda x, y: ((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2 <= 1

def both(a, b):
    return lambda x, y: a(x, y) and b(x, y)

def outline(shape, width):
    """The band of `shape` within `width` of its edge (sampled)."""
    offs = [(width * math.cos(t), width * math.sin(t)) for t in
            [i * math.pi / 4 for i in range(8)]]
    return lambda x, y: shape(x, y) and not all(shape(x + dx, y + dy) for dx, dy in offs)


def render(layers):
    pixels = []
    for py in range(SIZE):
        row = []
        for px in range(SIZE):
            r = g = b = a = 0.0
            for sy in range(SS):
                for sx in range(SS):
                    x = px + (sx + 0.5) / SS
                    y = py + (sy + 0.5) / SS
                    colour = None
                    for shape, c in layers:
                        if shape(x, y):
                            colour = c
                    if colour:
                        r += colour[0]; g += colour[1]; b += colour[2]; a += 255
            n = SS * SS
            if a:
                row += [round(r / (a / 255)), round(g / (a / 255)), round(b / (a / 255)), round(a / n)]
            else:
                row += [0, 0, 0, 0]
        pixels.append(row)
    return pixels


GREEN, DARK_GREEN = (60, 170, 70), (25, 95, 35)
RED, DARK_RED = (215, 55, 45), (120, 25, 20)
BLUE, DARK_BLUE = (45, 105, 200), (20, 50, 120)
WHITE = (255, 255, 255)
ORANGE, DARK_ORANGE = (240, 150, 40), (150, 80, 10)
PAPER, INK, GREY = (250, 248, 235), (90, 90, 110), (120, 120, 120)
BROWN, ROOF = (185, 120, 60), (170, 50, 40)
SKIN, SHIRT = (245, 200, 160), (60, 110, 190)

play = polygon([(8, 4), (28, 16), (8, 28)])
square = rect(6, 6, 26, 26, 3)
disc = circle(16, 16, 13)
bubble = rect(2, 4, 30, 22, 6)
tail = polygon([(8, 20), (16, 20), (6, 29)])
house_body = rect(7, 15, 25, 28)
roof = polygon([(3, 16), (16, 4), (29, 16)])
head = circle(16, 10, 6.5)
body = both(ellipse(16, 31, 12, 12), rect(0, 0, 32, 30))
page = polygon([(6, 2), (20, 2), (26, 8), (26, 30), (6, 30)])
fold = polygon([(20, 2), (26, 8), (20, 8)])

ICONS = {
    "start": [(play, GREEN), (outline(play, 1.3), DARK_GREEN)],
    "stop": [(square, RED), (outline(square, 1.3), DARK_RED)],
    "help": [(disc, BLUE), (outline(disc, 1.3), DARK_BLUE),
             (ring(16, 12, 3.2, 6.2, 300, 200), WHITE),
             (rect(14.4, 14, 17.6, 20), WHITE), (circle(16, 24, 2), WHITE)],
    "about": [(disc, BLUE), (outline(disc, 1.3), DARK_BLUE),
              (circle(16, 9.5, 2.2), WHITE), (rect(14.3, 13, 17.7, 24, 1), WHITE)],
    "tavella": [(bubble, ORANGE), (tail, ORANGE), (outline(bubble, 1.3), DARK_ORANGE),
                (circle(9.5, 13, 2.2), WHITE), (circle(16, 13, 2.2), WHITE),
                (circle(22.5, 13, 2.2), WHITE)],
    "room": [(house_body, BROWN), (outline(house_body, 1.2), (110, 65, 30)), (roof, ROOF),
             (outline(roof, 1.2), (110, 30, 25)), (rect(14, 19, 19, 28), (90, 55, 25))],
    "user": [(body, SHIRT), (outline(body, 1.2), DARK_BLUE), (head, SKIN),
             (outline(head, 1.2), (150, 100, 70))],
    "log": [(page, PAPER), (outline(page, 1.2), GREY), (fold, (215, 212, 200)),
            (rect(9, 12, 23, 13.4), INK), (rect(9, 16, 23, 17.4), INK),
            (rect(9, 20, 23, 21.4), INK), (rect(9, 24, 18, 25.4), INK)],
}

if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    for name, layers in ICONS.items():
        png(os.path.join(here, name + ".png"), render(layers))
