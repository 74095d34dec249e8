#!/usr/bin/python3
"""Draws the program's pictures and checks the files it writes.

    /usr/bin/python3 resources/draw_pictures.py [--preview DIR]

Writes, next to this script:
  banner_picture.gif  animated GIF89a, 270x40, 13 frames: a sheet of paper travels
                      from a globe into a folder
  program_icon.ico    32x32 icon in 256 colours and in 24-bit colour: a document
                      with an orange diamond

Both files are encoded here byte by byte (the GIF with its own LZW coder), so the
palette, the transparent index, the delays and the disposal of every frame are
exactly those chosen below; check_banner() and check_icon() read the written
bytes back and fail loudly when anything differs. With --preview DIR, enlarged
PNG views of every frame and of the icon are written into DIR.

Needs only Pillow (Debian package python3-pil).
"""

import math
import os
import struct
import sys

from PIL import Image, ImageChops, ImageDraw, ImageFilter, GifImagePlugin

HERE = os.path.dirname(os.path.abspath(__file__))
BANNER_PATH = os.path.join(HERE, "banner_picture.gif")
ICON_PATH = os.path.join(HERE, "program_icon.ico")

BANNER_W, BANNER_H = 270, 40
FRAMES = 13
# Delays in hundredths of a second: a short pause at the globe, an even flight,
# a longer rest once the sheet is in the folder.
DELAYS = [20] + [12] * 11 + [50]
# Disposal 2 (restore to background) for every frame but the last, which stays (1).
DISPOSALS = [2] * 12 + [1]
TRANSPARENT = 255
SS = 4  # supersampling factor of the banner drawing


# ---------------------------------------------------------------- drawing helpers

def rgb(hex_colour):
    hex_colour = hex_colour.lstrip("#")
    return tuple(int(hex_colour[i:i + 2], 16) for i in (0, 2, 4))


def mix(a, b, t):
    t = max(0.0, min(1.0, t))
    return tuple(round(x + (y - x) * t) for x, y in zip(a, b))


def ramp(stops, t):
    """Colour at t in [0, 1] along a list of (position, colour) stops."""
    t = max(0.0, min(1.0, t))
    for (p0, c0), (p1, c1) in zip(stops, stops[1:]):
        if t <= p1:
            return mix(c0, c1, (t - p0) / (p1 - p0) if p1 > p0 else 0.0)
    return stops[-1][1]


def layer(size):
    return Image.new("RGBA", size, (0, 0, 0, 0))


def with_alpha_mask(img, mask):
    """img with its alpha multiplied by mask (mode L)."""
    out = img.copy()
    out.putalpha(ImageChops.multiply(img.getchannel("A"), mask))
    return out


def vertical_gradient(size, stops, mask):
    w, h = size
    column = Image.new("RGB", (1, h))
    for y in range(h):
        column.putpixel((0, y), ramp(stops, y / max(1, h - 1)))
    img = column.resize((w, h)).convert("RGBA")
    img.putalpha(mask)
    return img


def soft_shadow(size, box, alpha, blur):
    shadow = layer(size)
    ImageDraw.Draw(shadow).ellipse(box, fill=(40, 50, 70, alpha))
    return shadow.filter(ImageFilter.GaussianBlur(blur))


def s(v):
    """Banner coordinate (1x pixels, float) to supersampled pixels."""
    return round(v * SS)


def sbox(x0, y0, x1, y1):
    return [s(x0), s(y0), s(x1), s(y1)]


# ---------------------------------------------------------------- the banner

GLOBE_C = (23.0, 19.5)
GLOBE_R = 16.0
FOLDER_X0, FOLDER_X1 = 226.0, 265.0


def draw_globe(canvas, spin):
    """Blue globe with meridians; spin in [0, 1) turns it by one meridian spacing."""
    size = canvas.size
    cx, cy, r = GLOBE_C[0] * SS, GLOBE_C[1] * SS, GLOBE_R * SS

    canvas.alpha_composite(soft_shadow(size, sbox(11, 35.2, 35, 38.8), 70, 1.6 * SS))

    mask = Image.new("L", size, 0)
    ImageDraw.Draw(mask).ellipse([cx - r, cy - r, cx + r, cy + r], fill=255)

    # Sphere shading: light from the upper left.
    hx, hy = cx - 0.38 * r, cy - 0.42 * r
    stops = [(0.0, rgb("#bfe6ff")), (0.28, rgb("#5cb3f2")), (0.65, rgb("#2a78d6")),
             (1.0, rgb("#153f91"))]
    body = layer(size)
    px = body.load()
    x0, y0, x1, y1 = int(cx - r) - 1, int(cy - r) - 1, int(cx + r) + 2, int(cy + r) + 2
    for y in range(max(0, y0), min(size[1], y1)):
        for x in range(max(0, x0), min(size[0], x1)):
            d = math.hypot(x - hx, y - hy) / (1.55 * r)
            px[x, y] = ramp(stops, d) + (255,)
    body.putalpha(mask)
    canvas.alpha_composite(body)

    # Meridians and parallels, drawn on their own layer and clipped to the sphere.
    lines = layer(size)
    d = ImageDraw.Draw(lines)
    width = max(1, round(0.75 * SS))
    line_colour = (235, 247, 255, 150)
    for k in range(-6, 7):
        lon = math.radians(30 * (k + spin))
        if math.cos(lon) <= 0.02:
            continue  # behind the globe
        points = []
        for i in range(0, 37):
            lat = math.radians(-90 + 5 * i)
            points.append((cx + r * math.cos(lat) * math.sin(lon), cy - r * math.sin(lat)))
        # Fainter towards the rim, where the lines crowd together.
        a = round(line_colour[3] * (0.45 + 0.55 * math.cos(lon)))
        d.line(points, fill=line_colour[:3] + (a,), width=width, joint="curve")
    for lat_deg in (-50, -25, 0, 25, 50):
        lat = math.radians(lat_deg)
        yy = cy - r * math.sin(lat)
        half = r * math.cos(lat)
        # Parallels seen slightly from above: shallow arcs.
        bulge = 0.16 * half
        d.arc([cx - half, yy - bulge, cx + half, yy + bulge], 0, 180, fill=line_colour,
              width=width)
    canvas.alpha_composite(with_alpha_mask(lines, mask))

    # Rim and a soft highlight.
    rim = layer(size)
    ImageDraw.Draw(rim).ellipse([cx - r, cy - r, cx + r, cy + r], outline=rgb("#123a80") + (200,),
                                width=max(1, round(0.8 * SS)))
    canvas.alpha_composite(rim)
    glow = layer(size)
    ImageDraw.Draw(glow).ellipse([hx - 0.32 * r, hy - 0.22 * r, hx + 0.32 * r, hy + 0.22 * r],
                                 fill=(255, 255, 255, 150))
    glow = glow.filter(ImageFilter.GaussianBlur(0.9 * SS))
    canvas.alpha_composite(with_alpha_mask(glow, mask))


def folder_back(canvas):
    size = canvas.size
    canvas.alpha_composite(soft_shadow(size, sbox(FOLDER_X0 + 1, 35.0, FOLDER_X1 - 1, 38.8),
                                       70, 1.6 * SS))
    mask = Image.new("L", size, 0)
    d = ImageDraw.Draw(mask)
    # Tab at the top left, then the back panel.
    d.rounded_rectangle(sbox(FOLDER_X0 + 1, 6.0, FOLDER_X0 + 15, 12.0), radius=s(1.6), fill=255)
    d.polygon([(s(FOLDER_X0 + 15), s(8.6)), (s(FOLDER_X0 + 18), s(11.0)),
               (s(FOLDER_X0 + 15), s(11.0))], fill=255)
    d.rounded_rectangle(sbox(FOLDER_X0 + 1, 8.6, FOLDER_X1 - 1, 36.0), radius=s(1.8), fill=255)
    back = vertical_gradient(size, [(0.0, rgb("#f0b73a")), (0.3, rgb("#dd9a1c")),
                                    (1.0, rgb("#b9780a"))], mask)
    canvas.alpha_composite(back)
    edge = layer(size)
    ImageDraw.Draw(edge).rounded_rectangle(sbox(FOLDER_X0 + 1, 8.6, FOLDER_X1 - 1, 36.0),
                                           radius=s(1.8), outline=rgb("#9a6406") + (150,),
                                           width=max(1, round(0.7 * SS)))
    canvas.alpha_composite(edge)


def folder_front(canvas):
    size = canvas.size
    mask = Image.new("L", size, 0)
    # The open front flap leans forward a little: its top edge is wider than its bottom.
    top, bottom = 15.5, 36.0
    ImageDraw.Draw(mask).polygon([(s(FOLDER_X0 - 0.5), s(top)), (s(FOLDER_X1 + 0.5), s(top)),
                                  (s(FOLDER_X1 - 1.0), s(bottom)), (s(FOLDER_X0 + 1.0), s(bottom))],
                                 fill=255)
    mask = mask.filter(ImageFilter.GaussianBlur(0.25 * SS))
    front = vertical_gradient(size, [(0.0, rgb("#ffe58a")), (0.4, rgb("#ffd04a")),
                                     (1.0, rgb("#f0ac22"))], mask)
    canvas.alpha_composite(front)
    d = ImageDraw.Draw(canvas)
    d.line([(s(FOLDER_X0 - 0.2), s(top + 0.35)), (s(FOLDER_X1 + 0.2), s(top + 0.35))],
           fill=rgb("#fff6c8") + (255,), width=max(1, round(0.8 * SS)))
    outline = layer(size)
    ImageDraw.Draw(outline).line([(s(FOLDER_X0 - 0.5), s(top)), (s(FOLDER_X0 + 1.0), s(bottom)),
                                  (s(FOLDER_X1 - 1.0), s(bottom)), (s(FOLDER_X1 + 0.5), s(top))],
                                 fill=rgb("#b07510") + (190,), width=max(1, round(0.7 * SS)),
                                 joint="curve")
    canvas.alpha_composite(outline)


def paper_sprite():
    """The travelling sheet, drawn upright at supersampled size."""
    w, h, fold = 14.0, 18.0, 4.5
    pad = 2
    img = layer((s(w) + 2 * pad, s(h) + 2 * pad))
    d = ImageDraw.Draw(img)
    ox = oy = pad
    body = [(ox, oy), (ox + s(w - fold), oy), (ox + s(w), oy + s(fold)), (ox + s(w), oy + s(h)),
            (ox, oy + s(h))]
    d.polygon(body, fill=(255, 255, 255, 255), outline=None)
    # Text lines.
    for i, y in enumerate((6.2, 8.8, 11.4, 14.0)):
        x_end = w - 2.5 if i < 3 else w - 5.5
        d.line([(ox + s(2.5), oy + s(y)), (ox + s(x_end), oy + s(y))], fill=rgb("#aab4c0") + (255,),
               width=max(1, round(0.9 * SS)))
    d.line([(ox + s(2.5), oy + s(3.6)), (ox + s(6.5), oy + s(3.6))], fill=rgb("#3f8fe6") + (255,),
           width=max(1, round(0.9 * SS)))
    d.line(body + [body[0]], fill=rgb("#7d8895") + (255,), width=max(1, round(0.75 * SS)),
           joint="curve")
    # Blue folded corner.
    corner = [(ox + s(w - fold), oy), (ox + s(w - fold), oy + s(fold)), (ox + s(w), oy + s(fold))]
    d.polygon(corner, fill=rgb("#2f7fdc") + (255,))
    d.line(corner + [corner[0]], fill=rgb("#1d5fb0") + (255,), width=max(1, round(0.6 * SS)),
           joint="curve")
    return img


# The sheet's flight: a quadratic curve from the globe's right side up over the
# banner and down into the folder, eased at both ends.
PATH_START = (36.0, 20.0)
PATH_CONTROL = (140.0, -1.0)
PATH_END = (245.5, 20.5)


def path_point(t):
    u = 1 - t
    x = u * u * PATH_START[0] + 2 * u * t * PATH_CONTROL[0] + t * t * PATH_END[0]
    y = u * u * PATH_START[1] + 2 * u * t * PATH_CONTROL[1] + t * t * PATH_END[1]
    dx = 2 * u * (PATH_CONTROL[0] - PATH_START[0]) + 2 * t * (PATH_END[0] - PATH_CONTROL[0])
    dy = 2 * u * (PATH_CONTROL[1] - PATH_START[1]) + 2 * t * (PATH_END[1] - PATH_CONTROL[1])
    return x, y, math.degrees(math.atan2(dy, dx))


def eased(i):
    t = i / (FRAMES - 1)
    smooth = t * t * (3 - 2 * t)
    return 0.55 * t + 0.45 * smooth


def draw_trail(canvas, t_now):
    """Small motion dots along the curve just behind the sheet."""
    d = ImageDraw.Draw(canvas)
    for k in range(1, 5):
        t = t_now - 0.034 * k
        if t <= 0.03:
            break
        x, y, _ = path_point(t)
        rad = (1.25 - 0.16 * k) * SS
        a = 235 - 40 * k
        d.ellipse([s(x) - rad, s(y) - rad, s(x) + rad, s(y) + rad], fill=rgb("#3f8fe6") + (a,))


def draw_paper(canvas, sprite, i):
    t = eased(i)
    x, y, angle = path_point(t)
    scale = 0.55 + 0.45 * min(1.0, t / 0.22)  # grows as it leaves the globe
    tilt = -angle * 0.35  # leans into the curve
    if i == FRAMES - 1:
        tilt = 0.0
    img = sprite.resize((max(1, round(sprite.width * scale)), max(1, round(sprite.height * scale))),
                        Image.LANCZOS)
    img = img.rotate(tilt, resample=Image.BICUBIC, expand=True)
    shadow = layer(img.size)
    shadow.putalpha(img.getchannel("A").point(lambda a: a * 45 // 255))
    shadow = shadow.filter(ImageFilter.GaussianBlur(0.6 * SS))
    px, py = s(x) - img.width // 2, s(y) - img.height // 2
    canvas.alpha_composite(shadow, (px + s(0.6), py + s(1.0)))
    canvas.alpha_composite(img, (px, py))
    return t


def draw_banner_frames():
    """The 13 frames as RGBA images of 270x40."""
    sprite = paper_sprite()
    frames = []
    for i in range(FRAMES):
        canvas = layer((BANNER_W * SS, BANNER_H * SS))
        draw_globe(canvas, (i / FRAMES) % 1.0)
        folder_back(canvas)
        t = eased(i)
        x, _, _ = path_point(t)
        inside = x > FOLDER_X0 + 6  # over the folder: it slides in behind the front flap
        if 0 < i < FRAMES - 1:
            draw_trail(canvas, t)
        if not inside:
            folder_front(canvas)
        draw_paper(canvas, sprite, i)
        if inside:
            folder_front(canvas)
        frames.append(canvas.resize((BANNER_W, BANNER_H), Image.LANCZOS))
    return frames


def flatten_on_white(img, threshold):
    """RGB image composited on white, and the mask of pixels that stay opaque."""
    white = Image.new("RGBA", img.size, (255, 255, 255, 255))
    white.alpha_composite(img)
    opaque = img.getchannel("A").point(lambda a: 255 if a >= threshold else 0)
    return white.convert("RGB"), opaque


def banner_indices(frames):
    """One global palette of 255 colours (index 255 transparent) and each frame's indices."""
    flat = [flatten_on_white(f, 24) for f in frames]
    stack = Image.new("RGB", (BANNER_W, BANNER_H * FRAMES), (255, 255, 255))
    for i, (rgb_img, _) in enumerate(flat):
        stack.paste(rgb_img, (0, BANNER_H * i))
    # Transparent pixels are white in the stack; they only cost the palette a white entry.
    quant = stack.quantize(colors=255, method=Image.Quantize.MEDIANCUT, dither=Image.Dither.NONE)
    palette = quant.getpalette()[:255 * 3]
    palette += [0] * (255 * 3 - len(palette))
    palette += [255, 255, 255]  # the transparent entry shows white where transparency is ignored
    all_indices = list(quant.getdata())
    result = []
    n = BANNER_W * BANNER_H
    for i, (_, opaque) in enumerate(flat):
        idx = all_indices[i * n:(i + 1) * n]
        mask = list(opaque.getdata())
        result.append(bytes(v if m else TRANSPARENT for v, m in zip(idx, mask)))
    return palette, result


# ---------------------------------------------------------------- GIF encoding

def lzw_encode(indices, min_code_size=8):
    clear = 1 << min_code_size
    end = clear + 1
    out = bytearray()
    bit_buffer = 0
    bit_count = 0

    def emit(code, size):
        nonlocal bit_buffer, bit_count
        bit_buffer |= code << bit_count
        bit_count += size
        while bit_count >= 8:
            out.append(bit_buffer & 0xFF)
            bit_buffer >>= 8
            bit_count -= 8

    code_size = min_code_size + 1
    table = {}
    next_code = end + 1
    emit(clear, code_size)
    prefix = indices[0]
    for k in indices[1:]:
        key = (prefix, k)
        found = table.get(key)
        if found is not None:
            prefix = found
            continue
        emit(prefix, code_size)
        table[key] = next_code
        next_code += 1
        if next_code == 4096:
            # Table full: start over, as the decoder will on the clear code.
            emit(clear, code_size)
            table.clear()
            next_code = end + 1
            code_size = min_code_size + 1
        elif next_code > (1 << code_size):
            code_size += 1
        prefix = k
    emit(prefix, code_size)
    emit(end, code_size)
    if bit_count:
        out.append(bit_buffer & 0xFF)
    return bytes(out)


def sub_blocks(data):
    out = bytearray()
    for i in range(0, len(data), 255):
        chunk = data[i:i + 255]
        out.append(len(chunk))
        out += chunk
    out.append(0)
    return bytes(out)


def encode_gif(width, height, palette, frames, delays, disposals, transparent):
    assert len(palette) == 256 * 3
    out = bytearray(b"GIF89a")
    # Global colour table present, 8 bits of colour resolution, 2^(7+1) entries;
    # background colour index = the transparent one.
    out += struct.pack("<HHBBB", width, height, 0xF7, transparent, 0)
    out += bytes(palette)
    out += b"\x21\xFF\x0BNETSCAPE2.0\x03\x01" + struct.pack("<H", 0) + b"\x00"
    for indices, delay, disposal in zip(frames, delays, disposals):
        assert len(indices) == width * height
        out += b"\x21\xF9\x04" + struct.pack("<BHB", (disposal << 2) | 1, delay, transparent) + b"\x00"
        out += b"\x2C" + struct.pack("<HHHHB", 0, 0, width, height, 0)
        out += b"\x08" + sub_blocks(lzw_encode(indices, 8))
    out += b"\x3B"
    return bytes(out)


# ---------------------------------------------------------------- the icon

ICON_SS = 8


def draw_icon():
    """The 32x32 icon as RGBA."""
    S = ICON_SS
    size = (32 * S, 32 * S)

    def p(v):
        return round(v * S)

    img = layer(size)
    # Document: x 5..27, y 1..31, folded corner of 7 at the top right. Edges on whole
    # pixels so the outline stays crisp at 32x32.
    x0, y0, x1, y1, fold = 5, 1, 27, 31, 7
    outline = [(p(x0), p(y0)), (p(x1 - fold), p(y0)), (p(x1), p(y0 + fold)), (p(x1), p(y1)),
               (p(x0), p(y1))]
    mask = Image.new("L", size, 0)
    ImageDraw.Draw(mask).polygon(outline, fill=255)
    body = vertical_gradient(size, [(0.0, rgb("#ffffff")), (0.7, rgb("#f6f8fb")),
                                    (1.0, rgb("#e4e9f0"))], mask)
    img.alpha_composite(body)
    d = ImageDraw.Draw(img)
    # 1 px outline, drawn inside the shape.
    edge = rgb("#59636f") + (255,)
    d.rectangle([p(x0), p(y0), p(x0 + 1) - 1, p(y1) - 1], fill=edge)        # left
    d.rectangle([p(x0), p(y1 - 1), p(x1) - 1, p(y1) - 1], fill=edge)        # bottom
    d.rectangle([p(x1 - 1), p(y0 + fold), p(x1) - 1, p(y1) - 1], fill=edge)  # right
    d.rectangle([p(x0), p(y0), p(x1 - fold) - 1, p(y0 + 1) - 1], fill=edge)  # top
    # The fold: a shaded triangle and its diagonal edge.
    tri = [(p(x1 - fold), p(y0)), (p(x1 - fold), p(y0 + fold)), (p(x1), p(y0 + fold))]
    d.polygon(tri, fill=rgb("#d5dce5") + (255,))
    d.line([(p(x1 - fold) + S // 2, p(y0)), (p(x1) - S // 2, p(y0 + fold) - S // 2 - S)],
           fill=edge, width=S)
    d.line([(p(x1 - fold) + S // 2, p(y0 + 1)), (p(x1 - fold) + S // 2, p(y0 + fold) - S // 2),
            (p(x1) - S // 2, p(y0 + fold) - S // 2)], fill=rgb("#8b96a3") + (255,), width=S)
    # Text lines above the diamond.
    for y, x_end in ((7, 19), (10, 22)):
        d.rectangle([p(x0 + 4), p(y), p(x_end) - 1, p(y + 1) - 1], fill=rgb("#b6c0cc") + (255,))
    # Orange diamond.
    cx, cy, rx, ry = 16.0, 20.5, 8.0, 8.0
    dia = [(p(cx), p(cy - ry)), (p(cx + rx), p(cy)), (p(cx), p(cy + ry)), (p(cx - rx), p(cy))]
    dmask = Image.new("L", size, 0)
    ImageDraw.Draw(dmask).polygon(dia, fill=255)
    # Gradient over the diamond's own height, not the whole icon.
    diamond = layer(size)
    grad = vertical_gradient((p(2 * rx), p(2 * ry)), [(0.0, rgb("#ffc963")), (0.45, rgb("#ff9c22")),
                                                      (1.0, rgb("#dc5a08"))],
                             Image.new("L", (p(2 * rx), p(2 * ry)), 255))
    diamond.paste(grad, (p(cx - rx), p(cy - ry)))
    diamond.putalpha(dmask)
    img.alpha_composite(diamond)
    d = ImageDraw.Draw(img)
    d.line(dia + [dia[0]], fill=rgb("#b44a06") + (255,), width=round(0.9 * S), joint="curve")
    # Facet highlight on the upper left edge.
    d.line([(p(cx - rx + 2.3), p(cy - 0.2)), (p(cx - 0.2), p(cy - ry + 2.3))],
           fill=(255, 238, 200, 210), width=round(0.9 * S))
    return img.resize((32, 32), Image.LANCZOS)


def dib(image_rgb, opaque, bits, palette=None):
    """BITMAPINFOHEADER + (palette) + XOR bitmap + AND mask, rows bottom-up."""
    w, h = image_rgb.size
    if bits == 8:
        row_len = (w + 3) & ~3
        pixels = image_rgb  # a P image
    else:
        row_len = (w * 3 + 3) & ~3
        pixels = image_rgb.load()
    mask_row_len = ((w + 31) // 32) * 4
    xor = bytearray()
    and_mask = bytearray()
    opaque_px = opaque.load()
    data = pixels.load() if bits == 8 else pixels
    for y in range(h - 1, -1, -1):
        row = bytearray()
        for x in range(w):
            if bits == 8:
                row.append(data[x, y])
            else:
                r, g, b = data[x, y]
                row += bytes((b, g, r))
        row += bytes(row_len - len(row))
        xor += row
        mrow = bytearray(mask_row_len)
        for x in range(w):
            if not opaque_px[x, y]:
                mrow[x // 8] |= 0x80 >> (x % 8)
        and_mask += mrow
    header = struct.pack("<IiiHHIIiiII", 40, w, 2 * h, 1, bits, 0, len(xor) + len(and_mask),
                         0, 0, 256 if bits == 8 else 0, 0)
    colours = b""
    if bits == 8:
        colours = b"".join(bytes((palette[3 * i + 2], palette[3 * i + 1], palette[3 * i], 0))
                           for i in range(256))
    return header + colours + bytes(xor) + bytes(and_mask)


def icon_pixels(rgba):
    """The colours and the opaque mask both icon images store."""
    # Edge pixels are blended onto white; the AND mask cuts where less than half covered.
    rgb_img, opaque = flatten_on_white(rgba, 128)
    # Transparent pixels carry black in the colour bitmap, as icon editors store them.
    black = Image.new("RGB", rgb_img.size, (0, 0, 0))
    return Image.composite(rgb_img, black, opaque), opaque


def icon_256_colours(rgb_img):
    return rgb_img.quantize(colors=256, method=Image.Quantize.MEDIANCUT, dither=Image.Dither.NONE)


def encode_icon(rgba):
    rgb_img, opaque = icon_pixels(rgba)
    p_img = icon_256_colours(rgb_img)
    palette = p_img.getpalette()[:256 * 3]
    palette += [0] * (256 * 3 - len(palette))
    images = [dib(p_img, opaque, 8, palette), dib(rgb_img, opaque, 24)]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for data, bits in zip(images, (8, 24)):
        # Width and height 32, colour count 0 (256 or more), planes 1.
        out += struct.pack("<BBBBHHII", 32, 32, 0, 0, 1, bits, len(data), offset)
        offset += len(data)
    for data in images:
        out += data
    return bytes(out)


# ---------------------------------------------------------------- checks

class CheckFailed(Exception):
    pass


def expect(condition, what):
    if not condition:
        raise CheckFailed(what)


def check_banner(path, expected_indices=None):
    """Parses the GIF's blocks and checks every property the program relies on."""
    data = open(path, "rb").read()
    expect(data[:6] == b"GIF89a", "header is not GIF89a")
    w, h, packed, background, _aspect = struct.unpack_from("<HHBBB", data, 6)
    expect((w, h) == (BANNER_W, BANNER_H), f"logical screen is {w}x{h}")
    expect(packed & 0x80, "no global colour table")
    expect(1 << ((packed & 7) + 1) == 256, "global colour table does not have 256 entries")
    pos = 13 + 256 * 3
    loops = None
    controls = []
    descriptors = []
    pending_control = None
    while True:
        expect(pos < len(data), "file ends before the trailer")
        block = data[pos]
        if block == 0x3B:
            expect(pos == len(data) - 1, "bytes after the trailer")
            break
        if block == 0x21:
            label = data[pos + 1]
            pos += 2
            first = True
            payload = []
            while True:
                n = data[pos]
                pos += 1
                if n == 0:
                    break
                payload.append(data[pos:pos + n])
                pos += n
                first = False
            expect(not first, "empty extension")
            if label == 0xF9:
                gce = payload[0]
                expect(len(gce) == 4, "graphic control extension of wrong size")
                expect(pending_control is None, "two graphic control extensions for one image")
                pending_control = struct.unpack("<BHB", gce)
            elif label == 0xFF and payload[0] == b"NETSCAPE2.0":
                expect(len(payload) == 2 and payload[1][0] == 1, "malformed loop extension")
                loops = struct.unpack_from("<H", payload[1], 1)[0]
            continue
        expect(block == 0x2C, f"unknown block 0x{block:02x} at {pos}")
        x, y, iw, ih, ipacked = struct.unpack_from("<HHHHB", data, pos + 1)
        expect(not ipacked & 0x80, "frame has a local colour table")
        expect(not ipacked & 0x40, "frame is interlaced")
        descriptors.append((x, y, iw, ih))
        expect(pending_control is not None, f"frame {len(descriptors)} has no graphic control")
        controls.append(pending_control)
        pending_control = None
        pos += 10
        expect(data[pos] == 8, "LZW minimum code size is not 8")
        pos += 1
        while data[pos]:
            pos += data[pos] + 1
        pos += 1
    expect(loops == 0, f"loop count is {loops}, not 0 (forever)")
    expect(len(descriptors) == FRAMES, f"{len(descriptors)} frames")
    for i, (desc, (packed, delay, transparent)) in enumerate(zip(descriptors, controls), 1):
        expect(desc == (0, 0, BANNER_W, BANNER_H), f"frame {i} covers {desc}")
        expect(packed & 1, f"frame {i} has no transparent colour")
        expect(transparent == TRANSPARENT, f"frame {i} transparent index {transparent}")
        expect((packed >> 2) & 7 == DISPOSALS[i - 1], f"frame {i} disposal {(packed >> 2) & 7}")
        expect(delay == DELAYS[i - 1], f"frame {i} delay {delay}")

    # An independent decoder must read the same frames, pixel for pixel.
    GifImagePlugin.LOADING_STRATEGY = GifImagePlugin.LoadingStrategy.RGB_AFTER_DIFFERENT_PALETTE_ONLY
    with Image.open(path) as im:
        expect(im.n_frames == FRAMES, f"Pillow reads {im.n_frames} frames")
        expect(im.info.get("loop") == 0, "Pillow reads no endless loop")
        for i in range(FRAMES):
            im.seek(i)
            expect(im.info.get("duration") == DELAYS[i] * 10, f"Pillow: frame {i + 1} duration")
            if expected_indices is not None:
                expect(im.mode == "P", f"Pillow: frame {i + 1} not palette-based")
                got = bytes(im.getdata())
                expect(got == expected_indices[i], f"Pillow decodes frame {i + 1} differently")
    return len(data)


def check_icon(path, expected=None):
    data = open(path, "rb").read()
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    expect((reserved, kind, count) == (0, 1, 2), f"icon directory {reserved, kind, count}")
    bits_seen = []
    for i in range(count):
        w, h, colours, _res, planes, bits, size, offset = struct.unpack_from("<BBBBHHII", data,
                                                                             6 + 16 * i)
        expect((w, h) == (32, 32), f"image {i} is {w}x{h}")
        expect(planes == 1, f"image {i} planes {planes}")
        expect(offset + size <= len(data), f"image {i} extends past the file")
        hsize, bw, bh, bplanes, bbits = struct.unpack_from("<IiiHH", data, offset)
        expect(hsize == 40 and bw == 32 and bh == 64 and bplanes == 1,
               f"image {i} bitmap header {hsize, bw, bh, bplanes}")
        expect(bbits == bits, f"image {i}: directory says {bits} bits, bitmap {bbits}")
        row = (32 * bits // 8 + 3) & ~3
        expect(size == 40 + (1024 if bits == 8 else 0) + row * 32 + 4 * 32,
               f"image {i} size {size}")
        bits_seen.append(bits)
    expect(bits_seen == [8, 24], f"bit counts {bits_seen}")
    with Image.open(path) as im:
        expect(im.format == "ICO" and im.size == (32, 32), "Pillow does not read the icon")
        if expected is not None:
            want_rgb, want_opaque = icon_pixels(expected)
            for bits in (8, 24):
                colours = want_rgb if bits == 24 else icon_256_colours(want_rgb).convert("RGB")
                want = [c + (255,) if m else None for c, m in zip(colours.getdata(),
                                                                 want_opaque.getdata())]
                got = im.ico.getimage((32, 32), bits).convert("RGBA")
                for g, w in zip(got.getdata(), want):
                    expect(g == w if w else g[3] == 0,
                           f"Pillow reads different pixels in the {bits}-bit image")
    return len(data)


# ---------------------------------------------------------------- previews

def write_previews(directory):
    os.makedirs(directory, exist_ok=True)
    zoom = 3
    box_w, box_h = 360, 47
    with Image.open(BANNER_PATH) as im:
        shown = []
        for i in range(FRAMES):
            im.seek(i)
            shown.append(im.convert("RGBA"))
    strip = Image.new("RGB", (box_w * zoom, (box_h * zoom + 6) * FRAMES), (200, 200, 200))
    for i, frame in enumerate(shown):
        box = Image.new("RGBA", (box_w, box_h), (255, 255, 255, 255))
        box.alpha_composite(frame, ((box_w - BANNER_W) // 2, (box_h - BANNER_H) // 2))
        strip.paste(box.convert("RGB").resize((box_w * zoom, box_h * zoom), Image.NEAREST),
                    (0, i * (box_h * zoom + 6)))
    strip.save(os.path.join(directory, "banner_frames.png"))
    actual = Image.new("RGB", (box_w * 2, box_h * 4), (255, 255, 255))
    for i, frame in enumerate(shown[:8]):
        tile = Image.new("RGBA", (box_w, box_h), (255, 255, 255, 255))
        tile.alpha_composite(frame, ((box_w - BANNER_W) // 2, (box_h - BANNER_H) // 2))
        actual.paste(tile.convert("RGB"), ((i % 2) * box_w, (i // 2) * box_h))
    actual.save(os.path.join(directory, "banner_1x.png"))

    with Image.open(ICON_PATH) as im:
        read_back = im.ico.getimage((32, 32), 24).convert("RGBA")
        read_back_8 = im.ico.getimage((32, 32), 8).convert("RGBA")
    sheet = Image.new("RGB", (32 * 8 * 4 + 50, 32 * 8 + 20), (255, 255, 255))
    tiles = [(read_back, (255, 255, 255)), (read_back, (60, 63, 70)), (read_back, (222, 226, 232)),
             (read_back_8, (255, 255, 255))]
    for n, (picture, bg) in enumerate(tiles):
        tile = Image.new("RGBA", (32, 32), bg + (255,))
        tile.alpha_composite(picture)
        sheet.paste(tile.convert("RGB").resize((256, 256), Image.NEAREST), (10 + n * 266, 10))
    sheet.save(os.path.join(directory, "icon.png"))
    small = Image.new("RGB", (120, 40), (255, 255, 255))
    small.paste(Image.alpha_composite(Image.new("RGBA", (32, 32), (255, 255, 255, 255)), read_back)
                .convert("RGB"), (4, 4))
    small.paste(Image.alpha_composite(Image.new("RGBA", (32, 32), (60, 63, 70, 255)), read_back)
                .convert("RGB"), (44, 4))
    small.save(os.path.join(directory, "icon_1x.png"))


def main(argv):
    preview = None
    if len(argv) == 3 and argv[1] == "--preview":
        preview = argv[2]
    elif len(argv) != 1:
        print(__doc__.strip(), file=sys.stderr)
        return 2

    frames = draw_banner_frames()
    palette, indices = banner_indices(frames)
    with open(BANNER_PATH, "wb") as f:
        f.write(encode_gif(BANNER_W, BANNER_H, palette, indices, DELAYS, DISPOSALS, TRANSPARENT))
    icon = draw_icon()
    with open(ICON_PATH, "wb") as f:
        f.write(encode_icon(icon))

    try:
        gif_size = check_banner(BANNER_PATH, indices)
        ico_size = check_icon(ICON_PATH, icon)
    except CheckFailed as failure:
        print(f"draw_pictures: check failed: {failure}", file=sys.stderr)
        return 1
    print(f"banner_picture.gif: {gif_size} bytes, {FRAMES} frames; program_icon.ico: {ico_size} bytes")
    if preview:
        write_previews(preview)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
