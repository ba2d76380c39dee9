"""The demo's window in the demo's own terms: its title, where a point of the
plane is on its canvas, and whether the search's path is drawn there.

The demo's modules are read without leaving bytecode in the sources
(pack-app would list it)."""

import sys
from typing import Sequence, Tuple

from installation import DEMO_APP
from PIL import Image
from x_windows import has_colour_near, hex_colour

sys.dont_write_bytecode = True
sys.path.insert(0, DEMO_APP)
import __startup__  # noqa: E402
from demoapp import plot  # noqa: E402

TITLE = __startup__.NAME
START = __startup__.START  # where the search starts, a point of the plane
PATH_COLOUR = hex_colour(plot.PATH)


def at(point: Sequence[float]) -> Tuple[float, float]:
    """Where point (x, y) of the plane is on the canvas."""
    return plot.to_canvas(plot.PLOT, *point)


def path_at(image: Image.Image, centre: Sequence[float]) -> bool:
    """Whether the search's path is drawn at centre, a place on the canvas."""
    return has_colour_near(image, centre, PATH_COLOUR)
