"""The packed demo on a desktop (a virtual X display): its window shows the
search's path from the start to the minimum and stays until the user closes
it with Escape; it opens from the installation's own files alone too.

usage: demo_window_test.py [--screenshot FILE] [unittest options]
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from installation import (
    DEMO_APP,
    can_hide_the_system,
    copy_installation,
    hiding_the_system,
    pack,
)

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from demo_picture import START, TITLE, at, path_at  # noqa: E402
from virtual_display import shared_display  # noqa: E402
from x_windows import (  # noqa: E402
    TIMEOUT,
    colour_count,
    desktop_environment,
    press_key,
    require_window,
    stop,
    visible_windows,
    wait_for_picture,
    wait_until_still,
)

MINIMUM = (1.0, 1.0)  # the Rosenbrock function's
SCREENSHOT = None


class DemoWindow(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.workspace = tempfile.mkdtemp(prefix="quorvel-demo-window-")
        cls.installation = copy_installation(cls.workspace)
        packed = pack(DEMO_APP, cls.installation)
        if packed.returncode != 0:
            shutil.rmtree(cls.workspace)
            raise RuntimeError("pack-app failed: " + packed.stderr)
        cls.display = shared_display(cls)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.workspace, ignore_errors=True)

    def start(self, command):
        home = tempfile.mkdtemp(dir=self.workspace)
        program = subprocess.Popen(
            command,
            env=desktop_environment(home, DISPLAY=self.display),
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            cwd=self.workspace,
        )
        self.addCleanup(stop, program)
        return program

    def close(self, program, window):
        """Escape pressed in the window: (status, standard output, standard error)."""
        press_key(self.display, window, "Escape")
        out, err = program.communicate(timeout=TIMEOUT)
        return program.returncode, out, err

    def test_window_shows_the_path_to_the_minimum_and_closes_on_escape(self):
        program = self.start([os.path.join(self.installation, "quorvel")])
        window = require_window(self.display, TITLE, program)
        picture = os.path.join(self.workspace, "demo-window.png")
        reached, image = wait_for_picture(
            self.display, window, picture, lambda i: path_at(i, at(MINIMUM))
        )
        self.assertGreater(colour_count(image), 8, "the window is blank")
        self.assertTrue(reached, "the path does not reach the minimum")
        # The search ends; the window stays until the user closes it.
        still, image = wait_until_still(self.display, window, picture)
        self.assertTrue(still, "the window keeps changing")
        self.assertTrue(path_at(image, at(START)), "the path has no start")
        self.assertTrue(path_at(image, at(MINIMUM)))
        self.assertIsNone(program.poll(), "the window closed before the user closed it")
        if SCREENSHOT:
            shutil.copyfile(picture, SCREENSHOT)
        self.assertEqual(self.close(program, window), (0, "", ""))
        self.assertEqual(visible_windows(self.display, TITLE), [])

    @unittest.skipUnless(can_hide_the_system(), "needs root for a private mount namespace")
    def test_window_opens_with_the_systems_copies_hidden(self):
        quorvel = os.path.join(self.installation, "quorvel")
        program = self.start(hiding_the_system(self.installation, [quorvel], self.workspace))
        window = require_window(self.display, TITLE, program)
        self.assertEqual(self.close(program, window), (0, "", ""))


def main():
    global SCREENSHOT
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--screenshot", help="also keep the window's screenshot as this file")
    options, rest = parser.parse_known_args()
    SCREENSHOT = options.screenshot
    unittest.main(argv=[sys.argv[0], *rest])


if __name__ == "__main__":
    main()
