#!/usr/bin/env python3
"""Draws the program's icons as RGBA PNG files.

- the four icons of the File System tab, into resources/ (the build embeds
  whatever is there);
- the application icon for the desktop, into packaging/icons/hicolor/: an SVG
  written from the same shapes (scalable/apps/) and PNG renderings of it at
  48 x 48 and 256 x 256 (cmake --install puts them in the icon theme).

Standard library only: each shape is a polygon, a circle or a rounded
rectangle, sampled 4 x 4 times per pixel for smooth edges, and the layers are
composited in order. Run it again after changing a drawing.
"""

import os
import struct
import zlib

SUPERSAMPLE = 4


def inside_polygon(x, y, points):
    result = False
    j = len(points) - 1
    for i in range(len(points)):
        xi, yi = points[i]
        xj, yj = points[j]
        if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
            result = not result
        j = i
    return result


def polygon(points):
    return lambda x, y: inside_polygon(x, y, points)


def rounded_rect(x0, y0, x1, y1, r):
    def test(x, y):
        if x < x0 or x > x1 or y < y0 or y > y1:
            return False
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    return test


def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def union(*shapes):
    return lambda x, y: any(shape(x, y) for shape in shapes)


def scaled(shape, factor):
    return lambda x, y: shape(x * factor, y * factor)


def rect(x0, y0, x1, y1):
    return lambda x, y: x0 <= x <= x1 and y0 <= y <= y1


def minus(outer, inner):
    return lambda x, y: outer(x, y) and not inner(x, y)


def render(size, layers):
    """layers: list of (shape, (r, g, b, a)); returns rows of RGBA bytes."""
    pixels = [[0.0, 0.0, 0.0, 0.0] for _ in range(size * size)]
    n = SUPERSAMPLE
    for py in range(size):
        for px in range(size):
            out = pixels[py * size + px]
            for shape, (r, g, b, a) in layers:
                hits = 0
                for sy in range(n):
                    for sx in range(n):
                        if shape(px + (sx + 0.5) / n, py + (sy + 0.5) / n):
                            hits += 1
                if hits == 0:
                    continue
                alpha = a / 255.0 * hits / (n * n)
                # "over" compositing with straight (non-premultiplied) colour
                new_a = alpha + out[3] * (1 - alpha)
                for c, value in enumerate((r, g, b)):
                    out[c] = (value * alpha + out[c] * out[3] * (1 - alpha)) / new_a
                out[3] = new_a
    rows = []
    for py in range(size):
        row = bytearray()
        for px in range(size):
            r, g, b, a = pixels[py * size + px]
            row += bytes((round(r), round(g), round(b), round(a * 255)))
        rows.append(bytes(row))
    return rows


def write_png(path, size, rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xffffffff)

    raw = b"".join(b"\x00" + row for row in rows)
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", header))
        f.write(chunk(b"IDAT", zlib.compress(raw, 9)))
        f.write(chunk(b"IEND", b""))


def folder_icon():
    back = polygon([(2, 7), (2, 5), (4, 3), (11, 3), (14, 6), (29, 6), (30, 7), (30, 27), (2, 27)])
    back_inner = polygon([(3, 8), (3, 5.5), (4.5, 4), (10.5, 4), (13.5, 7), (28.5, 7), (29, 8), (29, 26), (3, 26)])
    front = polygon([(2, 28), (5, 12), (31, 12), (28, 28)])
    front_inner = polygon([(3.3, 27), (5.9, 13), (29.8, 13), (27.2, 27)])
    return [
        (back, (150, 104, 20, 255)),
        (back_inner, (232, 180, 72, 255)),
        (front, (150, 104, 20, 255)),
        (front_inner, (252, 212, 110, 255)),
        (rect(6, 13.5, 29, 14.5), (255, 232, 160, 255)),
    ]


def file_icon():
    page = polygon([(6, 2), (20, 2), (27, 9), (27, 30), (6, 30)])
    page_inner = polygon([(7, 3), (19.5, 3), (26, 9.5), (26, 29), (7, 29)])
    fold = polygon([(20, 2), (20, 9), (27, 9)])
    fold_inner = polygon([(20.8, 3.8), (20.8, 8.2), (25.2, 8.2)])
    layers = [
        (page, (96, 104, 120, 255)),
        (page_inner, (255, 255, 255, 255)),
        (fold, (96, 104, 120, 255)),
        (fold_inner, (214, 220, 232, 255)),
    ]
    for i, right in enumerate((18, 23, 23, 20, 23, 15)):
        y = 12 + i * 3
        layers.append((rect(10, y, right, y + 1), (150, 160, 180, 255)))
    return layers


def home_icon():
    roof = polygon([(12, 1.5), (23.5, 12), (21, 12), (12, 4.2), (3, 12), (0.5, 12)])
    body = minus(polygon([(5, 11), (12, 5.8), (19, 11), (19, 22), (5, 22)]), rect(10, 15, 14, 22.5))
    chimney = rect(16, 2.5, 18.5, 6.5)
    return [
        (chimney, (52, 72, 120, 255)),
        (body, (52, 72, 120, 255)),
        (roof, (52, 72, 120, 255)),
    ]


def up_icon():
    arrow = polygon([(12, 2), (22, 12), (16, 12), (16, 22), (8, 22), (8, 12), (2, 12)])
    return [(arrow, (52, 72, 120, 255))]


# The application icon, on a 256 x 256 canvas: a cloud over a USB plug, joined by
# a cable, on a rounded blue tile. Each element is (shape, SVG element, colour), so
# the SVG and the PNG renderings cannot drift apart.
APP_ICON_SIZE = 256
TILE = (22, 22, 234, 234, 44)
CLOUD_CIRCLES = ((96, 118, 38), (144, 100, 50), (188, 128, 30), (66, 138, 24))
CLOUD_BASE = (42, 120, 218, 162, 21)
CABLE = (120, 160, 136, 180)
PLUG = (100, 176, 156, 220, 6)
PLUG_HOLES = ((112, 190, 123, 202), (133, 190, 144, 202))


def svg_rounded_rect(x0, y0, x1, y1, r, colour):
    return '<rect x="%g" y="%g" width="%g" height="%g" rx="%g" fill="%s"/>' % (x0, y0, x1 - x0, y1 - y0, r, colour)


def svg_rect(x0, y0, x1, y1, colour):
    return '<rect x="%g" y="%g" width="%g" height="%g" fill="%s"/>' % (x0, y0, x1 - x0, y1 - y0, colour)


def hex_colour(rgba):
    return "#%02x%02x%02x" % rgba[:3]


def app_icon():
    tile_edge = (20, 66, 110, 255)
    tile = (38, 112, 176, 255)
    white = (255, 255, 255, 255)
    hole = (38, 112, 176, 255)
    x0, y0, x1, y1, r = TILE
    cloud = union(rounded_rect(*CLOUD_BASE), *(circle(*c) for c in CLOUD_CIRCLES))
    cloud_svg = "\n  ".join(['<circle cx="%g" cy="%g" r="%g" fill="#ffffff"/>' % c for c in CLOUD_CIRCLES]
                            + [svg_rounded_rect(*CLOUD_BASE, "#ffffff")])
    layers = [
        (rounded_rect(x0, y0, x1, y1, r), svg_rounded_rect(x0, y0, x1, y1, r, hex_colour(tile_edge)), tile_edge),
        (rounded_rect(x0 + 6, y0 + 6, x1 - 6, y1 - 6, r - 6),
         svg_rounded_rect(x0 + 6, y0 + 6, x1 - 6, y1 - 6, r - 6, hex_colour(tile)), tile),
        (cloud, cloud_svg, white),
        (rect(*CABLE), svg_rect(*CABLE, "#ffffff"), white),
        (rounded_rect(*PLUG), svg_rounded_rect(*PLUG, "#ffffff"), white),
    ]
    for h in PLUG_HOLES:
        layers.append((rect(*h), svg_rect(*h, hex_colour(hole)), hole))
    return layers


def write_app_icon(root):
    layers = app_icon()
    scalable = os.path.join(root, "scalable", "apps")
    os.makedirs(scalable, exist_ok=True)
    with open(os.path.join(scalable, "nubo-usb-utility.svg"), "w") as f:
        f.write('<?xml version="1.0" encoding="UTF-8"?>\n')
        f.write('<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" viewBox="0 0 %d %d">\n'
                % ((APP_ICON_SIZE,) * 4))
        f.write("  <title>Nubo USB File Utility</title>\n")
        for _, element, _ in layers:
            f.write("  " + element + "\n")
        f.write("</svg>\n")

    for size in (48, 256):
        folder = os.path.join(root, "%dx%d" % (size, size), "apps")
        os.makedirs(folder, exist_ok=True)
        factor = APP_ICON_SIZE / size
        pixels = [(scaled(shape, factor), colour) for shape, _, colour in layers]
        write_png(os.path.join(folder, "nubo-usb-utility.png"), size, render(size, pixels))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    resources = os.path.join(here, "..", "resources")
    for name, size, layers in (("folder.png", 32, folder_icon()),
                               ("file.png", 32, file_icon()),
                               ("home.png", 24, home_icon()),
                               ("up.png", 24, up_icon())):
        write_png(os.path.join(resources, name), size, render(size, layers))
    write_app_icon(os.path.join(here, "..", "packaging", "icons", "hicolor"))


if __name__ == "__main__":
    main()
