#!/usr/bin/env python3
"""Draws the launcher's user-interface images and writes them into ui/res/images/.

Everything is drawn here from simple shapes (standard library only, no image taken from
elsewhere): the page icons, the buttons in their four states, the banner and footer, the
progress track, the animated progress bar (GIF with per-frame delays) and the program icon.
The generated files are committed; run this again after changing a drawing:

    python3 tools/ui-images/make-images.py
"""
import math
import os
import struct
import zlib

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
OUT = os.path.join(ROOT, "ui", "res", "images")
FIXTURES = os.path.join(ROOT, "tests", "ui", "fixtures")
SS = 4  # supersampling factor for smooth edges


def rgb(hexcolour, alpha=255):
    return ((hexcolour >> 16) & 255, (hexcolour >> 8) & 255, hexcolour & 255, alpha)


class Canvas:
    """An RGBA picture drawn with coverage-based shapes (supersampled)."""

    def __init__(self, width, height, background=(0, 0, 0, 0)):
        self.w, self.h = width, height
        self.px = [list(background) for _ in range(width * height)]

    def blend(self, x, y, colour, coverage):
        if coverage <= 0 or not (0 <= x < self.w and 0 <= y < self.h):
            return
        a = colour[3] / 255.0 * min(coverage, 1.0)
        p = self.px[y * self.w + x]
        out_a = a + p[3] / 255.0 * (1 - a)
        if out_a <= 0:
            return
        for i in range(3):
            p[i] = round((colour[i] * a + p[i] * (p[3] / 255.0) * (1 - a)) / out_a)
        p[3] = round(out_a * 255)

    def fill(self, inside, colour, box=None):
        """Fills the points for which inside(x, y) is true (x, y in pixel units)."""
        x0, y0, x1, y1 = box or (0, 0, self.w, self.h)
        for y in range(max(0, int(y0)), min(self.h, int(math.ceil(y1)))):
            for x in range(max(0, int(x0)), min(self.w, int(math.ceil(x1)))):
                hits = 0
                for sy in range(SS):
                    for sx in range(SS):
                        if inside(x + (sx + 0.5) / SS, y + (sy + 0.5) / SS):
                            hits += 1
                self.blend(x, y, colour, hits / (SS * SS))

    def rounded_rect(self, x0, y0, x1, y1, r, colour):
        def inside(x, y):
            if not (x0 <= x <= x1 and y0 <= y <= y1):
                return False
            cx = min(max(x, x0 + r), x1 - r)
            cy = min(max(y, y0 + r), y1 - r)
            return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
        self.fill(inside, colour, (x0, y0, x1 + 1, y1 + 1))

    def circle(self, cx, cy, r, colour):
        self.fill(lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r, colour, (cx - r, cy - r, cx + r + 1, cy + r + 1))

    def line(self, xa, ya, xb, yb, width, colour):
        dx, dy = xb - xa, yb - ya
        length2 = dx * dx + dy * dy

        def inside(x, y):
            t = max(0.0, min(1.0, ((x - xa) * dx + (y - ya) * dy) / length2))
            px, py = xa + t * dx, ya + t * dy
            return (x - px) ** 2 + (y - py) ** 2 <= (width / 2.0) ** 2
        pad = width
        self.fill(inside, colour, (min(xa, xb) - pad, min(ya, yb) - pad, max(xa, xb) + pad + 1, max(ya, yb) + pad + 1))

    def polygon(self, points, colour):
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
        self.fill(inside, colour, (min(xs), min(ys), max(xs) + 1, max(ys) + 1))

    def gradient(self, top, bottom):
        for y in range(self.h):
            t = y / max(1, self.h - 1)
            c = tuple(round(top[i] + (bottom[i] - top[i]) * t) for i in range(4))
            for x in range(self.w):
                self.px[y * self.w + x] = list(c)


def write_png(path, canvas):
    raw = b"".join(b"\x00" + bytes(v for p in canvas.px[y * canvas.w:(y + 1) * canvas.w] for v in p)
                   for y in range(canvas.h))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", canvas.w, canvas.h, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)
    return png


def lzw_encode(indices, min_code_size):
    """GIF's variable-length LZW, as a byte string of sub-blocks."""
    clear, end = 1 << min_code_size, (1 << min_code_size) + 1
    table = {(i,): i for i in range(clear)}
    next_code, size = end + 1, min_code_size + 1
    bits, nbits, out = 0, 0, bytearray()

    def emit(code):
        nonlocal bits, nbits
        bits |= code << nbits
        nbits += size
        while nbits >= 8:
            out.append(bits & 255)
            bits >>= 8
            nbits -= 8
    emit(clear)
    current = (indices[0],)
    for index in indices[1:]:
        candidate = current + (index,)
        if candidate in table:
            current = candidate
            continue
        emit(table[current])
        if next_code < 4096:
            table[candidate] = next_code
            next_code += 1
            if next_code > (1 << size) and size < 12:
                size += 1
        else:
            emit(clear)
            table = {(i,): i for i in range(clear)}
            next_code, size = end + 1, min_code_size + 1
        current = (index,)
    emit(table[current])
    emit(end)
    if nbits:
        out.append(bits & 255)
    blocks = bytearray()
    for i in range(0, len(out), 255):
        part = out[i:i + 255]
        blocks += bytes([len(part)]) + part
    return bytes(blocks) + b"\x00"


def write_gif(path, frames, delays, transparent=None):
    """An animated GIF of frames sharing one palette; delays in hundredths of a second. Pixels of
    the `transparent` colour (r, g, b) let the window beneath show through."""
    palette = []
    indexed = []
    for frame in frames:
        row = []
        for p in frame.px:
            c = (p[0], p[1], p[2])
            if c not in palette:
                palette.append(c)
            row.append(palette.index(c))
        indexed.append(row)
    assert len(palette) <= 256
    bits = max(1, (len(palette) - 1).bit_length())
    size = 1 << bits
    palette += [(0, 0, 0)] * (size - len(palette))
    w, h = frames[0].w, frames[0].h
    gif = b"GIF89a" + struct.pack("<HHBBB", w, h, 0x80 | 0x70 | (bits - 1), 0, 0)
    gif += b"".join(bytes(c) for c in palette)
    gif += b"\x21\xff\x0bNETSCAPE2.0\x03\x01\x00\x00\x00"  # loop for ever
    key = palette.index(transparent) if transparent in palette else None
    for row, delay in zip(indexed, delays):
        flags = 0x04 | (0x01 if key is not None else 0)  # keep the frame; transparency
        gif += b"\x21\xf9\x04" + bytes([flags]) + struct.pack("<H", delay) + bytes([key or 0]) + b"\x00"
        gif += b"\x2c" + struct.pack("<HHHHB", 0, 0, w, h, 0)
        min_code = max(2, bits)
        gif += bytes([min_code]) + lzw_encode(row, min_code)
    gif += b"\x3b"
    with open(path, "wb") as f:
        f.write(gif)


def write_ico(path, pngs):
    """An icon file whose images are PNG-compressed (sizes up to 256)."""
    header = struct.pack("<HHH", 0, 1, len(pngs))
    offset = 6 + 16 * len(pngs)
    entries, data = b"", b""
    for size, png in pngs:
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(png), offset + len(data))
        data += png
    with open(path, "wb") as f:
        f.write(header + entries + data)


BLUE, DARK_BLUE, LIGHT_BLUE = rgb(0x1F6FB5), rgb(0x174F82), rgb(0x4A90D9)
GREEN, RED, ORANGE = rgb(0x1CA323), rgb(0xD13438), rgb(0xF2A01F)
GREY, LIGHT_GREY, WHITE = rgb(0x666666), rgb(0xDDDDDD), rgb(0xFFFFFF)


def page_icon(kind, size=48):
    c = Canvas(size, size)
    m = size / 48.0
    if kind == "error":
        c.circle(24 * m, 24 * m, 22 * m, RED)
        c.line(16 * m, 16 * m, 32 * m, 32 * m, 5 * m, WHITE)
        c.line(32 * m, 16 * m, 16 * m, 32 * m, 5 * m, WHITE)
    elif kind == "alert":
        c.polygon([(24 * m, 3 * m), (46 * m, 44 * m), (2 * m, 44 * m)], ORANGE)
        c.line(24 * m, 17 * m, 24 * m, 31 * m, 5 * m, WHITE)
        c.circle(24 * m, 38 * m, 2.8 * m, WHITE)
    elif kind == "success":
        c.circle(24 * m, 24 * m, 22 * m, GREEN)
        c.line(14 * m, 25 * m, 21 * m, 32 * m, 5 * m, WHITE)
        c.line(21 * m, 32 * m, 34 * m, 17 * m, 5 * m, WHITE)
    elif kind == "logo":
        c.rounded_rect(2 * m, 2 * m, 46 * m, 46 * m, 9 * m, BLUE)
        c.line(24 * m, 11 * m, 24 * m, 30 * m, 5 * m, WHITE)
        c.polygon([(14 * m, 25 * m), (34 * m, 25 * m), (24 * m, 36 * m)], WHITE)
        c.line(13 * m, 39 * m, 35 * m, 39 * m, 3.5 * m, WHITE)
    return c


def glyph_button(glyph, state, size=32):
    back = {"normal": None, "pushed": rgb(0xB0B0B0), "hover": rgb(0xE5E5E5), "disabled": None}[state]
    ink = {"normal": GREY, "pushed": rgb(0x202020), "hover": rgb(0x202020), "disabled": LIGHT_GREY}[state]
    if glyph == "close" and state in ("hover", "pushed"):
        back = RED if state == "hover" else rgb(0x9E2226)
        ink = WHITE
    c = Canvas(size, size)
    if back:
        c.rounded_rect(0, 0, size - 1, size - 1, 4, back)
    if glyph == "close":
        c.line(11, 11, 21, 21, 2, ink)
        c.line(21, 11, 11, 21, 2, ink)
    else:
        c.line(10, 21, 22, 21, 2, ink)
    return c


def text_button(state, w=120, h=32):
    colour = {"normal": BLUE, "pushed": DARK_BLUE, "hover": LIGHT_BLUE, "disabled": rgb(0xB8C7D6)}[state]
    c = Canvas(w, h)
    c.rounded_rect(0, 0, w - 1, h - 1, 5, colour)
    c.rounded_rect(2, 2, w - 3, h / 2, 4, (255, 255, 255, 28))
    return c


def track(w=300, h=8):
    c = Canvas(w, h, WHITE)
    c.rounded_rect(0, 0, w - 1, h - 1, h / 2 - 0.5, LIGHT_GREY)
    return c


def bar_frames(w=300, h=8, count=24):
    frames = []
    segment = 90
    for i in range(count):
        c = track(w, h)
        start = -segment + (w + segment) * i / count
        x0, x1 = max(0, start), min(w - 1, start + segment)
        if x1 > x0:
            c.rounded_rect(x0, 0, x1, h - 1, h / 2 - 0.5, GREEN)
        frames.append(c)
    return frames


def banner(w=512, h=64):
    c = Canvas(w, h)
    c.gradient(rgb(0xFFFFFF), rgb(0xEEF3F9))
    for i, x in enumerate(range(330, 512, 36)):
        c.circle(x + 18, 32, 12 + (i % 3) * 4, (0x1F, 0x6F, 0xB5, 40))
    return c


def footer(w=512, h=44):
    c = Canvas(w, h)
    c.gradient(rgb(0xF3F3F3), rgb(0xE6E6E6))
    c.line(0, 0.5, w, 0.5, 1, LIGHT_GREY)
    return c


def main():
    os.makedirs(OUT, exist_ok=True)
    images = {
        101: page_icon("error"),
        218: page_icon("alert"),
        282: page_icon("success"),
        309: page_icon("logo"),
        339: page_icon("alert", 24),
        108: glyph_button("close", "normal"), 112: glyph_button("close", "pushed"),
        109: glyph_button("close", "hover"), 115: glyph_button("close", "disabled"),
        110: glyph_button("minimize", "normal"), 114: glyph_button("minimize", "pushed"),
        111: glyph_button("minimize", "hover"),
        248: text_button("normal"), 113: text_button("pushed"), 249: text_button("hover"),
        285: text_button("disabled"),
        242: track(),
        310: footer(),
        312: banner(),
    }
    for resource_id, canvas in sorted(images.items()):
        write_png(os.path.join(OUT, "png%d.png" % resource_id), canvas)
    frames = bar_frames()
    write_gif(os.path.join(OUT, "gif105.gif"), frames, [4] * len(frames), transparent=(255, 255, 255))
    icons = []
    for size in (16, 32, 48):
        icons.append((size, write_png(os.path.join(OUT, "icon%d.tmp" % size), page_icon("logo", size))))
        os.remove(os.path.join(OUT, "icon%d.tmp" % size))
    write_ico(os.path.join(OUT, "VekLauncher.ico"), icons)

    # Animations for the tests of the bar: delays of 0 (which count as 100 ms), one frame only.
    write_gif(os.path.join(FIXTURES, "gif_zero_delay.gif"), bar_frames(count=3), [0, 0, 0])
    write_gif(os.path.join(FIXTURES, "gif_single_frame.gif"), bar_frames(count=2)[1:], [7])


if __name__ == "__main__":
    main()
