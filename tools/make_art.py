#!/usr/bin/python3
"""Generates the launcher's built-in art set.

Writes art/art_data.cpp (the pictures as run-length coded, base64 text that
art/art_decode.cpp unpacks at start-up), art/quorvel.ico (the window icon)
and PNG previews in art/preview/. Needs Debian's python3-pil and the DejaVu
fonts (fonts-dejavu-core); the build itself needs neither.

Run from anywhere:  /usr/bin/python3 tools/make_art.py
The output is deterministic: the same inputs give byte-identical files.

A publisher's brand:  tools/make_art.py --brand DIR --out OUTDIR
takes the pictures of art/preview/, replaces each one DIR holds a PNG of
(same name, same size; icon.png: a square of 96 pixels or more), and writes
art_data.cpp, quorvel.ico and icon.png into OUTDIR. It needs python3-pil
only; the build runs it when QUORVEL_ART_DIR is set.
"""

import base64
import math
import os
import random
import struct
import sys

from PIL import Image, ImageDraw, ImageFilter, ImageFont

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ART_DIR = os.path.join(ROOT, "art")
PREVIEW_DIR = os.path.join(ART_DIR, "preview")
FONT_DIR = "/usr/share/fonts/truetype/dejavu"

SS = 4  # supersampling factor for soft, anti-aliased edges

# Palette: midnight stone, burnished gold, deep teal.
GOLD_LIGHT = (255, 226, 140)
GOLD = (214, 168, 64)
GOLD_DARK = (120, 78, 22)
INK = (24, 16, 8)
TEAL_LIGHT = (64, 170, 168)
TEAL_DARK = (14, 72, 84)
CREAM = (246, 236, 212)


def font(name, size):
    path = os.path.join(FONT_DIR, name)
    if not os.path.exists(path):
        sys.exit("make_art: missing %s (install fonts-dejavu-core)" % path)
    return ImageFont.truetype(path, size)


def downsample(big, w, h):
    """Averages a supersampled RGBA picture with premultiplied alpha."""
    return big.convert("RGBa").resize((w, h), Image.BOX).convert("RGBA")


def clean(img):
    """Drops the faint tails of blurs (alpha below 6 would not show on the
    dark ground anyway) and zeroes the colour of transparent pixels, which
    keeps the stored data small."""
    px = img.load()
    for y in range(img.height):
        for x in range(img.width):
            if px[x, y][3] < 6:
                px[x, y] = (0, 0, 0, 0)
    return img


def fade_edges(img, margin):
    """Fades alpha to zero over margin pixels at the border: a clear surround."""
    px = img.load()
    for y in range(img.height):
        for x in range(img.width):
            d = min(x, y, img.width - 1 - x, img.height - 1 - y)
            if d < margin:
                r, g, b, a = px[x, y]
                px[x, y] = (r, g, b, a * d // margin)
    return img


def lerp(a, b, t):
    return tuple(int(round(a[i] + (b[i] - a[i]) * t)) for i in range(len(a)))


def vertical_gradient(w, h, top, bottom):
    img = Image.new("RGBA", (w, h))
    d = ImageDraw.Draw(img)
    for y in range(h):
        d.line([(0, y), (w, y)], fill=lerp(top, bottom, y / max(1, h - 1)) + (255,))
    return img


def with_mask(colour_img, mask):
    out = colour_img.copy()
    out.putalpha(mask)
    return out


# ---------------------------------------------------------------- background

def periodic_noise(size, cells, rng):
    grid = [[rng.random() for _ in range(cells)] for _ in range(cells)]
    step = size / cells

    def smooth(t):
        return t * t * (3 - 2 * t)

    out = [[0.0] * size for _ in range(size)]
    for y in range(size):
        gy = y / step
        y0 = int(gy) % cells
        y1 = (y0 + 1) % cells
        ty = smooth(gy - int(gy))
        for x in range(size):
            gx = x / step
            x0 = int(gx) % cells
            x1 = (x0 + 1) % cells
            tx = smooth(gx - int(gx))
            a = grid[y0][x0] + (grid[y0][x1] - grid[y0][x0]) * tx
            b = grid[y1][x0] + (grid[y1][x1] - grid[y1][x0]) * tx
            out[y][x] = a + (b - a) * ty
    return out


def make_background():
    size = 200
    rng = random.Random(7)
    octaves = [(5, 0.45), (10, 0.28), (20, 0.17), (40, 0.10)]
    layers = [(periodic_noise(size, cells, rng), weight) for cells, weight in octaves]
    # A faint diamond lattice whose period divides the tile, so it tiles.
    lattice = Image.new("L", (size * SS, size * SS), 0)
    d = ImageDraw.Draw(lattice)
    big = size * SS
    for k in range(-2, 3):
        off = k * 100 * SS
        d.line([(off, 0), (off + big, big)], fill=255, width=SS)
        d.line([(off + big, 0), (off, big)], fill=255, width=SS)
    for cx, cy in [(0, 0), (100, 0), (0, 100), (100, 100), (200, 0), (0, 200), (200, 200),
                   (200, 100), (100, 200), (50, 50), (150, 50), (50, 150), (150, 150)]:
        r = (5 if (cx + cy) % 100 == 0 else 2) * SS
        d.ellipse([cx * SS - r, cy * SS - r, cx * SS + r, cy * SS + r], fill=255)
    lattice = lattice.resize((size, size), Image.BOX)
    lat = lattice.load()
    dark = (16, 19, 38)
    light = (44, 50, 86)
    glint = (92, 84, 60)
    img = Image.new("RGBA", (size, size))
    px = img.load()
    grain = random.Random(11)
    for y in range(size):
        for x in range(size):
            n = sum(layer[y][x] * w for layer, w in layers)
            n = min(1.0, max(0.0, (n - 0.25) * 1.9))
            c = lerp(dark, light, n)
            g = grain.randint(-3, 3)
            c = tuple(max(0, min(255, v + g)) for v in c)
            t = lat[x, y] / 255.0 * 0.45
            c = lerp(c, glint, t)
            px[x, y] = c + (255,)
    return img


# ---------------------------------------------------------------- corners

def make_corner_tl():
    n = 36
    big = Image.new("RGBA", (n * SS, n * SS), (0, 0, 0, 0))
    d = ImageDraw.Draw(big)

    def s(v):
        return v * SS

    # Dark under-stroke first so the gold reads on light and dark ground.
    for colour, grow in ((INK + (190,), 0.9), (GOLD_DARK + (255,), 0.45), (GOLD + (255,), 0.0)):
        w = s(1.8 + grow * 2)
        d.line([(s(3), s(3)), (s(33), s(3))], fill=colour, width=int(w))
        d.line([(s(3), s(3)), (s(3), s(33))], fill=colour, width=int(w))
        w2 = s(1.0 + grow * 2)
        d.line([(s(10), s(9)), (s(24), s(9))], fill=colour, width=int(w2))
        d.line([(s(9), s(10)), (s(9), s(24))], fill=colour, width=int(w2))
        k = 2.6 + grow
        d.polygon([(s(15), s(15 - k)), (s(15 + k), s(15)), (s(15), s(15 + k)), (s(15 - k), s(15))],
                  fill=colour)
    # Tapering tips.
    for x, y in ((33, 3), (3, 33)):
        r = s(2.4)
        d.ellipse([s(x) - r, s(y) - r, s(x) + r, s(y) + r], fill=GOLD_LIGHT + (255,))
    # A teal gem at the corner.
    r = s(4.8)
    d.ellipse([s(6) - r, s(6) - r, s(6) + r, s(6) + r], fill=INK + (255,))
    r = s(3.8)
    d.ellipse([s(6) - r, s(6) - r, s(6) + r, s(6) + r], fill=TEAL_DARK + (255,))
    r = s(2.3)
    d.ellipse([s(5.3) - r, s(5.3) - r, s(5.3) + r, s(5.3) + r], fill=TEAL_LIGHT + (255,))
    r = s(0.9)
    d.ellipse([s(4.6) - r, s(4.6) - r, s(4.6) + r, s(4.6) + r], fill=(220, 255, 250, 255))
    return downsample(big, n, n)


# ---------------------------------------------------------------- logo

def make_logo():
    w, h = 300, 75
    bw, bh = w * SS, h * SS
    f = font("DejaVuSerif-Bold.ttf", 50 * SS)
    text = "QUORVEL"
    mask = Image.new("L", (bw, bh), 0)
    d = ImageDraw.Draw(mask)
    box = d.textbbox((0, 0), text, font=f)
    tw, th = box[2] - box[0], box[3] - box[1]
    ox = (bw - tw) // 2 - box[0]
    oy = (bh - th) // 2 - box[1] - 2 * SS
    d.text((ox, oy), text, font=f, fill=255)
    # Flourishes under the name: a rule with a diamond in the middle.
    line = Image.new("L", (bw, bh), 0)
    ld = ImageDraw.Draw(line)
    ry = oy + box[3] + 6 * SS
    cx = bw // 2
    ld.line([(cx - 110 * SS, ry), (cx - 12 * SS, ry)], fill=255, width=2 * SS)
    ld.line([(cx + 12 * SS, ry), (cx + 110 * SS, ry)], fill=255, width=2 * SS)
    ld.polygon([(cx, ry - 6 * SS), (cx + 8 * SS, ry), (cx, ry + 6 * SS), (cx - 8 * SS, ry)], fill=255)
    for side in (-1, 1):
        x = cx + side * 116 * SS
        ld.ellipse([x - 3 * SS, ry - 3 * SS, x + 3 * SS, ry + 3 * SS], fill=255)
    shape = Image.new("L", (bw, bh), 0)
    shape.paste(255, (0, 0), mask)
    shape.paste(255, (0, 0), line)
    outline = shape.filter(ImageFilter.MaxFilter(2 * 3 + 1)).filter(ImageFilter.MaxFilter(5))
    glow = outline.filter(ImageFilter.GaussianBlur(3 * SS))
    gold = vertical_gradient(bw, bh, GOLD_LIGHT, GOLD_DARK)
    # A brighter band across the letters' middle, like polished metal.
    band = vertical_gradient(bw, bh, (255, 244, 200), GOLD)
    gold = Image.blend(gold, band, 0.35)
    layer_glow = with_mask(Image.new("RGBA", (bw, bh), (8, 10, 24, 255)), glow.point(lambda v: v * 0.8))
    layer_outline = with_mask(Image.new("RGBA", (bw, bh), INK + (255,)), outline)
    layer_gold = with_mask(gold, shape)
    big = Image.alpha_composite(Image.alpha_composite(layer_glow, layer_outline), layer_gold)
    # An inner highlight along the letters' top edges.
    top_edge = Image.new("L", (bw, bh), 0)
    top_edge.paste(shape.crop((0, 0, bw, bh - 3 * SS)), (0, 3 * SS))
    hl = Image.new("L", (bw, bh), 0)
    hl.paste(shape, (0, 0), top_edge.point(lambda v: 255 - v))
    big = Image.alpha_composite(big, with_mask(Image.new("RGBA", (bw, bh), (255, 250, 225, 255)),
                                               hl.point(lambda v: v * 0.7)))
    return fade_edges(downsample(big, w, h), 4)


# ---------------------------------------------------------------- notice

def make_notice():
    """A warning medallion with specks around it. The medallion sits a little
    above the middle so that it stays clear of a button drawn over the
    picture's lower part."""
    n = 200
    b = n * SS
    cx, cy = b // 2, 86 * SS
    k = 0.8 * SS  # emblem units to supersampled pixels
    rng = random.Random(23)
    specks = Image.new("RGBA", (n, n), (0, 0, 0, 0))
    sd = ImageDraw.Draw(specks)
    placed = 0
    while placed < 34:
        x, y = rng.uniform(6, n - 6), rng.uniform(6, n - 6)
        if math.hypot(x - cx / SS, y - cy / SS) < 62:
            continue
        r = rng.uniform(0.8, 2.4)
        colour = GOLD_LIGHT if rng.random() < 0.6 else (150, 230, 225)
        a = int(rng.uniform(110, 230))
        sd.ellipse([x - r, y - r, x + r, y + r], fill=colour + (a,))
        placed += 1
    specks = specks.filter(ImageFilter.GaussianBlur(1.1))

    big = Image.new("RGBA", (b, b), (0, 0, 0, 0))
    d = ImageDraw.Draw(big)

    def circle(draw, x, y, r, colour):
        draw.ellipse([x - r, y - r, x + r, y + r], fill=colour)

    circle(d, cx, cy, 66 * k, INK + (255,))
    circle(d, cx, cy, 63 * k, GOLD_DARK + (255,))
    circle(d, cx, cy, 60 * k, GOLD + (255,))
    circle(d, cx, cy, 55 * k, GOLD_DARK + (255,))
    circle(d, cx, cy, 53 * k, INK + (255,))
    disc = vertical_gradient(b, b, (110, 30, 40), (30, 6, 14))
    dm = Image.new("L", (b, b), 0)
    circle(ImageDraw.Draw(dm), cx, cy, 51 * k, 255)
    big.paste(disc, (0, 0), dm)
    # Eight studs on the rim.
    for i in range(8):
        ang = i * math.pi / 4
        circle(d, cx + math.cos(ang) * 57.5 * k, cy + math.sin(ang) * 57.5 * k, 2.6 * k,
               GOLD_LIGHT + (255,))

    # The warning mark: a tall wedge and a dot, in gold with a dark rim.
    def mark(grow, colour):
        g = grow * k
        d.polygon([(cx - 9 * k - g, cy - 36 * k - g), (cx + 9 * k + g, cy - 36 * k - g),
                   (cx + 4 * k + g, cy + 12 * k + g), (cx - 4 * k - g, cy + 12 * k + g)],
                  fill=colour)
        circle(d, cx, cy + 27 * k, 7 * k + g, colour)

    mark(2.5, INK + (255,))
    mark(0, GOLD_LIGHT + (255,))
    emblem = downsample(big, n, n)
    halo_mask = emblem.split()[3].filter(ImageFilter.GaussianBlur(4)).point(lambda v: v * 0.55)
    halo = with_mask(Image.new("RGBA", (n, n), (200, 150, 60, 255)), halo_mask)
    out = Image.alpha_composite(specks, halo)
    return Image.alpha_composite(out, emblem)


# ---------------------------------------------------------------- buttons

def button_frame_parts():
    w, h = 200, 100
    bw, bh = w * SS, h * SS
    outer = Image.new("L", (bw, bh), 0)
    ImageDraw.Draw(outer).rounded_rectangle([3 * SS, 3 * SS, bw - 3 * SS - 1, bh - 3 * SS - 1],
                                            radius=16 * SS, fill=255)
    inner = Image.new("L", (bw, bh), 0)
    ImageDraw.Draw(inner).rounded_rectangle([9 * SS, 9 * SS, bw - 9 * SS - 1, bh - 9 * SS - 1],
                                            radius=11 * SS, fill=255)
    return w, h, bw, bh, outer, inner


def make_button(kind):
    w, h, bw, bh, outer, inner = button_frame_parts()
    ring = Image.new("L", (bw, bh), 0)
    ring.paste(outer, (0, 0))
    ring.paste(0, (0, 0), inner)
    big = Image.new("RGBA", (bw, bh), (0, 0, 0, 0))
    if kind == "hover":
        fill = vertical_gradient(bw, bh, TEAL_LIGHT, TEAL_DARK)
        shine = vertical_gradient(bw, bh, (140, 220, 210), TEAL_DARK)
        fill = Image.blend(fill, shine, 0.25)
        big = with_mask(fill, inner.point(lambda v: v * 235 // 255))
    elif kind == "pressed":
        big = with_mask(Image.new("RGBA", (bw, bh), (200, 150, 70, 255)),
                        inner.point(lambda v: v * 52 // 255))
    gold = vertical_gradient(bw, bh, GOLD_LIGHT, GOLD_DARK)
    if kind == "pressed":
        gold = vertical_gradient(bw, bh, GOLD_DARK, GOLD_LIGHT)  # lit from below: sunk
    # Dark hairlines on both sides of the gold band.
    edge_out = outer.point(lambda v: v)
    inner_grow = inner.filter(ImageFilter.MaxFilter(2 * SS + 1))
    band = Image.new("L", (bw, bh), 0)
    band.paste(outer.filter(ImageFilter.MinFilter(2 * SS + 1)), (0, 0))
    band.paste(0, (0, 0), inner_grow)
    big = Image.alpha_composite(big, with_mask(Image.new("RGBA", (bw, bh), INK + (255,)),
                                               ring_subtract(edge_out, inner)))
    big = Image.alpha_composite(big, with_mask(gold, band))
    # Small gold rivets in the middle of each side of the band.
    d = ImageDraw.Draw(big)
    for x, y in ((w // 2, 6), (w // 2, h - 6), (6, h // 2), (w - 6, h // 2)):
        r = 2.2 * SS
        d.ellipse([x * SS - r, y * SS - r, x * SS + r, y * SS + r], fill=INK + (255,))
        r = 1.5 * SS
        d.ellipse([x * SS - r, y * SS - r, x * SS + r, y * SS + r], fill=GOLD_LIGHT + (255,))
    img = downsample(big, w, h)
    shadow_mask = img.split()[3].filter(ImageFilter.GaussianBlur(1.4)).point(lambda v: v * 0.5)
    frame_only = Image.new("L", (w, h), 0)
    frame_only.paste(shadow_mask, (0, 0))
    shadow = with_mask(Image.new("RGBA", (w, h), (4, 4, 12, 255)), frame_only)
    return Image.alpha_composite(shadow, img) if kind != "normal" else keep_inside_clear(
        Image.alpha_composite(shadow, img), inner)


def ring_subtract(outer, inner):
    out = Image.new("L", outer.size, 0)
    out.paste(outer, (0, 0))
    out.paste(0, (0, 0), inner)
    return out


def keep_inside_clear(img, inner_big):
    """The normal face's inside is fully transparent: the shadow must not
    bleed into it."""
    inner = inner_big.filter(ImageFilter.MinFilter(2 * SS + 1)).resize(img.size, Image.BOX)
    px = img.load()
    ip = inner.load()
    for y in range(img.height):
        for x in range(img.width):
            if ip[x, y] == 255:
                px[x, y] = (0, 0, 0, 0)
    return img


# ---------------------------------------------------------------- font

def make_font():
    cw, ch = 12, 16
    atlas = Image.new("RGBA", (cw * 16, ch * 8), (0, 0, 0, 0))
    f = font("DejaVuSansMono-Bold.ttf", 15)
    ascent, descent = f.getmetrics()
    baseline = 12  # row of the baseline inside the cell
    for code in range(33, 127):
        cov = Image.new("L", (cw, ch), 0)
        d = ImageDraw.Draw(cov)
        adv = f.getlength(chr(code))
        x = int(round((cw - 1 - adv) / 2))
        d.text((x, baseline - ascent), chr(code), font=f, fill=255)
        # A little more ink: thin diagonals (/ % `) reach full opacity too.
        put_glyph(atlas, code, cov.point(lambda v: min(255, v * 4 // 3)))
    for code, coverage in symbol_cells(cw, ch).items():
        put_glyph(atlas, code, coverage)
    return atlas


def put_glyph(atlas, code, cov):
    """Cream glyph with a dark drop shadow one pixel down and right, so text
    stays legible on light and textured ground."""
    cw, ch = cov.size
    shadow = Image.new("L", (cw, ch), 0)
    shadow.paste(cov.crop((0, 0, cw - 1, ch - 1)), (1, 1))
    cell = with_mask(Image.new("RGBA", (cw, ch), (10, 8, 14, 255)), shadow.point(lambda v: v * 200 // 255))
    cell = Image.alpha_composite(cell, with_mask(Image.new("RGBA", (cw, ch), CREAM + (255,)), cov))
    atlas.paste(cell, ((code % 16) * cw, (code // 16) * ch))


def symbol_cells(cw, ch):
    def shape(draw):
        big = Image.new("L", (cw * SS, ch * SS), 0)
        draw(ImageDraw.Draw(big), SS)
        return big.resize((cw, ch), Image.BOX)

    def p(points, s):
        return [(x * s, y * s) for x, y in points]

    return {
        22: shape(lambda d, s: d.rectangle(p([(1, 11), (10, 14)], s), fill=255)),
        24: shape(lambda d, s: d.polygon(p([(5.5, 3), (10.5, 12), (0.5, 12)], s), fill=255)),
        25: shape(lambda d, s: d.polygon(p([(0.5, 4), (10.5, 4), (5.5, 13)], s), fill=255)),
        26: shape(lambda d, s: d.polygon(p([(1.5, 3), (10.5, 8), (1.5, 13)], s), fill=255)),
        27: shape(lambda d, s: d.polygon(p([(9.5, 3), (0.5, 8), (9.5, 13)], s), fill=255)),
        127: shape(lambda d, s: (
            d.polygon(p([(5.5, 2), (11, 7.5), (0, 7.5)], s), fill=255),
            d.rectangle(p([(1.5, 7), (9.5, 14)], s), fill=255),
            d.rectangle(p([(4.5, 10), (6.5, 14)], s), fill=0))),
    }


# ---------------------------------------------------------------- icon

def make_icon_master():
    n = 96 * SS
    c = n / 2
    big = Image.new("RGBA", (n, n), (0, 0, 0, 0))
    d = ImageDraw.Draw(big)
    for r, colour in ((46, INK), (44, GOLD_DARK), (42, GOLD), (37, GOLD_DARK), (35, INK)):
        d.ellipse([c - r * SS, c - r * SS, c + r * SS, c + r * SS], fill=colour + (255,))
    disc = vertical_gradient(n, n, (40, 48, 96), (12, 14, 34))
    m = Image.new("L", (n, n), 0)
    ImageDraw.Draw(m).ellipse([c - 34 * SS, c - 34 * SS, c + 34 * SS, c + 34 * SS], fill=255)
    big.paste(disc, (0, 0), m)
    f = font("DejaVuSerif-Bold.ttf", 58 * SS)
    q = Image.new("L", (n, n), 0)
    qd = ImageDraw.Draw(q)
    box = qd.textbbox((0, 0), "Q", font=f)
    qd.text(((n - (box[2] - box[0])) / 2 - box[0], (n - (box[3] - box[1])) / 2 - box[1] - 2 * SS),
            "Q", font=f, fill=255)
    rim = q.filter(ImageFilter.MaxFilter(4 * SS + 1))
    big = Image.alpha_composite(big, with_mask(Image.new("RGBA", (n, n), INK + (255,)), rim))
    big = Image.alpha_composite(big, with_mask(vertical_gradient(n, n, GOLD_LIGHT, GOLD_DARK), q))
    return big


def write_ico(master, sizes, path):
    images = []
    for s in sizes:
        img = master.convert("RGBa").resize((s, s), Image.LANCZOS).convert("RGBA")
        px = img.load()
        rows = bytearray()
        for y in range(s - 1, -1, -1):  # bottom-up, as DIBs are
            for x in range(s):
                r, g, b, a = px[x, y]
                rows += bytes((b, g, r, a))
        mask_stride = ((s + 31) // 32) * 4
        mask = bytearray()
        for y in range(s - 1, -1, -1):
            row = bytearray(mask_stride)
            for x in range(s):
                if px[x, y][3] == 0:
                    row[x // 8] |= 0x80 >> (x % 8)
            mask += row
        header = struct.pack("<IiiHHIIiiII", 40, s, s * 2, 1, 32, 0, len(rows) + len(mask), 0, 0, 0, 0)
        images.append(header + bytes(rows) + bytes(mask))
    out = bytearray(struct.pack("<HHH", 0, 1, len(sizes)))
    offset = 6 + 16 * len(sizes)
    for s, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for data in images:
        out += data
    with open(path, "wb") as f:
        f.write(out)


# ---------------------------------------------------------------- encoding

def rle_encode(img):
    """Runs of pixels: a control byte c < 128 is followed by c + 1 literal
    pixels; c >= 128 by one pixel repeated c - 127 times."""
    data = img.tobytes()
    pixels = [data[i:i + 4] for i in range(0, len(data), 4)]
    out = bytearray()
    i = 0
    n = len(pixels)
    literal = []

    def flush():
        while literal:
            chunk = literal[:128]
            del literal[:128]
            out.append(len(chunk) - 1)
            for p in chunk:
                out.extend(p)

    while i < n:
        run = 1
        while i + run < n and run < 128 and pixels[i + run] == pixels[i]:
            run += 1
        if run >= 2:
            flush()
            out.append(127 + run)
            out += pixels[i]
            i += run
        else:
            literal.append(pixels[i])
            i += 1
    flush()
    return bytes(out)


def c_literal(text, indent="    "):
    lines = []
    for i in range(0, len(text), 96):
        lines.append('%s"%s"' % (indent, text[i:i + 96]))
    return "\n".join(lines)


def write_source(pictures, path):
    parts = [
        "// Generated by tools/make_art.py: do not edit, rerun the tool.\n"
        "// Each picture is stored run-length coded and base64 encoded and is\n"
        "// unpacked into its static pixel buffer before main runs.\n"
        "// clang-format off\n"
        '#include "art/art.h"\n'
        '#include "art/art_decode.h"\n\n'
        "#include <cstdint>\n\n"
        "namespace {\n"
    ]
    for name, var, img in pictures:
        encoded = base64.b64encode(rle_encode(img)).decode("ascii")
        parts.append("\nstd::uint8_t %s_pixels[%d * %d * 4];\n" % (var, img.width, img.height))
        parts.append("const char %s_data[] =\n%s;\n" % (var, c_literal(encoded)))
    parts.append("\n// Runs before main, so every picture is ready when drawing starts.\n")
    parts.append("struct ArtUnpacker {\n    ArtUnpacker()\n    {\n")
    for name, var, img in pictures:
        parts.append("        art_decode(%s_data, %s_pixels, sizeof %s_pixels);\n" % (var, var, var))
    parts.append("    }\n};\nconst ArtUnpacker art_unpacker;\n\n} // namespace\n\n")
    for name, var, img in pictures:
        parts.append("const Image %s = {%d, %d, 4, %s_pixels};\n" % (name, img.width, img.height, var))
    with open(path, "w") as f:
        f.write("".join(parts))


# The pictures in the order art_data.cpp declares them: (C name, file stem).
PICTURES = [
    ("ART_BACKGROUND", "background"),
    ("ART_CORNER_TL", "corner_tl"),
    ("ART_CORNER_TR", "corner_tr"),
    ("ART_CORNER_BL", "corner_bl"),
    ("ART_CORNER_BR", "corner_br"),
    ("ART_LOGO", "logo"),
    ("ART_NOTICE", "notice"),
    ("ART_FONT", "font"),
    ("ART_BUTTON_NORMAL", "button_normal"),
    ("ART_BUTTON_HOVER", "button_hover"),
    ("ART_BUTTON_PRESSED", "button_pressed"),
]


def brand(brand_dir, out_dir):
    stems = {stem for _, stem in PICTURES} | {"icon"}
    for name in sorted(os.listdir(brand_dir)):
        if name.endswith(".png") and name[:-4] not in stems:
            sys.exit("make_art: %s names no picture (one of: %s)"
                     % (os.path.join(brand_dir, name), ", ".join(sorted(stems))))
    pictures = []
    for name, stem in PICTURES:
        img = Image.open(os.path.join(PREVIEW_DIR, stem + ".png")).convert("RGBA")
        custom = os.path.join(brand_dir, stem + ".png")
        if os.path.exists(custom):
            mine = Image.open(custom).convert("RGBA")
            if mine.size != img.size:
                sys.exit("make_art: %s is %dx%d; the picture it replaces is %dx%d"
                         % ((custom,) + mine.size + img.size))
            img = clean(mine)
        pictures.append((name, stem, img))
    icon = os.path.join(brand_dir, "icon.png")
    master = Image.open(icon if os.path.exists(icon) else os.path.join(PREVIEW_DIR, "icon.png"))
    master = master.convert("RGBA")
    if master.width != master.height or master.width < 96:
        sys.exit("make_art: %s must be square, 96 pixels or more" % icon)
    os.makedirs(out_dir, exist_ok=True)
    write_source(pictures, os.path.join(out_dir, "art_data.cpp"))
    write_ico(master, [32, 48, 64, 96], os.path.join(out_dir, "quorvel.ico"))
    master.resize((96, 96), Image.LANCZOS).save(os.path.join(out_dir, "icon.png"))


def main():
    if len(sys.argv) == 5 and sys.argv[1] == "--brand" and sys.argv[3] == "--out":
        brand(sys.argv[2], sys.argv[4])
        return
    if len(sys.argv) != 1:
        sys.exit("usage: make_art.py [--brand DIR --out OUTDIR]")
    os.makedirs(PREVIEW_DIR, exist_ok=True)
    corner = make_corner_tl()
    pictures = [
        ("ART_BACKGROUND", "background", make_background()),
        ("ART_CORNER_TL", "corner_tl", corner),
        ("ART_CORNER_TR", "corner_tr", corner.transpose(Image.FLIP_LEFT_RIGHT)),
        ("ART_CORNER_BL", "corner_bl", corner.transpose(Image.FLIP_TOP_BOTTOM)),
        ("ART_CORNER_BR", "corner_br", corner.transpose(Image.ROTATE_180)),
        ("ART_LOGO", "logo", make_logo()),
        ("ART_NOTICE", "notice", make_notice()),
        ("ART_FONT", "font", make_font()),
        ("ART_BUTTON_NORMAL", "button_normal", make_button("normal")),
        ("ART_BUTTON_HOVER", "button_hover", make_button("hover")),
        ("ART_BUTTON_PRESSED", "button_pressed", make_button("pressed")),
    ]
    pictures = [(name, var, clean(img.convert("RGBA"))) for name, var, img in pictures]
    for name, var, img in pictures:
        img.save(os.path.join(PREVIEW_DIR, var + ".png"), optimize=True)
    write_source(pictures, os.path.join(ART_DIR, "art_data.cpp"))
    master = make_icon_master()
    write_ico(master, [32, 48, 64, 96], os.path.join(ART_DIR, "quorvel.ico"))
    master.resize((96, 96), Image.LANCZOS).save(os.path.join(PREVIEW_DIR, "icon.png"))


if __name__ == "__main__":
    main()
