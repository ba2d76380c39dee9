#!/usr/bin/env python3
"""Draws the demo application's icon, startup_app/linesearch-demo.png.

A line search on a card: the function along the search direction, the
sufficient-decrease line from its start, and the trial steps that close in
on an acceptable point. Run it again after changing the artwork and commit
what it writes. Needs Pillow (Debian: python3-pil).
"""

import os
import sys

from PIL import Image, ImageDraw

MASTER = 1024
SIZE = 512
CARD = (14, 58, 70, 255)
AXES = (255, 255, 255, 90)
CURVE = (255, 255, 255, 255)
DECREASE = (255, 202, 40, 255)
TRIALS = ((239, 83, 80), (255, 167, 38), (102, 187, 106))
LEFT, RIGHT, TOP, BOTTOM = 150, 900, 170, 800


def phi(t):
    """The function along the search direction, t in [0, 1]: a descent into
    a valley and a rise beyond it."""
    return 0.85 - 2.6 * t + 3.2 * t * t - 0.55 * t * t * t


def point(t, value):
    low, high = -0.05, 0.95
    y = BOTTOM - (value - low) / (high - low) * (BOTTOM - TOP)
    return (LEFT + t * (RIGHT - LEFT), y)


def draw_master():
    image = Image.new("RGBA", (MASTER, MASTER), (0, 0, 0, 0))
    draw = ImageDraw.Draw(image)
    draw.rounded_rectangle((24, 24, MASTER - 24, MASTER - 24), radius=170, fill=CARD)
    draw.line((LEFT, TOP - 30, LEFT, BOTTOM + 30), fill=AXES, width=12)
    draw.line((LEFT - 30, BOTTOM + 30, RIGHT + 30, BOTTOM + 30), fill=AXES, width=12)

    # Points below this line decrease the function enough.
    slope = -2.6 * 0.3
    start, end = point(0, phi(0)), point(0.96, phi(0) + 0.96 * slope)
    for k in range(0, 20, 2):
        a, b = k / 20, (k + 1) / 20
        draw.line(
            (
                start[0] + a * (end[0] - start[0]),
                start[1] + a * (end[1] - start[1]),
                start[0] + b * (end[0] - start[0]),
                start[1] + b * (end[1] - start[1]),
            ),
            fill=DECREASE,
            width=16,
        )

    # A thick curve as overlapping round dots: no seams between segments.
    for s in range(0, 961):
        x, y = point(s / 1000, phi(s / 1000))
        draw.ellipse((x - 15, y - 15, x + 15, y + 15), fill=CURVE)

    for t, colour in zip((0.95, 0.72, 0.47), TRIALS):
        x, y = point(t, phi(t))
        draw.ellipse((x - 46, y - 46, x + 46, y + 46), fill=colour + (255,), outline=CARD, width=10)
    x, y = point(0, phi(0))
    draw.ellipse((x - 34, y - 34, x + 34, y + 34), fill=CURVE)
    return image


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    target = os.path.join(here, "startup_app", "linesearch-demo.png")
    icon = draw_master().resize((SIZE, SIZE), Image.Resampling.LANCZOS)
    icon.save(target, "PNG", optimize=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
