"""How the demo shows its search on each kind of system: a window where Tk
reaches a display, a message box on Windows otherwise, text elsewhere. A
made-up search (demo_output_driver.py) runs in a child interpreter with the
platform named and, where the case says so, without Tk; windows are real,
on a virtual X display."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from installation import SOURCE_DIR

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from demo_picture import TITLE, at, path_at  # noqa: E402
from virtual_display import shared_display  # noqa: E402
from x_windows import (  # noqa: E402
    TIMEOUT,
    desktop_environment,
    press_key,
    require_window,
    stop,
    visible_windows,
    wait_for_picture,
)

DRIVER = os.path.join(HERE, "demo_output_driver.py")
MB_ICONINFORMATION = 0x40
# The driver's made-up search.
POINTS = [(-1.5, 2.5), (-1.0, -0.5), (0.5, 2.5), (1.5, 0.0)]
FIRST_LINES = (
    "Minimising the Rosenbrock function from (-1.5, 2.5)\n"
    "iter                       f    |gradient|          step  evals\n"
    "   0   1.000000000000000e+00  1.000000e+00  5.000000e-01      1\n"
)
RESULT = (
    "converged after 3 iterations and 7 evaluations\n"
    "minimum f = 1.000000e-03 at x = (1.5000000000, 0.0000000000)"
)
BOX_TEXT = (
    "Minimising the Rosenbrock function from (-1.5, 2.5)\n"
    + RESULT
    + "\nlast line search: CONVERGENCE"
)

XVFB = "the virtual display"
TEXT, BOX, WINDOW = "text", "message box", "window"
# name, platform, environment, whether Tk is there, what shows the search
CASES = [
    ("no display", "linux", {}, True, TEXT),
    ("an X display that does not answer", "linux", {"DISPLAY": ":9999"}, True, TEXT),
    ("a Wayland display that Tk cannot use", "linux", {"WAYLAND_DISPLAY": "none"}, True, TEXT),
    ("a desktop, Python without Tk", "linux", {"DISPLAY": XVFB}, False, TEXT),
    ("a desktop with Tk", "linux", {"DISPLAY": XVFB}, True, WINDOW),
    ("Windows without Tk", "win32", {}, False, BOX),
    ("Windows whose Tk finds no display", "win32", {"DISPLAY": ":9999"}, True, BOX),
    ("Windows with Tk", "win32", {"DISPLAY": XVFB}, True, WINDOW),
]


def midpoint(a, b):
    (u1, v1), (u2, v2) = at(a), at(b)
    return ((u1 + u2) / 2, (v1 + v2) / 2)


class Fixture(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.display = shared_display(cls)

    def setUp(self):
        self.workspace = tempfile.mkdtemp(prefix="quorvel-demo-output-")
        self.addCleanup(shutil.rmtree, self.workspace, ignore_errors=True)
        self.boxes = os.path.join(self.workspace, "boxes.json")

    def start(self, platform, environment, *options):
        environment = {k: self.display if v == XVFB else v for k, v in environment.items()}
        env = desktop_environment(self.workspace, QUORVEL_SOURCE_DIR=SOURCE_DIR, **environment)
        program = subprocess.Popen(
            [sys.executable, "-B", DRIVER, platform, self.boxes, *options],
            env=env,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        self.addCleanup(stop, program)
        return program

    def finish(self, program):
        """(status, standard output, standard error, message boxes)"""
        out, err = program.communicate(timeout=TIMEOUT)
        with open(self.boxes) as f:
            boxes = [tuple(call) for call in json.load(f)]
        return program.returncode, out, err, boxes

    def picture(self, window, shows):
        path = os.path.join(self.workspace, "window.png")
        return wait_for_picture(self.display, window, path, shows)


class ChoiceOfOutput(Fixture):
    def test_each_system_gets_its_output(self):
        for name, platform, environment, tk, shown in CASES:
            with self.subTest(name):
                options = [] if tk else ["--without-tk"]
                program = self.start(platform, environment, *options)
                if shown == WINDOW:
                    press_key(self.display, require_window(self.display, TITLE, program), "Escape")
                status, out, err, boxes = self.finish(program)
                self.assertEqual((status, err), (0, ""))
                if shown == TEXT:
                    self.assertTrue(out.startswith(FIRST_LINES), out)
                    self.assertTrue(out.endswith("\n" + RESULT + "\n"), out)
                    self.assertEqual(len(out.splitlines()), 2 + len(POINTS) + 2)
                else:
                    self.assertEqual(out, "")
                expected = [(None, BOX_TEXT, TITLE, MB_ICONINFORMATION)] if shown == BOX else []
                self.assertEqual(boxes, expected)
                self.assertEqual(visible_windows(self.display, TITLE), [])


class Window(Fixture):
    def test_each_step_is_drawn_as_the_search_reaches_it(self):
        release = os.path.join(self.workspace, "release")
        program = self.start("linux", {"DISPLAY": XVFB}, "--hold-at", "2", "--release", release)
        window = require_window(self.display, TITLE, program)
        # The search waits before its third state: the first step shows, the
        # second does not yet.
        first_step = midpoint(POINTS[0], POINTS[1])
        drawn, image = self.picture(window, lambda i: path_at(i, first_step))
        self.assertTrue(drawn, "the first step is not drawn while the search runs")
        self.assertTrue(path_at(image, at(POINTS[0])))
        self.assertFalse(path_at(image, midpoint(POINTS[1], POINTS[2])))
        self.assertFalse(path_at(image, at(POINTS[2])))
        open(release, "w").close()
        last_step = midpoint(POINTS[2], POINTS[3])
        drawn, image = self.picture(window, lambda i: path_at(i, last_step))
        self.assertTrue(drawn, "the last step is not drawn")
        self.assertTrue(path_at(image, midpoint(POINTS[1], POINTS[2])))
        self.assertIsNone(program.poll(), "the window closed before the user closed it")
        press_key(self.display, window, "Escape")
        self.assertEqual(self.finish(program), (0, "", "", []))

    def test_failing_search_closes_the_window_and_reaches_the_launcher(self):
        release = os.path.join(self.workspace, "release")
        program = self.start(
            "linux", {"DISPLAY": XVFB}, "--hold-at", "2", "--release", release, "--fail-at", "2"
        )
        require_window(self.display, TITLE, program)
        open(release, "w").close()
        status, out, err, boxes = self.finish(program)
        self.assertEqual((status, out, boxes), (1, "", []))
        self.assertTrue(err.startswith("Traceback (most recent call last):\n"), err)
        self.assertTrue(err.endswith("\nRuntimeError: made-up failure\n"), err)
        self.assertEqual(visible_windows(self.display, TITLE), [])


if __name__ == "__main__":
    unittest.main()
