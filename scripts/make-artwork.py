#!/usr/bin/env python3
"""Draws the assistant's artwork into OrvikDesk/resources/art/.

Every picture is described once in logical pixels and rendered at 1x and at 2x
(`<name>@2x.png`, which Qt picks up on high-density screens). Shapes are signed
distance functions, so edges are anti-aliased at any scale without supersampling.
Only the standard library is used; the output is the same on every run.
"""

import math
import os
import struct
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OUT = os.path.join(ROOT, "OrvikDesk", "resources", "art")


# --- colours ---------------------------------------------------------------

def rgb(hexstr, a=1.0):
    h = hexstr.lstrip("#")
    return (int(h[0:2], 16) / 255, int(h[2:4], 16) / 255, int(h[4:6], 16) / 255, a)


DEEP = rgb("#00204D")
BLUE = rgb("#1F4D8C")
MID = rgb("#2B5FA3")
BRIGHT = rgb("#3A7BC8")
PALE = rgb("#E7ECF7")
PAPER = rgb("#F4F6FB")
WHITE = rgb("#FFFFFF")


def mix(c0, c1, t):
    return tuple(a + (b - a) * t for a, b in zip(c0, c1))


def with_alpha(c, a):
    return (c[0], c[1], c[2], c[3] * a)


def gradient(x0, y0, x1, y1, stops):
    """Linear gradient along (x0,y0)->(x1,y1); stops are (offset, colour)."""
    dx, dy = x1 - x0, y1 - y0
    ll = dx * dx + dy * dy

    def paint(x, y):
        t = ((x - x0) * dx + (y - y0) * dy) / ll
        if t <= stops[0][0]:
            return stops[0][1]
        for (t0, c0), (t1, c1) in zip(stops, stops[1:]):
            if t <= t1:
                return mix(c0, c1, (t - t0) / (t1 - t0))
        return stops[-1][1]
    return paint


# --- shapes: signed distance in logical pixels, negative inside ------------

class Shape:
    def __init__(self, sdf, box):
        self.sdf = sdf
        self.box = box  # (x0, y0, x1, y1), everything outside is outside


def circle(cx, cy, r):
    return Shape(lambda x, y: math.hypot(x - cx, y - cy) - r,
                 (cx - r, cy - r, cx + r, cy + r))


def ellipse(cx, cy, rx, ry):
    # A close approximation of the true distance, good enough for edge coverage.
    def sdf(x, y):
        px, py = x - cx, y - cy
        k0 = math.hypot(px / rx, py / ry)
        k1 = math.hypot(px / (rx * rx), py / (ry * ry))
        if k1 == 0:
            return -min(rx, ry)
        return k0 * (k0 - 1) / k1
    return Shape(sdf, (cx - rx, cy - ry, cx + rx, cy + ry))


def rrect(x0, y0, x1, y1, r=0.0):
    cx, cy, hx, hy = (x0 + x1) / 2, (y0 + y1) / 2, (x1 - x0) / 2, (y1 - y0) / 2

    def sdf(x, y):
        qx = abs(x - cx) - hx + r
        qy = abs(y - cy) - hy + r
        return math.hypot(max(qx, 0), max(qy, 0)) + min(max(qx, qy), 0) - r
    return Shape(sdf, (x0, y0, x1, y1))


def segment(ax, ay, bx, by, w):
    """A stroke with round caps."""
    dx, dy = bx - ax, by - ay
    ll = dx * dx + dy * dy or 1e-9

    def sdf(x, y):
        t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / ll))
        return math.hypot(x - ax - t * dx, y - ay - t * dy) - w / 2
    h = w / 2
    return Shape(sdf, (min(ax, bx) - h, min(ay, by) - h, max(ax, bx) + h, max(ay, by) + h))


def polyline(points, w):
    return union(*[segment(*a, *b, w) for a, b in zip(points, points[1:])])


def polygon(points):
    n = len(points)

    def sdf(x, y):
        d = float("inf")
        inside = False
        for i in range(n):
            ax, ay = points[i - 1]
            bx, by = points[i]
            ex, ey = bx - ax, by - ay
            wx, wy = x - ax, y - ay
            t = max(0.0, min(1.0, (wx * ex + wy * ey) / (ex * ex + ey * ey)))
            d = min(d, math.hypot(wx - ex * t, wy - ey * t))
            if (ay > y) != (by > y) and x < ax + (y - ay) * ex / ey:
                inside = not inside
        return -d if inside else d
    xs = [p[0] for p in points]
    ys = [p[1] for p in points]
    return Shape(sdf, (min(xs), min(ys), max(xs), max(ys)))


def union(*shapes):
    def sdf(x, y):
        return min(s.sdf(x, y) for s in shapes)
    return Shape(sdf, (min(s.box[0] for s in shapes), min(s.box[1] for s in shapes),
                       max(s.box[2] for s in shapes), max(s.box[3] for s in shapes)))


def intersect(a, b):
    return Shape(lambda x, y: max(a.sdf(x, y), b.sdf(x, y)),
                 (max(a.box[0], b.box[0]), max(a.box[1], b.box[1]),
                  min(a.box[2], b.box[2]), min(a.box[3], b.box[3])))


def subtract(a, *holes):
    cut = union(*holes)
    return Shape(lambda x, y: max(a.sdf(x, y), -cut.sdf(x, y)), a.box)


def grow(s, g):
    b = s.box
    return Shape(lambda x, y: s.sdf(x, y) - g, (b[0] - g, b[1] - g, b[2] + g, b[3] + g))


def outline(s, w):
    b, h = s.box, w / 2
    return Shape(lambda x, y: abs(s.sdf(x, y)) - h, (b[0] - h, b[1] - h, b[2] + h, b[3] + h))


def place(s, dx, dy, k=1.0):
    """Scales a shape by k about the origin, then moves it by (dx, dy)."""
    b = s.box
    return Shape(lambda x, y: s.sdf((x - dx) / k, (y - dy) / k) * k,
                 (b[0] * k + dx, b[1] * k + dy, b[2] * k + dx, b[3] * k + dy))


def bezier(p0, p1, p2, p3, steps=16):
    """Points of a cubic curve, without its first point."""
    pts = []
    for i in range(1, steps + 1):
        t = i / steps
        u = 1 - t
        pts.append((u * u * u * p0[0] + 3 * u * u * t * p1[0] + 3 * u * t * t * p2[0] + t * t * t * p3[0],
                    u * u * u * p0[1] + 3 * u * u * t * p1[1] + 3 * u * t * t * p2[1] + t * t * t * p3[1]))
    return pts


# --- canvas ----------------------------------------------------------------

class Canvas:
    def __init__(self, w, h, scale):
        self.w, self.h, self.scale = w, h, scale
        self.pw, self.ph = w * scale, h * scale
        self.px = [[0.0, 0.0, 0.0, 0.0] for _ in range(self.pw * self.ph)]

    def fill(self, shape, paint, alpha=1.0, soft=1.0):
        """Source-over fill; soft widens the edge ramp (in device pixels) for shadows."""
        s = self.scale
        margin = soft + 1
        x0 = max(0, int(math.floor(shape.box[0] * s - margin)))
        y0 = max(0, int(math.floor(shape.box[1] * s - margin)))
        x1 = min(self.pw, int(math.ceil(shape.box[2] * s + margin)))
        y1 = min(self.ph, int(math.ceil(shape.box[3] * s + margin)))
        solid = not callable(paint)
        for py in range(y0, y1):
            ly = (py + 0.5) / s
            row = py * self.pw
            for px in range(x0, x1):
                lx = (px + 0.5) / s
                cov = 0.5 - shape.sdf(lx, ly) * s / soft
                if cov <= 0:
                    continue
                c = paint if solid else paint(lx, ly)
                sa = c[3] * alpha * min(cov, 1.0)
                d = self.px[row + px]
                da = d[3] * (1 - sa)
                oa = sa + da
                if oa > 0:
                    for i in range(3):
                        d[i] = (c[i] * sa + d[i] * da) / oa
                d[3] = oa

    def fill_all(self, paint):
        self.fill(rrect(-1, -1, self.w + 1, self.h + 1), paint)

    def save(self, path):
        opaque = all(p[3] >= 1 - 1e-6 for p in self.px)
        channels = 3 if opaque else 4
        raw = bytearray()
        for y in range(self.ph):
            raw.append(0)
            for p in self.px[y * self.pw:(y + 1) * self.pw]:
                for v in p[:channels]:
                    raw.append(max(0, min(255, int(round(v * 255)))))

        def chunk(tag, data):
            body = tag + data
            return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))
        ihdr = struct.pack(">IIBBBBB", self.pw, self.ph, 8, 2 if opaque else 6, 0, 0, 0)
        with open(path, "wb") as f:
            f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr)
                    + chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def render(name, w, h, draw, scales=(1, 2)):
    for s in scales:
        c = Canvas(w, h, s)
        draw(c)
        suffix = "" if s == 1 else "@%dx" % s
        c.save(os.path.join(OUT, name + suffix + ".png"))


# --- shared motifs ---------------------------------------------------------

def shield(x, y, w, h):
    """Shield outline: a peaked top with dipping shoulders, tapering to a point."""
    def p(u, v):
        return (x + u * w, y + v * h)
    right = [p(0.5, 0.0)]
    right += bezier(p(0.5, 0.0), p(0.62, 0.09), p(0.78, 0.12), p(0.96, 0.12), 10)
    right += [p(0.96, 0.48)]
    right += bezier(p(0.96, 0.48), p(0.96, 0.74), p(0.74, 0.9), p(0.5, 1.0), 18)
    left = [(2 * x + w - px, py) for px, py in reversed(right[1:-1])]
    return polygon(right + left)


def padlock(cx, top, w, h, keyhole=True):
    """Padlock with its shackle above `top`; returns (solid shape, keyhole cut-out)."""
    body_top = top + h * 0.42
    body = rrect(cx - w / 2, body_top, cx + w / 2, top + h, w * 0.12)
    sw = w * 0.16                    # shackle stroke
    sr = w * 0.5 - sw * 0.5 - w * 0.12
    loop = outline(rrect(cx - sr, top + sw / 2, cx + sr, body_top + sr * 2, sr), sw)
    shackle = intersect(loop, rrect(cx - w, top - w, cx + w, body_top + 0.01))
    solid = union(body, shackle)
    if not keyhole:
        return solid, None
    ky = body_top + (top + h - body_top) * 0.42
    kr = w * 0.11
    hole = union(circle(cx, ky, kr),
                 polygon([(cx - kr * 0.55, ky), (cx + kr * 0.55, ky),
                          (cx + kr * 0.8, ky + kr * 2.6), (cx - kr * 0.8, ky + kr * 2.6)]))
    return solid, hole


# --- tiles -----------------------------------------------------------------

def draw_background(c):
    c.fill_all(PAPER)
    # Faint diagonal weave; the period divides the tile so it repeats seamlessly.
    def weave(x, y):
        u = (x - y) % 8
        return min(u, 8 - u) / math.sqrt(2) - 0.3
    c.fill(Shape(weave, (0, 0, c.w, c.h)), rgb("#E8EDF6"), 0.7)
    def dots(x, y):
        u, v = (x + 4) % 8 - 4, (y) % 8 - 4
        return math.hypot(u, v) - 0.45
    c.fill(Shape(dots, (0, 0, c.w, c.h)), WHITE, 0.8)


def draw_top(c):
    c.fill_all(gradient(0, 0, 0, c.h, [(0, DEEP), (1, BLUE)]))


def draw_bottom(c):
    c.fill_all(gradient(0, 0, 0, c.h, [(0, rgb("#DCE5F4")), (0.35, rgb("#A9BEE0")),
                                       (1, rgb("#3F6DAE"))]))
    c.fill(rrect(-1, 0, c.w + 1, 1), WHITE, 0.7)


NAV_STOPS = [(0, rgb("#3166AB")), (0.85, BLUE), (1, rgb("#1A437C"))]


def draw_nav_background(c):
    c.fill_all(gradient(0, 0, 36, 0, NAV_STOPS))
    c.fill(rrect(35, -1, 36, c.h + 1), rgb("#153766"))  # seam towards the content


def draw_left(c):
    draw_nav_background(c)


def draw_right(c):
    c.fill_all(gradient(0, 0, c.w, 0, [(0, BLUE), (1, MID)]))
    c.fill(rrect(0, -1, 1, c.h + 1), rgb("#153766"))


def draw_title_band(c):
    c.fill_all(gradient(0, 0, 0, c.h, [(0, WHITE), (1, PALE)]))
    c.fill(rrect(-1, c.h - 1, c.w + 1, c.h), rgb("#C5D1E8"))


# --- navigator icons, drawn in a 24x24 box ---------------------------------

def icon_globe():
    r = 9.4
    ball = circle(12, 12, r)
    grid = union(
        outline(ellipse(12, 12, 4.2, r), 1.4),
        segment(0, 12, 24, 12, 1.4),
        segment(0, 7.2, 24, 7.2, 1.2),
        segment(0, 16.8, 24, 16.8, 1.2),
        segment(12, 0, 12, 24, 1.2))
    return [(union(outline(ball, 1.8), intersect(grid, ball)), 1.0)]


def person(cx, top, k):
    head = circle(cx, top + 3.8 * k, 3.8 * k)
    shoulders = intersect(ellipse(cx, top + 15.5 * k, 7.2 * k, 6.6 * k),
                          rrect(cx - 8 * k, top + 8 * k, cx + 8 * k, top + 15.5 * k))
    return union(head, subtract(shoulders, grow(head, 1.1)))


def icon_person_card():
    who = person(8.5, 2.5, 1.0)
    card = rrect(10.5, 10.5, 23, 20.5, 1.6)
    details = union(segment(13, 13.6, 17.5, 13.6, 1.2), segment(13, 16.8, 16, 16.8, 1.2),
                    outline(circle(20, 15.4, 1.7), 1.0))
    return [(subtract(who, grow(card, 1.3)), 1.0), (subtract(card, details), 1.0)]


def icon_people():
    front = person(9, 5, 1.05)
    back = person(16, 2.5, 0.85)
    return [(subtract(back, grow(front, 1.3)), 0.75), (front, 1.0)]


def icon_seal():
    cx, cy = 12, 9.5
    rosette = union(circle(cx, cy, 6.6),
                    *[circle(cx + 6.6 * math.cos(i * math.pi / 6), cy + 6.6 * math.sin(i * math.pi / 6), 1.7)
                      for i in range(12)])
    tails = union(polygon([(8.4, 13.5), (11.6, 15.5), (9.6, 23), (8.0, 20.9), (5.6, 21.8)]),
                  polygon([(15.6, 13.5), (12.4, 15.5), (14.4, 23), (16.0, 20.9), (18.4, 21.8)]))
    face = subtract(rosette, outline(circle(cx, cy, 4.3), 1.2))
    return [(subtract(tails, grow(rosette, 1.2)), 1.0), (face, 1.0)]


def icon_envelope():
    lock, hole = padlock(18, 10, 9, 11.5)
    env = rrect(1, 5, 19.5, 18.5, 1.6)
    flap = polyline([(1.8, 6.0), (10.25, 12.4), (18.7, 6.0)], 1.4)
    return [(subtract(env, flap, grow(lock, 1.3)), 1.0), (subtract(lock, hole), 1.0)]


def icon_document():
    lock, hole = padlock(18, 10, 9, 11.5)
    page = polygon([(3.5, 1), (13.5, 1), (19, 6.5), (19, 22.5), (3.5, 22.5)])
    fold = polyline([(13.5, 1.5), (13.5, 6.5), (18.5, 6.5)], 1.2)
    lines = union(segment(6.5, 6.5, 10.5, 6.5, 1.2), segment(6.5, 10, 15.5, 10, 1.2),
                  segment(6.5, 13.5, 11, 13.5, 1.2), segment(6.5, 17, 10, 17, 1.2))
    return [(subtract(page, fold, lines, grow(lock, 1.3)), 1.0), (subtract(lock, hole), 1.0)]


NAV_ICONS = [icon_globe, icon_person_card, icon_people, icon_seal, icon_envelope, icon_document]
NAV_RECTS = [(0, 0, 36, 45), (0, 56, 36, 89), (0, 100, 36, 133),
             (0, 144, 36, 177), (0, 188, 36, 221), (0, 232, 36, 265)]


def draw_navigator(selected):
    def draw(c):
        draw_nav_background(c)
        # Hairlines in the gaps between items.
        for (_, _, _, b), (_, t, _, _) in zip(NAV_RECTS, NAV_RECTS[1:]):
            y = (b + t) / 2
            c.fill(rrect(7, y - 0.5, 29, y + 0.5), WHITE, 0.14)
        for i, (l, t, r, b) in enumerate(NAV_RECTS):
            on = i == selected
            if on:
                hl = rrect(l + 3, t + 2, r - 4, b - 2, 4)
                c.fill(hl, gradient(0, t, 0, b, [(0, WHITE), (1, PALE)]), 0.32)
                c.fill(outline(grow(hl, -0.5), 1), WHITE, 0.45)
            colour = WHITE if on else rgb("#C3D2EC")
            ox, oy = (l + r - 1) / 2 - 12, (t + b) / 2 - 12
            for shape, a in NAV_ICONS[i]():
                if on:  # a soft glow lifts the selected icon off the highlight
                    c.fill(place(grow(shape, 0.8), ox, oy), DEEP, 0.18 * a, soft=2.5)
                c.fill(place(shape, ox, oy), colour, a if on else a * 0.9)
    return draw


# --- application icons -----------------------------------------------------

def draw_app_icon(size, detail=True):
    def draw(c):
        n = size
        m = n * 0.06
        sx, sy, sw, sh = m, m * 0.7, n - 2 * m, n - 1.55 * m
        body = shield(sx, sy, sw, sh)
        if detail:
            c.fill(place(body, 0, n * 0.02), DEEP, 0.35, soft=max(1.0, n * c.scale / 40))
        c.fill(body, gradient(0, sy, 0, sy + sh, [(0, BRIGHT), (0.55, BLUE), (1, DEEP)]))
        if detail:
            # Light from the upper left, and a thin inner rim.
            gloss = intersect(body, circle(sx + sw * 0.05, sy - sh * 0.2, sh * 0.78))
            c.fill(gloss, WHITE, 0.13)
            c.fill(outline(grow(body, -n * 0.045), max(n * 0.018, 0.6)), WHITE, 0.35)
        # The tray's lock is chunkier so it still reads at 22 pixels.
        lw = sw * (0.42 if detail else 0.52)
        lock, hole = padlock(n / 2, sy + sh * (0.2 if detail else 0.18), lw,
                             sh * (0.5 if detail else 0.54), keyhole=detail or c.scale > 1)
        c.fill(lock if hole is None else subtract(lock, hole), WHITE)
    return draw


def wordmark(x, base, k=1.0, w=2.6):
    """The product's name in geometric letters: x-height 11, ascenders 17, at scale k.
    Returns the shape and its advance width."""
    xh, asc = 11 * k, 17 * k
    top = base - xh
    letters = []
    # O: a round capital, as tall as the ascenders.
    ox = x + 8 * k
    letters.append(outline(ellipse(ox, base - asc / 2, 7 * k - w / 2, asc / 2 - w / 2), w))
    x += 15 * k + 2.6 * k
    # r: a stem with a shoulder that ends level with the x-height.
    sx = x + w / 2
    letters.append(segment(sx, top + w / 2, sx, base - w / 2, w))
    letters.append(polyline([(sx, top + 4.2 * k)] + bezier((sx, top + 4.2 * k), (sx + 0.8 * k, top + 0.9 * k),
                                                          (sx + 3.4 * k, top + w / 2), (sx + 6.4 * k, top + w / 2),
                                                          10), w))
    x += 7.2 * k + w / 2 + 1.6 * k
    # v
    letters.append(polyline([(x + w / 2, top + w / 2), (x + 5 * k, base - w / 2 - 0.2 * k),
                             (x + 10 * k - w / 2, top + w / 2)], w))
    x += 10 * k + 2.2 * k
    # i: stem and a round tittle.
    ix = x + w / 2
    letters.append(segment(ix, top + w / 2, ix, base - w / 2, w))
    letters.append(circle(ix, base - asc + w * 0.65, w * 0.72))
    x += w + 2.6 * k
    # k: an ascender stem with an arm and a leg meeting it.
    kx = x + w / 2
    letters.append(segment(kx, base - asc + w / 2, kx, base - w / 2, w))
    letters.append(segment(kx + 0.4 * k, base - 3.9 * k, kx + 7.6 * k, top + w / 2, w))
    letters.append(segment(kx + 3.0 * k, base - 6.0 * k, kx + 7.8 * k, base - w / 2, w))
    x += w + 8.4 * k
    return union(*letters), x


def key_emblem(sx, sy, sw, sh):
    """The shield with a key standing in it; returns (shield, key)."""
    body = shield(sx, sy, sw, sh)
    cx = sx + sw / 2
    head = outline(circle(cx, sy + sh * 0.33, sw * 0.15), sw * 0.085)
    shaft = rrect(cx - sw * 0.045, sy + sh * 0.33 + sw * 0.19, cx + sw * 0.045, sy + sh * 0.8, sw * 0.02)
    teeth = union(rrect(cx, sy + sh * 0.62, cx + sw * 0.16, sy + sh * 0.67, sw * 0.015),
                  rrect(cx, sy + sh * 0.72, cx + sw * 0.12, sy + sh * 0.77, sw * 0.015))
    return body, union(head, shaft, teeth)


LOGO_W, LOGO_H = 104, 32


def draw_logo(c):
    """The product badge: a plate of its own, so it reads on the blue footer and on light or
    dark dialog backgrounds alike."""
    plate = rrect(0.5, 0.5, LOGO_W - 0.5, LOGO_H - 0.5, 7)
    c.fill(plate, gradient(0, 0, 0, LOGO_H, [(0, rgb("#2F6BB8")), (0.6, BLUE), (1, DEEP)]))
    c.fill(intersect(plate, rrect(0, 0, LOGO_W, LOGO_H * 0.45, 7)), WHITE, 0.08)
    c.fill(outline(grow(plate, -0.5), 1), WHITE, 0.22)
    body, key = key_emblem(6.5, 4.5, 20, 23)
    c.fill(body, gradient(0, 4.5, 0, 27.5, [(0, WHITE), (1, rgb("#CFDCF2"))]))
    c.fill(key, BLUE)
    _, end = wordmark(0, 0)
    left = 31  # right of the emblem
    mark, _ = wordmark(left + (LOGO_W - 5 - left - end) / 2, 24.5)
    c.fill(place(mark, 0, 0.8), DEEP, 0.45, soft=1.5)
    c.fill(mark, WHITE)


def draw_page(c):
    """A document sheet with a folded corner and lines of text."""
    page = polygon([(5, 1.5), (20, 1.5), (27, 8.5), (27, 30.5), (5, 30.5)])
    c.fill(page, gradient(0, 0, 0, 32, [(0, WHITE), (1, PALE)]))
    c.fill(outline(page, 1), rgb("#7F95BD"))
    fold = polygon([(20, 1.5), (20, 8.5), (27, 8.5)])
    c.fill(fold, rgb("#C9D5EA"))
    c.fill(outline(fold, 1), rgb("#7F95BD"))
    for y, length in ((8, 9), (12, 16), (16, 10), (20, 7)):
        c.fill(rrect(8.5, y - 0.6, 8.5 + length, y + 0.6, 0.6), rgb("#A9BAD8"))


def draw_secure_file(c):
    draw_page(c)
    lock, hole = padlock(22.5, 14.5, 13, 16.5)
    c.fill(grow(lock, 1.2), WHITE)
    c.fill(subtract(lock, hole), gradient(0, 14, 0, 31, [(0, BRIGHT), (1, DEEP)]))


def draw_unlocked_file(c):
    """The secure file's page with its padlock open: a decrypted file."""
    draw_page(c)
    # Lifting the padlock's shackle clear of its body opens it.
    body = rrect(16.5, 22, 28.5, 31, 1.5)
    c.fill(grow(body, 1.2), WHITE)
    c.fill(body, gradient(0, 22, 0, 31, [(0, rgb("#4CAF50")), (1, rgb("#2E7D32"))]))
    c.fill(outline(circle(19.5, 19, 3.2), 1.4), rgb("#2E7D32"))


def draw_certificate(size, expired=False):
    """A certificate sheet with text lines and a ribbon seal; grey when it is no longer valid."""
    def draw(c):
        k = size / 32
        sheet = rrect(2 * k, 5 * k, 30 * k, 25 * k, 1.6 * k)
        c.fill(sheet, gradient(0, 5 * k, 0, 25 * k, [(0, WHITE), (1, PALE)]))
        c.fill(outline(sheet, max(k, 0.8)), rgb("#9AA5B8") if expired else rgb("#7F95BD"))
        ink = rgb("#B8BFCB") if expired else rgb("#A9BAD8")
        for y, length in ((10, 14), (14, 10), (18, 8)):
            c.fill(rrect(6 * k, (y - 0.7) * k, (6 + length) * k, (y + 0.7) * k, 0.7 * k), ink)
        seal_colour = rgb("#8C939E") if expired else rgb("#C0392B")
        cx, cy = 23.5 * k, 18 * k
        tails = union(polygon([(cx - 3.2 * k, cy + 1 * k), (cx - 0.6 * k, cy + 2 * k), (cx - 2 * k, cy + 9 * k),
                               (cx - 3.2 * k, cy + 7.6 * k), (cx - 4.8 * k, cy + 8.2 * k)]),
                      polygon([(cx + 3.2 * k, cy + 1 * k), (cx + 0.6 * k, cy + 2 * k), (cx + 2 * k, cy + 9 * k),
                               (cx + 3.2 * k, cy + 7.6 * k), (cx + 4.8 * k, cy + 8.2 * k)]))
        c.fill(tails, seal_colour, 0.85)
        c.fill(circle(cx, cy, 4.4 * k), seal_colour)
        c.fill(outline(circle(cx, cy, 2.8 * k), max(0.7 * k, 0.6)), WHITE, 0.8)
    return draw


def draw_mail_image(size, kind):
    """The mail page's pictures, drawn on a 24-unit grid: 0 a contact, 1 a contact with its
    certificate, 2 a mail account, 3 an address book."""
    k = size / 24

    def at(shape):
        return place(shape, 0, 0, k)

    def draw(c):
        ink = gradient(0, 0, 0, size, [(0, BRIGHT), (1, DEEP)])
        if kind in (0, 1):
            who = at(person(10, 2.5, 1.15))
            if kind == 0:
                c.fill(who, ink)
                return
            badge = at(circle(17.5, 16.5, 5.6))
            c.fill(subtract(who, grow(badge, 1.2 * k)), ink)
            c.fill(badge, rgb("#C0392B"))
            c.fill(at(outline(circle(17.5, 16.5, 3.2), 1.3)), WHITE, 0.9)
        elif kind == 2:
            env = at(rrect(1.5, 5, 22.5, 19.5, 2))
            c.fill(env, gradient(0, 5 * k, 0, 19.5 * k, [(0, WHITE), (1, PALE)]))
            c.fill(at(outline(rrect(1.5, 5, 22.5, 19.5, 2), 1.2)), BLUE)
            c.fill(at(polyline([(2.5, 6.2), (12, 13.2), (21.5, 6.2)], 1.4)), BLUE)
        else:
            cover = at(rrect(4, 1.5, 21, 22.5, 1.8))
            c.fill(cover, ink)
            c.fill(at(rrect(4, 1.5, 7, 22.5, 1.2)), DEEP)
            c.fill(at(person(14, 6, 0.75)), WHITE, 0.92)
    return draw


def main():
    os.makedirs(OUT, exist_ok=True)
    render("bmp131", 16, 16, draw_background)
    render("bmp134", 16, 8, draw_top)
    render("bmp135", 16, 40, draw_bottom)
    render("bmp132", 36, 16, draw_left)
    render("bmp133", 6, 16, draw_right)
    render("bmp142", LOGO_W, LOGO_H, draw_logo)
    render("bmp150", 16, 24, draw_title_band)
    for name, item in (("bmp136", 0), ("bmp137", 1), ("bmp138", 2),
                       ("bmp139", 3), ("bmp200", 4), ("bmp141", 5)):
        render(name, 36, 280, draw_navigator(item))
    render("icon153", 64, 64, draw_app_icon(64))
    render("orvikdesk", 256, 256, draw_app_icon(256), scales=(1,))
    render("orvikdesk-48", 48, 48, draw_app_icon(48), scales=(1,))
    render("icon175", 22, 22, draw_app_icon(22, detail=False))
    render("ovkfile", 32, 32, draw_secure_file)
    render("icon235", 32, 32, draw_secure_file)
    render("icon237", 32, 32, draw_unlocked_file)
    render("icon263", 32, 32, draw_certificate(32))
    render("icon255", 16, 16, draw_certificate(16))
    render("icon257", 32, 32, draw_certificate(32))
    render("icon256", 16, 16, draw_certificate(16, expired=True))
    render("icon258", 32, 32, draw_certificate(32, expired=True))
    for kind in range(4):
        render("icon267_%d" % kind, 16, 16, draw_mail_image(16, kind))
        render("icon270_%d" % kind, 32, 32, draw_mail_image(32, kind))


if __name__ == "__main__":
    main()
