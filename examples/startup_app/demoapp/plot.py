"""What the window's picture shows and where: the region of the plane, its
place on the canvas, and the colours."""

from typing import NamedTuple, Tuple


class Plot(NamedTuple):
    """The rectangle [x_min, x_max] x [y_min, y_max] drawn in the canvas
    rectangle of the given size whose top left corner is (left, top)."""

    x_min: float
    x_max: float
    y_min: float
    y_max: float
    left: int
    top: int
    width: int
    height: int


# The region around the Rosenbrock valley, 120 pixels to the unit, with room
# on the left and below for the axis labels.
PLOT = Plot(-2.0, 2.0, -1.0, 3.0, left=56, top=16, width=480, height=480)
CANVAS_SIZE = (PLOT.left + PLOT.width + 16, PLOT.top + PLOT.height + 44)

BACKGROUND = "#ffffff"
AXES = "#444444"
# Contours from the lowest level to the highest: deep blue to pale grey.
LOW_CONTOUR = (0x08, 0x30, 0x6B)
HIGH_CONTOUR = (0xA6, 0xC4, 0xE0)
PATH = "#e0301e"
MINIMUM = "#1a9641"


def to_canvas(plot: Plot, x: float, y: float) -> Tuple[float, float]:
    """Canvas coordinates of the point (x, y); y grows upwards on the plane
    and downwards on the canvas."""
    u = plot.left + (x - plot.x_min) / (plot.x_max - plot.x_min) * plot.width
    v = plot.top + (plot.y_max - y) / (plot.y_max - plot.y_min) * plot.height
    return u, v


def contour_colour(fraction: float) -> str:
    """The colour of a contour fraction of the way from the lowest level to
    the highest."""
    return "#%02x%02x%02x" % tuple(
        round(low + (high - low) * fraction) for low, high in zip(LOW_CONTOUR, HIGH_CONTOUR)
    )
