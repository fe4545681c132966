#!/usr/bin/env python3
"""Draws the program icon (16x16 and 32x32, 16 colours) as XPM files.

The picture: a log sheet with rows of text and a serial plug in front of it.
Run from the repository root; it rewrites src/app/icons/tarnel{16,32}.xpm.
"""

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


write(draw32(), "tarnel32", "src/app/icons/tarnel32.xpm")
write(draw16(), "tarnel16", "src/app/icons/tarnel16.xpm")
