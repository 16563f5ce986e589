#!/usr/bin/env python3
"""Writes the two small progress animations of the shared library as uncompressed 8-bit AVI files,
the format the platform's animation control plays: pack.avi (a sheet sliding into an envelope)
and unpack.avi (the sheet sliding back out). Run from any folder; the files land beside this script.
"""
import os
import struct

WIDTH, HEIGHT, FRAMES = 48, 32, 8
PALETTE = [
    (255, 255, 255),  # 0 background
    (0, 0, 0),        # 1 outline
    (240, 240, 200),  # 2 sheet
    (120, 120, 120),  # 3 text lines
    (200, 150, 60),   # 4 envelope
    (150, 100, 30),   # 5 envelope flap
]


def chunk(fourcc, data):
    pad = b"\0" if len(data) % 2 else b""
    return fourcc + struct.pack("<I", len(data)) + data + pad


def riff_list(kind, fourcc, body):
    return kind + struct.pack("<I", len(body) + 4) + fourcc + body


def rect(pixels, left, top, right, bottom, colour):
    for y in range(max(top, 0), min(bottom, HEIGHT)):
        for x in range(max(left, 0), min(right, WIDTH)):
            pixels[y][x] = colour


def frame(step, total):
    """The sheet at position step of total, from left (0) into the envelope on the right."""
    pixels = [[0] * WIDTH for _ in range(HEIGHT)]
    rect(pixels, 26, 10, 46, 28, 1)
    rect(pixels, 27, 11, 45, 27, 4)
    for i in range(8):  # the flap: a small triangle
        rect(pixels, 27 + i, 11 + i, 45 - i, 12 + i, 5)
    left = 2 + (step * 22) // (total - 1)
    rect(pixels, left, 4, left + 14, 24, 1)
    rect(pixels, left + 1, 5, left + 13, 23, 2)
    for line in range(7, 22, 3):
        rect(pixels, left + 3, line, left + 11, line + 1, 3)
    rect(pixels, 26, 10, 27, 28, 1)  # the envelope's left edge stays in front of the sheet
    return pixels


def dib_bytes(pixels):
    stride = (WIDTH + 3) & ~3
    rows = []
    for row in reversed(pixels):  # DIB rows run bottom-up
        rows.append(bytes(row) + b"\0" * (stride - WIDTH))
    return b"".join(rows)


def avi(frames):
    image_size = len(frames[0])
    micro_per_frame = 125000
    avih = struct.pack("<14I", micro_per_frame, image_size * 8, 0, 0x10, len(frames), 0, 1, image_size,
                       WIDTH, HEIGHT, 0, 0, 0, 0)
    strh = (b"vids" + b"DIB " + struct.pack("<IHHIIIIIIiI", 0, 0, 0, 0, 1, 8, 0, len(frames), image_size, -1, 0)
            + struct.pack("<4h", 0, 0, WIDTH, HEIGHT))
    palette = b"".join(struct.pack("<4B", b, g, r, 0) for r, g, b in PALETTE)
    palette += b"\0" * (256 * 4 - len(palette))
    strf = struct.pack("<IiiHHIIiiII", 40, WIDTH, HEIGHT, 1, 8, 0, image_size, 0, 0, 256, 0) + palette
    strl = riff_list(b"LIST", b"strl", chunk(b"strh", strh) + chunk(b"strf", strf))
    hdrl = riff_list(b"LIST", b"hdrl", chunk(b"avih", avih) + strl)
    movi_body = b""
    index = b""
    for data in frames:
        offset = 4 + len(movi_body)  # from the 'movi' fourcc
        movi_body += chunk(b"00db", data)
        index += b"00db" + struct.pack("<III", 0x10, offset, len(data))
    movi = riff_list(b"LIST", b"movi", movi_body)
    return riff_list(b"RIFF", b"AVI ", hdrl + movi + chunk(b"idx1", index))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    packing = [dib_bytes(frame(i, FRAMES)) for i in range(FRAMES)]
    for name, frames in (("pack.avi", packing), ("unpack.avi", list(reversed(packing)))):
        with open(os.path.join(here, name), "wb") as out:
            out.write(avi(frames))


if __name__ == "__main__":
    main()
