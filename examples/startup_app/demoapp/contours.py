"""Contour lines of a function of two variables, by marching squares."""

import bisect
from typing import Callable, List, Sequence, Tuple

Point = Tuple[float, float]
Segment = Tuple[Point, Point]
Grid = List[List[float]]

# A cell's corners counter-clockwise from (x[i], y[j]), and each edge as the
# pair of corners it joins: bottom, right, top, left.
_CORNERS = ((0, 0), (1, 0), (1, 1), (0, 1))
_EDGES = ((0, 1), (1, 2), (3, 2), (0, 3))
# The two edges that meet at each corner.
_EDGES_AT_CORNER = ((3, 0), (0, 1), (1, 2), (2, 3))


def evenly_spaced(low: float, high: float, count: int) -> List[float]:
    """count + 1 points from low to high, both included."""
    return [low + (high - low) * k / count for k in range(count + 1)]


def sample(fun: Callable[[float, float], float], xs: Sequence[float], ys: Sequence[float]) -> Grid:
    """fun at every grid point: values[i][j] = fun(xs[i], ys[j])."""
    return [[fun(x, y) for y in ys] for x in xs]


def _crossing(a: Point, b: Point, fa: float, fb: float, level: float) -> Point:
    t = (level - fa) / (fb - fa)
    return (a[0] + t * (b[0] - a[0]), a[1] + t * (b[1] - a[1]))


def _cell_segments(
    corners: Sequence[Point], values: Sequence[float], level: float
) -> List[Segment]:
    above = [v >= level for v in values]
    points = {}
    for edge, (a, b) in enumerate(_EDGES):
        if above[a] != above[b]:
            points[edge] = _crossing(corners[a], corners[b], values[a], values[b], level)
    if len(points) == 2:
        first, second = points.values()
        return [(first, second)]
    # A saddle: the mean at the centre decides which pair of opposite corners
    # is joined; the line cuts off the other two.
    centre_above = sum(values) / 4.0 >= level
    return [
        (points[e], points[f])
        for corner, (e, f) in enumerate(_EDGES_AT_CORNER)
        if above[corner] != centre_above
    ]


def contour_lines(
    values: Grid, xs: Sequence[float], ys: Sequence[float], levels: Sequence[float]
) -> List[List[Segment]]:
    """For each of the ascending levels, the line where the sampled function
    equals it, as short segments (one or two per grid cell it crosses),
    interpolated linearly."""
    lines: List[List[Segment]] = [[] for _ in levels]
    for i in range(len(xs) - 1):
        for j in range(len(ys) - 1):
            cell = [values[i + di][j + dj] for di, dj in _CORNERS]
            # Only the levels with corners on both sides cross the cell.
            first = bisect.bisect_right(levels, min(cell))
            last = bisect.bisect_right(levels, max(cell))
            if first == last:
                continue
            corners = [(xs[i + di], ys[j + dj]) for di, dj in _CORNERS]
            for k in range(first, last):
                lines[k].extend(_cell_segments(corners, cell, levels[k]))
    return lines
