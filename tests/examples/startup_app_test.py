"""The demo application, packed into a copy of the installation and run."""

import os
import re
import tempfile
import unittest

from installation import DEMO_APP, copy_installation, pack, run_quorvel

ITERATION_LINE = re.compile(r"^\s*(\d+)\s+\S+\s+\S+\s+\S+\s+\d+$")
RESULT_LINE = re.compile(r"^minimum f = (\S+) at x = \((\S+), (\S+)\)$")


def library_name(name):
    return name + ".dll" if os.name == "nt" else "lib" + name + ".so"


class StartupAppTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.installation = copy_installation(self.tmp.name)
        packed = pack(DEMO_APP, self.installation)
        self.assertEqual(packed.returncode, 0, packed.stderr)

    def test_minimises_rosenbrock(self):
        result = run_quorvel(self.installation)
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        lines = result.stdout.splitlines()
        iterations = [int(m.group(1)) for m in map(ITERATION_LINE.match, lines) if m]
        self.assertGreater(len(iterations), 5)
        self.assertEqual(iterations, list(range(len(iterations))))
        self.assertIn("converged after %d iterations" % iterations[-1], result.stdout)
        found = RESULT_LINE.match(lines[-1])
        self.assertIsNotNone(found, lines[-1])
        f, x0, x1 = map(float, found.groups())
        self.assertLess(f, 1e-12)
        self.assertAlmostEqual(x0, 1.0, delta=1e-6)
        self.assertAlmostEqual(x1, 1.0, delta=1e-6)

    def test_failures_reach_the_user_as_a_traceback_box(self):
        cases = [
            (
                ["--fail"],
                None,
                "Demo: deliberate failure",
                "RuntimeError: --fail was given: this error is raised on purpose.",
            ),
            ([], "linesearch", "Demo: native library missing", "OSError: "),
            ([], "blaswrap", "Demo: native library missing", "OSError: "),
        ]
        for args, removed, caption, last_line in cases:
            with self.subTest(args=args, removed=removed):
                installation = self.installation
                if removed:
                    installation = copy_installation(
                        self.tmp.name, "without-" + removed, source=self.installation
                    )
                    os.unlink(os.path.join(installation, "lib", library_name(removed)))
                result = run_quorvel(installation, *args)
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stdout, "")
                # The box: caption, line feed, traceback text, line feed.
                box_caption, _, text = result.stderr.partition("\n")
                self.assertEqual(box_caption, caption, result.stderr)
                self.assertTrue(text.startswith("Traceback (most recent call last):\n"), text)
                self.assertTrue(text.endswith("\n\n"), text)
                self.assertTrue(text.rstrip("\n").splitlines()[-1].startswith(last_line), text)


if __name__ == "__main__":
    unittest.main()
