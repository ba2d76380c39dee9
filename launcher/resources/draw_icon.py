#!/usr/bin/env python3
"""Draws the quorvel application icon and writes the committed artwork.

A coloured data plot (bars and a fitted curve on a dark card) above the word
"quorvel" in large lower-case letters. Writes, next to this script:

  quorvel.ico          seven images, largest first: 256 as PNG, 128 96 64 48
                       32 16 as 32-bit bitmaps with a 1-bit mask
  icons/quorvel-N.png  the same sizes for the freedesktop icon theme

Run it again after changing the artwork and commit what it writes; the build
itself only reads the results. Needs Pillow and a bold sans-serif TrueType
font (Debian: python3-pil, fonts-dejavu-core).
"""

import argparse
import io
import math
import os
import struct
import sys

from PIL import Image, ImageDraw, ImageFont

SIZES = (256, 128, 96, 64, 48, 32, 16)
MASTER = 1024
DEFAULT_FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"

CARD = (24, 38, 66, 255)
GRID = (255, 255, 255, 40)
BARS = ((66, 165, 245), (38, 198, 218), (102, 187, 106), (255, 202, 40), (255, 112, 67))
CURVE = (255, 255, 255, 255)
WORD = (255, 255, 255, 255)


def draw_master(font_path):
    image = Image.new("RGBA", (MASTER, MASTER), (0, 0, 0, 0))
    draw = ImageDraw.Draw(image)
    margin = 24
    draw.rounded_rectangle(
        (margin, margin, MASTER - margin, MASTER - margin), radius=150, fill=CARD
    )

    # The plot takes the upper part of the card.
    left, right, top, bottom = 120, MASTER - 120, 110, 610
    for k in range(1, 4):
        y = bottom - k * (bottom - top) // 4
        draw.line((left, y, right, y), fill=GRID, width=8)
    heights = (0.35, 0.62, 0.48, 0.85, 0.70)
    slot = (right - left) / len(heights)
    for i, (h, colour) in enumerate(zip(heights, BARS)):
        x0 = left + i * slot + slot * 0.14
        x1 = left + (i + 1) * slot - slot * 0.14
        draw.rounded_rectangle(
            (x0, bottom - h * (bottom - top), x1, bottom), radius=18, fill=colour
        )
    curve = []
    for step in range(101):
        t = step / 100
        value = 0.30 + 0.55 * t + 0.10 * math.sin(6.0 * t)
        curve.append((left + t * (right - left), bottom - value * (bottom - top)))
    draw.line(curve, fill=CURVE, width=22, joint="curve")
    draw.line((left, bottom, right, bottom), fill=CURVE, width=14)

    # The name fills the width of the card below the plot.
    word = "quorvel"
    size = 400
    while size > 10:
        font = ImageFont.truetype(font_path, size)
        x0, y0, x1, y1 = draw.textbbox((0, 0), word, font=font)
        if x1 - x0 <= MASTER - 2 * 90 and y1 - y0 <= 300:
            break
        size -= 4
    x = (MASTER - (x1 - x0)) / 2 - x0
    y = 650 + (300 - (y1 - y0)) / 2 - y0
    draw.text((x, y), word, font=font, fill=WORD)
    return image


def png_bytes(image):
    out = io.BytesIO()
    image.save(out, format="PNG", optimize=True)
    return out.getvalue()


def dib_bytes(image):
    """32-bit bottom-up bitmap with alpha, then the 1-bit mask (set = transparent)."""
    width, height = image.size
    header = struct.pack(
        "<IiiHHIIiiII", 40, width, 2 * height, 1, 32, 0, width * height * 4, 0, 0, 0, 0
    )
    pixels = bytearray()
    mask = bytearray()
    mask_row = ((width + 31) // 32) * 4
    for row in range(height - 1, -1, -1):
        bits = bytearray(mask_row)
        for col in range(width):
            r, g, b, a = image.getpixel((col, row))
            pixels += bytes((b, g, r, a))
            if a == 0:
                bits[col // 8] |= 0x80 >> (col % 8)
        mask += bits
    return header + bytes(pixels) + bytes(mask)


def ico_bytes(images):
    count = len(images)
    out = bytearray(struct.pack("<HHH", 0, 1, count))
    offset = 6 + 16 * count
    for size, data in images:
        dim = 0 if size == 256 else size
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for _, data in images:
        out += data
    return bytes(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--font", default=DEFAULT_FONT, help="bold TrueType font for the name")
    args = parser.parse_args()
    here = os.path.dirname(os.path.abspath(__file__))
    master = draw_master(args.font)

    os.makedirs(os.path.join(here, "icons"), exist_ok=True)
    entries = []
    for size in SIZES:
        image = master.resize((size, size), Image.LANCZOS)
        png = png_bytes(image)
        with open(os.path.join(here, "icons", "quorvel-%d.png" % size), "wb") as f:
            f.write(png)
        entries.append((size, png if size == 256 else dib_bytes(image)))
    with open(os.path.join(here, "quorvel.ico"), "wb") as f:
        f.write(ico_bytes(entries))
    return 0


if __name__ == "__main__":
    sys.exit(main())
