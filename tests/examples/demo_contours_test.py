"""The demo's contour lines (marching squares), on functions whose level
lines are known."""

import math
import os
import sys
import unittest
from collections import Counter

sys.dont_write_bytecode = True  # nothing left behind in the sources
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "examples", "startup_app"))
from demoapp.contours import contour_lines, evenly_spaced, sample  # noqa: E402


def rounded(segment):
    return tuple(sorted((round(x, 9), round(y, 9)) for x, y in segment))


class ContourLines(unittest.TestCase):
    def test_circles_are_closed_and_on_their_radius(self):
        xs = ys = evenly_spaced(-2.0, 2.0, 40)
        values = sample(lambda x, y: x * x + y * y, xs, ys)
        # Radii that meet no grid point; the last level lies outside the grid.
        levels = [0.3, 1.1, 2.1, 9.0]
        lines = contour_lines(values, xs, ys, levels)
        self.assertEqual(len(lines), len(levels))
        self.assertEqual(lines[-1], [])
        for level, segments in zip(levels[:-1], lines):
            with self.subTest(level=level):
                ends = [point for segment in segments for point in rounded(segment)]
                radii = [math.hypot(x, y) for x, y in ends]
                self.assertLess(max(abs(r - math.sqrt(level)) for r in radii), 0.01)
                # Closed: every end is shared by exactly two segments.
                self.assertEqual(set(Counter(ends).values()), {2})
                # Around the whole circle, not just part of it.
                angles = sorted(math.atan2(y, x) for x, y in ends)
                gaps = [b - a for a, b in zip(angles, angles[1:])]
                self.assertLess(max(gaps), 0.5)

    def test_saddle_joins_the_corners_on_the_centres_side(self):
        # One cell: corners (0, 0) and (1, 1) high, (1, 0) and (0, 1) low;
        # the mean at the centre, 0, decides.
        xs = ys = [0.0, 1.0]
        values = [[1.0, -1.0], [-1.0, 1.0]]
        cases = [
            # level 0: the centre is on the high side, the high corners
            # join and the lines cut off the low ones.
            (0.0, {((0.5, 0.0), (1.0, 0.5)), ((0.0, 0.5), (0.5, 1.0))}),
            # level 0.5: the centre is low, the high corners are cut off.
            (0.5, {((0.0, 0.25), (0.25, 0.0)), ((0.75, 1.0), (1.0, 0.75))}),
        ]
        for level, expected in cases:
            with self.subTest(level=level):
                (segments,) = contour_lines(values, xs, ys, [level])
                self.assertEqual({rounded(s) for s in segments}, expected)

    def test_a_level_on_grid_points_is_drawn_once(self):
        # A plane rising in x: level lines are vertical, one segment per cell
        # row, even where the level falls exactly on grid points.
        xs = ys = evenly_spaced(0.0, 1.0, 4)
        values = sample(lambda x, y: x, xs, ys)
        (segments,) = contour_lines(values, xs, ys, [0.5])
        self.assertEqual(len(segments), 4)
        self.assertEqual({x for s in segments for x, _ in s}, {0.5})


if __name__ == "__main__":
    unittest.main()
