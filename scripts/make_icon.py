#!/usr/bin/env python3
# Draws the program icon (a white serial D-sub plug face on a dark-blue rounded square) and
# writes res/icon/km740tool.ico: 16x16 and 32x32, 32-bit BGRA BMP-in-ICO. Standard library only.
import os
import struct
import sys

BLUE = (0x1B, 0x3A, 0x86)      # background, top
BLUE_LOW = (0x12, 0x28, 0x62)  # background, bottom: a slight gradient gives depth
WHITE = (0xF4, 0xF6, 0xFA)
PIN = (0x12, 0x28, 0x62)
SUPERSAMPLE = 8  # samples per pixel edge for smooth, antialiased edges

# Per size: pin rows (y, [x...]), pin radius and pin shape, in units of the icon's edge. The
# small image gets fewer pins as 2x2-pixel squares on the pixel grid: round pins of a
# 16-pixel image blur into a grey bar.
PINS = {
    16: ([(7 / 16, [5 / 16, 8 / 16, 11 / 16]), (10 / 16, [6 / 16, 10 / 16])], 1 / 16, "square"),
    32: ([(0.44, [0.27, 0.385, 0.50, 0.615, 0.73]), (0.585, [0.325, 0.44, 0.56, 0.675])], 0.042,
         "round"),
}


def in_rounded_rect(x, y, x0, y0, x1, y1, r):
    if x < x0 or x > x1 or y < y0 or y > y1:
        return False
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def seg_dist2(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return (px - ax - t * dx) ** 2 + (py - ay - t * dy) ** 2


# The plug face: a trapezoid, wide at the top, grown by a disc of radius SHELL_R for round corners.
SHELL_CORE = [(0.19, 0.32), (0.81, 0.32), (0.73, 0.68), (0.27, 0.68)]  # clockwise
SHELL_R = 0.07


def in_shell(x, y):
    inside = True
    for i in range(4):
        ax, ay = SHELL_CORE[i]
        bx, by = SHELL_CORE[(i + 1) % 4]
        if (bx - ax) * (y - ay) - (by - ay) * (x - ax) < 0:
            inside = False
    if inside:
        return True
    return min(seg_dist2(x, y, *SHELL_CORE[i], *SHELL_CORE[(i + 1) % 4])
               for i in range(4)) <= SHELL_R * SHELL_R


def sample(size, x, y):
    """Colour and coverage (0 or 1) at the point (x, y) in units of the icon's edge."""
    if not in_rounded_rect(x, y, 0.03, 0.03, 0.97, 0.97, 0.20):
        return None
    rows, pin_r, shape = PINS[size]
    if in_shell(x, y):
        for py, xs in rows:
            for px in xs:
                if shape == "square":
                    hit = abs(x - px) <= pin_r and abs(y - py) <= pin_r
                else:
                    hit = (x - px) ** 2 + (y - py) ** 2 <= pin_r * pin_r
                if hit:
                    return PIN
        return WHITE
    t = min(max((y - 0.03) / 0.94, 0.0), 1.0)
    return tuple(round(a + (b - a) * t) for a, b in zip(BLUE, BLUE_LOW))


def render(size):
    """Returns rows top-down of (r, g, b, a) with straight (not premultiplied) alpha."""
    n = SUPERSAMPLE
    pixels = []
    for py in range(size):
        row = []
        for px in range(size):
            acc, hits = [0, 0, 0], 0
            for sy in range(n):
                for sx in range(n):
                    c = sample(size, (px + (sx + 0.5) / n) / size, (py + (sy + 0.5) / n) / size)
                    if c is not None:
                        hits += 1
                        for i in range(3):
                            acc[i] += c[i]
            if hits == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append(tuple(round(v / hits) for v in acc) + (round(255 * hits / (n * n)),))
        pixels.append(row)
    return pixels


def ico_image(size, pixels):
    """One BMP-in-ICO image: header with doubled height, XOR pixels then AND mask, bottom-up."""
    xor = bytearray()
    for row in reversed(pixels):
        for r, g, b, a in row:
            xor += bytes((b, g, r, a))
    mask_stride = ((size + 31) // 32) * 4  # 1 bit per pixel, rows padded to 4 bytes
    mask = bytearray()
    for row in reversed(pixels):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a < 128:  # transparent where a system ignores the alpha channel
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(mask),
                         0, 0, 0, 0)
    return header + bytes(xor) + bytes(mask)


def build_ico(sizes):
    images = [ico_image(s, render(s)) for s in sizes]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, data in zip(sizes, images):
        # Width and height of 256 would be written as 0; ours are far smaller.
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for data in images:
        out += data
    return bytes(out)


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "res", "icon", "km740tool.ico")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    data = build_ico([16, 32])
    with open(path, "wb") as f:
        f.write(data)
    print("make_icon: wrote %s (%d bytes)" % (path, len(data)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
