#!/usr/bin/env python3
"""Draws the program icon: 16x16 and 32x32 in 16 colours as XPM files for
the window, and PNG files at 16, 32, 48 and 64 pixels for the desktop's
icon theme (the two small ones are the same pictures; 48 and 64 are drawn
at their own size, with a shaded plug and sheet), and the same four PNG
pictures in one ICO file for tarnel.exe on Windows.

The picture: a log sheet with rows of text and a serial plug in front of it.
Run from the repository root; it rewrites src/app/icons/tarnel{16,32}.xpm
packaging/icons/tarnel{16,32,48,64}.png and packaging/icons/tarnel.ico.
"""

import struct
import zlib

PALETTE = {  # the 16-colour VGA palette, the colours used here
    ".": "None",
    "k": "#000000",
    "b": "#000080",
    "B": "#0000FF",
    "g": "#808080",
    "s": "#C0C0C0",
    "w": "#FFFFFF",
    "y": "#FFFF00",
    "c": "#008080",
    # the larger pictures' shading
    "G": "#5A5A5A",
    "h": "#E0E0E0",
    "p": "#F4F4EC",
    "C": "#00A0A0",
}


def canvas(n):
    return [["."] * n for _ in range(n)]


def rect(img, x0, y0, x1, y1, ch):
    for y in range(y0, y1 + 1):
        for x in range(x0, x1 + 1):
            img[y][x] = ch


def outline(img, x0, y0, x1, y1, ch):
    for x in range(x0, x1 + 1):
        img[y0][x] = img[y1][x] = ch
    for y in range(y0, y1 + 1):
        img[y][x0] = img[y][x1] = ch


def plug(img, x0, y0, width, height, pins):
    """A D-sub plug: a trapezoid narrowing downwards, with two rows of pins."""
    for row in range(height):
        inset = row * 2 // height
        for x in range(x0 + inset, x0 + width - inset):
            img[y0 + row][x] = "g"
        img[y0 + row][x0 + inset] = "k"
        img[y0 + row][x0 + width - 1 - inset] = "k"
    for x in range(x0, x0 + width):
        img[y0][x] = "k"
    for x in range(x0 + 2, x0 + width - 2):
        img[y0 + height - 1][x] = "k"
    for i, (px, py) in enumerate(pins):
        img[y0 + py][x0 + px] = "y"


def draw32():
    img = canvas(32)
    rect(img, 8, 1, 29, 27, "w")
    outline(img, 8, 1, 29, 27, "k")
    for y in (5, 9, 13, 17, 21):
        rect(img, 11, y, 26, y + 1, "b")
        for x in (15, 20):  # the separators between fields
            img[y][x] = img[y + 1][x] = "w"
    plug(img, 1, 20, 16, 9, [(3, 3), (6, 3), (9, 3), (12, 3), (5, 6), (8, 6), (11, 6)])
    rect(img, 7, 29, 10, 31, "c")  # the cable
    return img


def draw16():
    img = canvas(16)
    rect(img, 4, 0, 15, 13, "w")
    outline(img, 4, 0, 15, 13, "k")
    for y in (3, 6, 9):
        rect(img, 6, y, 13, y, "b")
        img[y][9] = "w"
    plug(img, 0, 10, 9, 5, [(2, 2), (4, 2), (6, 2)])
    rect(img, 3, 15, 5, 15, "c")
    return img


def write(img, name, path):
    used = sorted({ch for row in img for ch in row})
    lines = [f'"{len(img[0])} {len(img)} {len(used)} 1",']
    lines += [f'"{ch} c {PALETTE[ch]}",' for ch in used]
    lines += [f'"{"".join(row)}",' for row in img]
    lines[-1] = lines[-1].rstrip(",")
    with open(path, "w") as f:
        f.write(f"/* XPM */\nstatic const char *{name}[] = {{\n")
        f.write("\n".join(lines))
        f.write("\n};\n")


def draw_large(n):
    """The same picture at 48 or 64 pixels: proportions of the 32-pixel one,
    with a shadow under the sheet and a lit edge on the plug."""
    img = canvas(n)
    u = n / 32

    def px(v):
        return int(round(v * u))

    x0, y0, x1, y1 = px(8), px(1), px(29), px(27)
    rect(img, x0 + 1, y0 + 1, x1 + 1, y1 + 1, "G")  # shadow
    rect(img, x0, y0, x1, y1, "p")
    outline(img, x0, y0, x1, y1, "k")
    rect(img, x0 + 1, y0 + 1, x1 - 1, y0 + 1, "w")
    for row in range(5):
        y = px(5 + 4 * row)
        rect(img, px(11), y, px(26), y + px(1.5) - 1, "b")
        for x in (px(15), px(20)):
            rect(img, x, y, x + max(1, px(0.5)) - 1, y + px(1.5) - 1, "p")
    # the plug: a D-sub shell narrowing downwards, its pins in two rows
    bx, by, bw, bh = px(1), px(20), px(16), px(9)
    for row in range(bh):
        inset = row * px(2) // bh
        for x in range(bx + inset, bx + bw - inset):
            img[by + row][x] = "s" if row < bh // 3 else "g"
        img[by + row][bx + inset] = "k"
        img[by + row][bx + bw - 1 - inset] = "k"
    for x in range(bx, bx + bw):
        img[by][x] = "k"
    for x in range(bx + px(2), bx + bw - px(2)):
        img[by + bh - 1][x] = "k"
    for x in range(bx + 1, bx + bw - 1):
        img[by + 1][x] = "h"
    pin = max(2, px(1))
    for px_, py_ in [(3, 3), (6, 3), (9, 3), (12, 3), (4.5, 6), (7.5, 6), (10.5, 6)]:
        rect(img, bx + px(px_), by + px(py_) - 1, bx + px(px_) + pin - 1, by + px(py_) + pin - 2, "y")
    rect(img, px(7), by + bh, px(10), n - 1, "c")  # the cable
    rect(img, px(7), by + bh, px(7), n - 1, "C")
    return img


def png(img):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    raw = b""
    for row in img:
        raw += b"\0"
        for ch in row:
            colour = PALETTE[ch]
            raw += bytes(4) if colour == "None" else bytes.fromhex(colour[1:]) + b"\xff"
    return (
        b"\x89PNG\r\n\x1a\n"
        + chunk(b"IHDR", struct.pack(">IIBBBBB", len(img[0]), len(img), 8, 6, 0, 0, 0))
        + chunk(b"IDAT", zlib.compress(raw, 9))
        + chunk(b"IEND", b"")
    )


def ico(pictures):
    """An icon file whose images are PNG pictures, as Windows reads them
    since Vista: a header, one directory entry per picture, the pictures."""
    offset = 6 + 16 * len(pictures)
    head = struct.pack("<HHH", 0, 1, len(pictures))
    body = b""
    for size, data in pictures:
        head += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(data), offset + len(body))
        body += data
    return head + body


write(draw32(), "tarnel32", "src/app/icons/tarnel32.xpm")
write(draw16(), "tarnel16", "src/app/icons/tarnel16.xpm")
pictures = [
    (16, png(draw16())),
    (32, png(draw32())),
    (48, png(draw_large(48))),
    (64, png(draw_large(64))),
]
for size, data in pictures:
    with open(f"packaging/icons/tarnel{size}.png", "wb") as f:
        f.write(data)
with open("packaging/icons/tarnel.ico", "wb") as f:
    f.write(ico(pictures))
