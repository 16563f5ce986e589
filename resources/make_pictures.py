#!/usr/bin/env python3
"""Draws the packer window's pictures and writes them beside this script:

  pages.bmp          four 32x32 page icons (files, encryption, signing, settings), 24-bit,
                     background in the mask colour pure blue
  about.bmp          the about box picture, 24-bit
  toolbar24.bmp      eight 24x24 toolbar buttons, 32-bit with alpha, and toolbar24hot.bmp (hot)
  toolbar16.bmp      the same at 16x16, and toolbar16hot.bmp
  quillarent.ico     the program icon (16, 32 and 48 pixels, 32-bit with alpha)
  certificate.ico    the certificate icon (16 and 32 pixels, 32-bit with alpha)
  info_rows.bmp      two 16x16 row icons of the Info page lists (certificate, certificate with a
                     problem), 24-bit on the blue mask colour
  info_states.bmp    three 16x16 signature states (not checked, verified, invalid), the same way
  overlay.ico        the mark drawn over a packed file's icon (16, 32 and 48 pixels)

Everything is drawn from simple shapes on a supersampled canvas, so edges come out smooth.
Run from any folder.
"""
import colorsys
import math
import os
import struct

SUPERSAMPLE = 4

OUTLINE = (64, 68, 80)
PAPER = (255, 255, 255)
PAPER_SHADE = (222, 226, 234)
TEXT_LINE = (150, 160, 178)
ENVELOPE = (250, 234, 186)
ENVELOPE_EDGE = (150, 110, 50)
ENVELOPE_FLAP = (236, 212, 150)
GOLD = (238, 184, 36)
GOLD_DARK = (160, 112, 10)
STEEL = (150, 160, 172)
STEEL_DARK = (80, 88, 100)
RED = (214, 40, 36)
RED_DARK = (140, 20, 18)
GREEN = (44, 164, 64)
GREEN_DARK = (20, 100, 34)
BLUE = (40, 104, 206)
BLUE_DARK = (20, 60, 140)
FEATHER = (70, 140, 214)
FEATHER_DARK = (24, 70, 140)
BROWN = (176, 116, 58)
BROWN_DARK = (110, 66, 24)

MASK_BLUE = (0, 0, 255)


class Canvas:
    """Straight RGBA samples at SUPERSAMPLE times the picture size; shapes are point-sampled."""

    def __init__(self, width, height):
        self.width, self.height = width, height
        self.ss = SUPERSAMPLE
        self.samples = [[None] * (width * self.ss) for _ in range(height * self.ss)]

    def fill(self, inside, box, colour, alpha=1.0):
        """Paints colour (None erases) where inside(x, y) holds; box bounds the shape."""
        left, top, right, bottom = box
        ss = self.ss
        x0, y0 = max(int(math.floor(left * ss)), 0), max(int(math.floor(top * ss)), 0)
        x1 = min(int(math.ceil(right * ss)), self.width * ss)
        y1 = min(int(math.ceil(bottom * ss)), self.height * ss)
        for sy in range(y0, y1):
            y = (sy + 0.5) / ss
            row = self.samples[sy]
            for sx in range(x0, x1):
                x = (sx + 0.5) / ss
                if not inside(x, y):
                    continue
                if colour is None:
                    row[sx] = None
                elif alpha >= 1.0 or row[sx] is None:
                    row[sx] = (colour, alpha) if alpha < 1.0 else (colour, 1.0)
                else:
                    under, under_alpha = row[sx]
                    out_alpha = alpha + under_alpha * (1 - alpha)
                    mixed = tuple((c * alpha + u * under_alpha * (1 - alpha)) / out_alpha
                                  for c, u in zip(colour, under))
                    row[sx] = (mixed, out_alpha)

    def pixels(self):
        """Rows of (r, g, b, a) with a in 0..255, averaged from the samples."""
        ss = self.ss
        out = []
        for y in range(self.height):
            row = []
            for x in range(self.width):
                r = g = b = a = 0.0
                for sy in range(y * ss, y * ss + ss):
                    for sx in range(x * ss, x * ss + ss):
                        sample = self.samples[sy][sx]
                        if sample is None:
                            continue
                        colour, alpha = sample
                        r += colour[0] * alpha
                        g += colour[1] * alpha
                        b += colour[2] * alpha
                        a += alpha
                if a == 0:
                    row.append((0, 0, 0, 0))
                else:
                    row.append((round(r / a), round(g / a), round(b / a), round(255 * a / (ss * ss))))
            out.append(row)
        return out

    # Shapes, in picture pixels (floating point; pixel x spans x..x+1).

    def rect(self, left, top, right, bottom, colour, alpha=1.0):
        self.fill(lambda x, y: left <= x < right and top <= y < bottom, (left, top, right, bottom), colour, alpha)

    def framed_rect(self, left, top, right, bottom, edge, face, width=1):
        self.rect(left, top, right, bottom, edge)
        self.rect(left + width, top + width, right - width, bottom - width, face)

    def polygon(self, points, colour, alpha=1.0):
        xs, ys = [p[0] for p in points], [p[1] for p in points]

        def inside(x, y):
            hit = False
            j = len(points) - 1
            for i in range(len(points)):
                (xi, yi), (xj, yj) = points[i], points[j]
                if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                    hit = not hit
                j = i
            return hit

        self.fill(inside, (min(xs), min(ys), max(xs), max(ys)), colour, alpha)

    def ellipse(self, cx, cy, rx, ry, colour, alpha=1.0):
        self.fill(lambda x, y: ((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2 <= 1.0,
                  (cx - rx, cy - ry, cx + rx, cy + ry), colour, alpha)

    def circle(self, cx, cy, r, colour, alpha=1.0):
        self.ellipse(cx, cy, r, r, colour, alpha)

    def ring(self, cx, cy, outer, inner, colour, keep=lambda x, y: True):
        self.fill(lambda x, y: inner ** 2 <= (x - cx) ** 2 + (y - cy) ** 2 <= outer ** 2 and keep(x, y),
                  (cx - outer, cy - outer, cx + outer, cy + outer), colour)

    def line(self, points, width, colour, closed=False):
        """A stroke of the given width through points, with round joins and ends."""
        segments = list(zip(points, points[1:] + points[:1] if closed else points[1:]))
        half = width / 2.0

        def inside(x, y):
            for (ax, ay), (bx, by) in segments:
                dx, dy = bx - ax, by - ay
                length = dx * dx + dy * dy
                t = 0.0 if length == 0 else max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / length))
                px, py = ax + t * dx - x, ay + t * dy - y
                if px * px + py * py <= half * half:
                    return True
            return False

        xs, ys = [p[0] for p in points], [p[1] for p in points]
        self.fill(inside, (min(xs) - half, min(ys) - half, max(xs) + half, max(ys) + half), colour)


class Box:
    """A square cell of a strip: maps design units (0..16 across) to canvas pixels."""

    def __init__(self, canvas, left, top, size):
        self.c, self.left, self.top, self.size = canvas, left, top, size
        self.u = size / 16.0
        self.lw = 2 if size >= 48 else 1  # outline width

    def x(self, v):
        return self.left + v * self.u

    def y(self, v):
        return self.top + v * self.u

    def sx(self, v):  # snapped to the pixel grid, for crisp straight edges
        return self.left + round(v * self.u)

    def sy(self, v):
        return self.top + round(v * self.u)

    def pts(self, points):
        return [(self.x(a), self.y(b)) for a, b in points]


# Parts the pictures share.

def sheet(b, left, top, right, bottom, lines=True, face=PAPER):
    c, w = b.c, b.lw
    l, t, r, btm = b.sx(left), b.sy(top), b.sx(right), b.sy(bottom)
    fold = max(3, round((right - left) * b.u * 0.32))
    c.polygon([(l, t), (r - fold, t), (r, t + fold), (r, btm), (l, btm)], OUTLINE)
    c.polygon([(l + w, t + w), (r - fold, t + w), (r - w, t + fold), (r - w, btm - w), (l + w, btm - w)], face)
    c.polygon([(r - fold, t), (r - fold, t + fold), (r, t + fold)], PAPER_SHADE)
    c.line([(r - fold + 0.5 * w, t + 0.5 * w), (r - fold + 0.5 * w, t + fold - 0.5 * w), (r - 0.5 * w, t + fold - 0.5 * w)],
           w, OUTLINE)
    if lines:
        step = 2 if b.size <= 24 else max(3, round(b.u * 2.5))
        y = t + w + max(2, step)
        while y + 1 < btm - w - 1:
            right_end = r - w - 2 if y > t + fold else r - fold - 1
            if right_end - (l + w + 2) >= 2:
                c.rect(l + w + 2, y, right_end, y + max(1, round(b.u * 0.6)), TEXT_LINE)
            y += step


def envelope(b, left, top, right, bottom, open_flap=False):
    c, w = b.c, b.lw
    l, t, r, btm = b.sx(left), b.sy(top), b.sx(right), b.sy(bottom)
    c.framed_rect(l, t, r, btm, ENVELOPE_EDGE, ENVELOPE, w)
    mid_x = (l + r) / 2.0
    mid_y = t + (btm - t) * 0.58
    # the lower folds, then the closed flap over them
    c.line([(l + w, btm - w), (mid_x, t + (btm - t) * 0.45), (r - w, btm - w)], w * 0.9, ENVELOPE_EDGE)
    if not open_flap:
        c.polygon([(l + w * 0.5, t + w * 0.5), (r - w * 0.5, t + w * 0.5), (mid_x, mid_y)], ENVELOPE_FLAP)
        c.line([(l + w * 0.5, t + w * 0.5), (mid_x, mid_y), (r - w * 0.5, t + w * 0.5)], w, ENVELOPE_EDGE)


def quill(b, nib, tip, width):
    """A feather from the nib (writing end) to its tip, width in design units."""
    c = b.c
    (ax, ay), (bx, by) = (b.x(nib[0]), b.y(nib[1])), (b.x(tip[0]), b.y(tip[1]))
    dx, dy = bx - ax, by - ay
    length = math.hypot(dx, dy)
    ux, uy = dx / length, dy / length
    nx, ny = -uy, ux
    half = width * b.u / 2.0
    left_side, right_side = [], []
    steps = 24
    for i in range(steps + 1):
        t = 0.22 + 0.78 * i / steps  # the vane starts a little above the nib
        shape = math.sin(math.pi * (t - 0.22) / 0.78) ** 0.7
        px, py = ax + dx * t, ay + dy * t
        left_side.append((px + nx * half * shape * 1.15, py + ny * half * shape * 1.15))
        right_side.append((px - nx * half * shape * 0.85, py - ny * half * shape * 0.85))
    outline = left_side + list(reversed(right_side))
    c.polygon(outline, FEATHER_DARK)
    # the vane itself, slightly inside its dark edge
    inset = 0.8 * b.lw
    shrink_l = [(px - nx * inset, py - ny * inset) for px, py in left_side[1:-1]]
    shrink_r = [(px + nx * inset, py + ny * inset) for px, py in right_side[1:-1]]
    c.polygon(shrink_l + list(reversed(shrink_r)), FEATHER)
    # the shaft, and the nib at the writing end
    c.line([(ax + ux * length * 0.18, ay + uy * length * 0.18), (bx - ux * length * 0.04, by - uy * length * 0.04)],
           max(0.8, 0.45 * b.u), FEATHER_DARK)
    nib_len = length * 0.24
    c.polygon([(ax, ay), (ax + ux * nib_len + nx * half * 0.45, ay + uy * nib_len + ny * half * 0.45),
               (ax + ux * nib_len - nx * half * 0.45, ay + uy * nib_len - ny * half * 0.45)], OUTLINE)


def padlock(b, cx, top, width):
    c, w = b.c, b.lw
    half = width / 2.0
    body_top = top + width * 0.55
    # the shackle, a half ring over the body
    c.ring(b.x(cx), b.y(body_top), half * 0.78 * b.u, half * 0.78 * b.u - max(1.3, 0.26 * width * b.u),
           STEEL_DARK, keep=lambda x, y: y <= b.y(body_top) + 0.5)
    c.rect(b.x(cx - half * 0.78), b.y(body_top), b.x(cx - half * 0.78) + max(1.3, 0.26 * width * b.u),
           b.y(body_top + width * 0.2), STEEL_DARK)
    c.rect(b.x(cx + half * 0.78) - max(1.3, 0.26 * width * b.u), b.y(body_top), b.x(cx + half * 0.78),
           b.y(body_top + width * 0.2), STEEL_DARK)
    c.framed_rect(b.sx(cx - half), b.sy(body_top + width * 0.1), b.sx(cx + half), b.sy(body_top + width * 0.95),
                  GOLD_DARK, GOLD, w)
    keyhole_y = b.y(body_top + width * 0.45)
    c.circle(b.x(cx), keyhole_y, max(0.8, width * 0.1 * b.u), GOLD_DARK)
    c.rect(b.x(cx) - max(0.4, width * 0.04 * b.u), keyhole_y, b.x(cx) + max(0.4, width * 0.04 * b.u),
           keyhole_y + width * 0.25 * b.u, GOLD_DARK)


def seal(b, cx, cy, r):
    c = b.c
    points = []
    for i in range(24):  # a wax blob with a wavy rim
        angle = 2 * math.pi * i / 24
        radius = r * (1.0 if i % 2 == 0 else 0.88)
        points.append((b.x(cx) + math.cos(angle) * radius * b.u, b.y(cy) + math.sin(angle) * radius * b.u))
    c.polygon(points, RED_DARK)
    c.circle(b.x(cx), b.y(cy), r * 0.78 * b.u, RED)
    c.circle(b.x(cx), b.y(cy), r * 0.45 * b.u, RED_DARK)
    c.circle(b.x(cx), b.y(cy), r * 0.28 * b.u, RED)


def gear(b, cx, cy, r, teeth, face, edge):
    c = b.c
    points = []
    for i in range(teeth * 4):
        angle = 2 * math.pi * (i + 0.5) / (teeth * 4)
        radius = r if (i // 2) % 2 == 0 else r * 0.72
        points.append((b.x(cx) + math.cos(angle) * radius * b.u, b.y(cy) + math.sin(angle) * radius * b.u))
    c.polygon(points, edge)
    c.circle(b.x(cx), b.y(cy), r * 0.62 * b.u, face)
    c.circle(b.x(cx), b.y(cy), r * 0.32 * b.u, edge)
    c.circle(b.x(cx), b.y(cy), r * 0.2 * b.u, None)


def rosette(b, cx, cy, r):
    c = b.c
    for side in (-1, 1):  # the two ribbon tails
        c.polygon(b.pts([(cx + side * r * 0.2, cy), (cx + side * r * 0.95, cy + r * 2.0),
                         (cx + side * r * 0.45, cy + r * 1.65), (cx + side * r * 0.05, cy + r * 2.1),
                         (cx - side * r * 0.3, cy + r * 0.3)]), RED if side < 0 else RED_DARK)
    points = []
    for i in range(20):
        angle = 2 * math.pi * i / 20
        radius = r if i % 2 == 0 else r * 0.84
        points.append((b.x(cx) + math.cos(angle) * radius * b.u, b.y(cy) + math.sin(angle) * radius * b.u))
    c.polygon(points, GOLD_DARK)
    c.circle(b.x(cx), b.y(cy), r * 0.7 * b.u, GOLD)


def certificate_card(b, left, top, right, bottom):
    c, w = b.c, b.lw
    l, t, r, btm = b.sx(left), b.sy(top), b.sx(right), b.sy(bottom)
    c.framed_rect(l, t, r, btm, BLUE_DARK, (250, 246, 230), w)
    inner = max(1, round(b.u))
    if b.size >= 24:
        c.rect(l + w + inner, t + w + inner, r - w - inner, t + w + inner + 1, (200, 170, 110))
        c.rect(l + w + inner, btm - w - inner - 1, r - w - inner, btm - w - inner, (200, 170, 110))
    # a heading and a few lines of text
    c.rect(b.sx(left + 2.2), b.sy(top + 2.2), b.sx(right - 2.2), b.sy(top + 2.2) + max(1, round(b.u)), BLUE)
    c.rect(b.sx(left + 2.2), b.sy(top + 4.6), b.sx(right - 6.5), b.sy(top + 4.6) + max(1, round(b.u * 0.6)), TEXT_LINE)
    if bottom - top > 8:
        c.rect(b.sx(left + 2.2), b.sy(top + 6.6), b.sx(right - 7.5), b.sy(top + 6.6) + max(1, round(b.u * 0.6)),
               TEXT_LINE)


def arrow_down(b, cx, top, bottom, width, face, edge):
    head = width * 1.0
    shaft = width * 0.42
    shape = [(cx - shaft, top), (cx + shaft, top), (cx + shaft, bottom - head), (cx + head, bottom - head),
             (cx, bottom), (cx - head, bottom - head), (cx - shaft, bottom - head)]
    b.c.polygon(b.pts(shape), edge)
    grow = 0.9 * b.lw / b.u
    inner = [(cx - shaft + grow, top + grow), (cx + shaft - grow, top + grow),
             (cx + shaft - grow, bottom - head + grow * 0.9), (cx + head - grow * 2.4, bottom - head + grow * 0.9),
             (cx, bottom - grow * 1.5), (cx - head + grow * 2.4, bottom - head + grow * 0.9),
             (cx - shaft + grow, bottom - head + grow * 0.9)]
    b.c.polygon(b.pts(inner), face)


def plus(b, cx, cy, arm, thick, face, edge):
    c, w = b.c, b.lw
    a, t = arm, thick / 2.0
    c.rect(b.sx(cx - a) - w, b.sy(cy - t) - w, b.sx(cx + a) + w, b.sy(cy + t) + w, edge)
    c.rect(b.sx(cx - t) - w, b.sy(cy - a) - w, b.sx(cx + t) + w, b.sy(cy + a) + w, edge)
    c.rect(b.sx(cx - a), b.sy(cy - t), b.sx(cx + a), b.sy(cy + t), face)
    c.rect(b.sx(cx - t), b.sy(cy - a), b.sx(cx + t), b.sy(cy + a), face)


# The pictures.

def page_files(b):
    sheet(b, 5.5, 1, 13.5, 12, lines=False, face=PAPER_SHADE)
    sheet(b, 3.5, 2.5, 11.5, 13.5, lines=False, face=(238, 240, 245))
    sheet(b, 1.5, 4, 9.5, 15)


def page_encryption(b):
    envelope(b, 0.5, 3, 13.5, 12.5)
    padlock(b, 11.5, 6.5, 6.5)


def page_signing(b):
    sheet(b, 1.5, 1, 11.5, 15)
    seal(b, 8.5, 11.5, 3.3)
    quill(b, (5.5, 10.5), (15.5, 0.5), 4.2)


def page_settings(b):
    gear(b, 6, 6.5, 5.6, 8, (190, 198, 210), STEEL_DARK)
    gear(b, 11.8, 11.8, 4.0, 7, (236, 196, 96), GOLD_DARK)


def program_picture(b):
    small = b.size < 32
    envelope(b, 0.3, 3 if small else 4, 12.6, 15 if small else 14.5)
    seal(b, 6.45, 9.8 if small else 9.7, 2.7 if small else 2.4)
    quill(b, (8.4, 15.5), (15.8, 0.4), 5.0 if small else 4.6)


def tool_pack(b):
    envelope(b, 0.5, 6.5, 15.5, 15.5, open_flap=True)
    arrow_down(b, 8, 0.3, 11.2, 4.2, GREEN, GREEN_DARK)


def tool_add_file(b):
    sheet(b, 1.5, 0.5, 12.5, 15.5)
    plus(b, 11.5, 11.5, 4.0, 2.2, GREEN, GREEN_DARK)


def tool_cut(b):
    c = b.c
    blade = max(2.2, 2.3 * b.u)
    for top, bottom, face in (((4.6, 0.8), (10.6, 10.4), (222, 228, 236)), ((11.4, 0.8), (5.4, 10.4), (196, 204, 214))):
        c.line(b.pts([top, bottom]), blade, STEEL_DARK)
        c.line(b.pts([top, bottom]), blade - 1.6 * b.lw, face)
    c.circle(b.x(8), b.y(6.8), max(0.9, 0.7 * b.u), OUTLINE)
    radius, ring_width = 3.4 * b.u, max(1.5, 1.35 * b.u)
    for cx in (4.2, 11.8):
        c.ring(b.x(cx), b.y(12.3), radius, radius - ring_width, (200, 32, 30))


def tool_copy(b):
    sheet(b, 0.5, 0.5, 10.5, 11.5)
    sheet(b, 5.5, 4.5, 15.5, 15.5)


def tool_paste(b):
    c, w = b.c, b.lw
    c.framed_rect(b.sx(1), b.sy(2), b.sx(13), b.sy(15.5), BROWN_DARK, BROWN, w)
    c.framed_rect(b.sx(2.6), b.sy(4), b.sx(11.4), b.sy(14), STEEL_DARK, PAPER, w)
    c.framed_rect(b.sx(4.5), b.sy(0.5), b.sx(9.5), b.sy(4.2), STEEL_DARK, STEEL, w)
    sheet(b, 7.5, 7, 15.5, 15.5)


def tool_delete(b):
    c = b.c
    c.line(b.pts([(3, 3), (13, 13)]), 4.0 * b.u, RED_DARK)
    c.line(b.pts([(13, 3), (3, 13)]), 4.0 * b.u, RED_DARK)
    c.line(b.pts([(3, 3), (13, 13)]), 4.0 * b.u - 1.8 * b.lw, RED)
    c.line(b.pts([(13, 3), (3, 13)]), 4.0 * b.u - 1.8 * b.lw, RED)


def tool_certificate(b):
    certificate_card(b, 0.5, 2, 15.5, 12.5)
    rosette(b, 11.6, 10.2, 2.8)


def tool_properties(b):
    sheet(b, 1.5, 0.5, 12.5, 15.5)
    c = b.c
    c.circle(b.x(10.8), b.y(10.8), 4.9 * b.u, BLUE_DARK)
    c.circle(b.x(10.8), b.y(10.8), 4.9 * b.u - b.lw, BLUE)
    c.circle(b.x(10.8), b.y(8.2), max(0.75, 0.9 * b.u), PAPER)
    c.rect(b.sx(10.0), b.sy(9.8), b.sx(10.0) + max(2, round(1.6 * b.u)), b.sy(14.0), PAPER)


def certificate_icon(b):
    certificate_card(b, 0.5, 1.5, 15.5, 12)
    rosette(b, 11.4, 10.2, 3.0)


def badge(b, cx, cy, r, face, edge):
    b.c.circle(b.x(cx), b.y(cy), r * b.u, edge)
    b.c.circle(b.x(cx), b.y(cy), (r - 0.9) * b.u, face)


def mark_cross(b, cx, cy, r):
    for sign in (-1, 1):
        b.c.line(b.pts([(cx - r, cy - sign * r), (cx + r, cy + sign * r)]), 1.3 * b.u, PAPER)


def certificate_problem(b):
    certificate_icon(b)
    badge(b, 4.6, 11.2, 4.2, RED, RED_DARK)
    mark_cross(b, 4.6, 11.2, 1.6)


def state_unchecked(b):
    badge(b, 8, 8, 6.5, PAPER_SHADE, STEEL)
    b.c.circle(b.x(8), b.y(8), 1.4 * b.u, STEEL_DARK)


def state_verified(b):
    badge(b, 8, 8, 6.5, GREEN, GREEN_DARK)
    b.c.line(b.pts([(4.8, 8.2), (7.2, 10.6), (11.4, 5.6)]), 1.6 * b.u, PAPER)


def state_invalid(b):
    badge(b, 8, 8, 6.5, RED, RED_DARK)
    mark_cross(b, 8, 8, 2.6)


def overlay_mark(b):
    """Drawn over a file type's icon: a small padlock in the lower left corner."""
    padlock(b, 4.2, 7.6, 7.0)


PAGES = [page_files, page_encryption, page_signing, page_settings]
TOOLS = [tool_pack, tool_add_file, tool_cut, tool_copy, tool_paste, tool_delete, tool_certificate, tool_properties]


def strip(draws, size):
    canvas = Canvas(size * len(draws), size)
    for i, draw in enumerate(draws):
        draw(Box(canvas, i * size, 0, size))
    return canvas.pixels()


def single(draw, size):
    canvas = Canvas(size, size)
    draw(Box(canvas, 0, 0, size))
    return canvas.pixels()


def brighter(pixels):
    """The hot look of a button: a little lighter and more saturated."""
    out = []
    for row in pixels:
        new_row = []
        for r, g, b, a in row:
            h, s, v = colorsys.rgb_to_hsv(r / 255.0, g / 255.0, b / 255.0)
            r2, g2, b2 = colorsys.hsv_to_rgb(h, min(1.0, s * 1.3), min(1.0, v * 1.1 + 0.03))
            new_row.append((round(r2 * 255), round(g2 * 255), round(b2 * 255), a))
        out.append(new_row)
    return out


def keyed(pixels, key=MASK_BLUE, face=(240, 240, 240)):
    """Opaque pixels for a mask-coloured bitmap: mostly transparent ones become the key colour,
    partly covered ones are finished over the usual window face colour."""
    out = []
    for row in pixels:
        new_row = []
        for r, g, b, a in row:
            if a < 110:
                new_row.append(key)
                continue
            k = a / 255.0
            pixel = tuple(round(c * k + f * (1 - k)) for c, f in zip((r, g, b), face))
            new_row.append(pixel if pixel != key else (0, 0, 254))
        out.append(new_row)
    return out


def over(pixels, background):
    """Opaque pixels: the picture laid over background (rows of (r, g, b))."""
    return [[tuple(round(c * a / 255.0 + u * (1 - a / 255.0)) for c, u in zip((r, g, b), bg))
             for (r, g, b, a), bg in zip(row, bg_row)] for row, bg_row in zip(pixels, background)]


def dib(pixels, bits):
    """Bottom-up BI_RGB rows: 24-bit from (r, g, b), 32-bit from (r, g, b, a)."""
    width = len(pixels[0])
    stride = (width * bits // 8 + 3) & ~3
    data = b""
    for row in reversed(pixels):
        line = b"".join(bytes((p[2], p[1], p[0], p[3])) if bits == 32 else bytes((p[2], p[1], p[0])) for p in row)
        data += line + b"\0" * (stride - len(line))
    return data


def info_header(width, height, bits, image_size):
    return struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, 0, image_size, 2835, 2835, 0, 0)


def bmp(pixels, bits):
    data = dib(pixels, bits)
    header = info_header(len(pixels[0]), len(pixels), bits, len(data))
    return struct.pack("<2sIHHI", b"BM", 14 + len(header) + len(data), 0, 0, 14 + len(header)) + header + data


def ico(images):
    """An icon file of 32-bit images with their AND masks (set where fully transparent)."""
    entries, blobs = b"", b""
    offset = 6 + 16 * len(images)
    for pixels in images:
        size = len(pixels)
        colour = dib(pixels, 32)
        mask_stride = ((size + 31) // 32) * 4
        mask = b""
        for row in reversed(pixels):
            bits = bytearray(mask_stride)
            for x, p in enumerate(row):
                if p[3] == 0:
                    bits[x // 8] |= 0x80 >> (x % 8)
            mask += bytes(bits)
        blob = info_header(size, size * 2, 32, len(colour) + len(mask)) + colour + mask
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(blob), offset)
        blobs += blob
        offset += len(blob)
    return struct.pack("<HHH", 0, 1, len(images)) + entries + blobs


def about_background(width, height):
    """A soft sky gradient with a thin frame, so the picture stands on any dialog colour."""
    rows = []
    for y in range(height):
        t = y / (height - 1)
        colour = (round(206 + 40 * t), round(226 + 24 * t), 255)
        row = [colour] * width
        if y in (0, height - 1):
            row = [(120, 150, 190)] * width
        else:
            row = [(120, 150, 190)] + row[1:-1] + [(120, 150, 190)]
        rows.append(row)
    return rows


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    outputs = {
        "pages.bmp": bmp(keyed(strip(PAGES, 32)), 24),
        "about.bmp": bmp(over(single(program_picture, 64), about_background(64, 64)), 24),
        "quillarent.ico": ico([single(program_picture, size) for size in (16, 32, 48)]),
        "certificate.ico": ico([single(certificate_icon, size) for size in (16, 32)]),
        "info_rows.bmp": bmp(keyed(strip([certificate_icon, certificate_problem], 16)), 24),
        "info_states.bmp": bmp(keyed(strip([state_unchecked, state_verified, state_invalid], 16)), 24),
        "overlay.ico": ico([single(overlay_mark, size) for size in (16, 32, 48)]),
    }
    for size in (24, 16):
        normal = strip(TOOLS, size)
        outputs["toolbar%d.bmp" % size] = bmp(normal, 32)
        outputs["toolbar%dhot.bmp" % size] = bmp(brighter(normal), 32)
    for name, data in outputs.items():
        with open(os.path.join(here, name), "wb") as out:
            out.write(data)


if __name__ == "__main__":
    main()
