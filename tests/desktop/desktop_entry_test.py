"""The installed desktop entry and the install layout.

usage: desktop_entry_test.py --build DIR --source DIR [unittest options]
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from desktop_entry import exec_arguments, read_entry, string_value, validate

BUILD = None
SOURCE = None
TIMEOUT = 300

AWKWARD_PATHS = [
    "/opt/plain",
    "/opt/with space",
    '/opt/"quoted"',
    "/opt/$HOME `id`",
    "/opt/100% %F %%u",
    "/opt/back\\slash\\\\",
    "/opt/semi;colon",
    "/opt/tab\there",
    "/opt/Prüfung 日本",
]


class DesktopEntry(unittest.TestCase):
    def setUp(self):
        self.workspace = tempfile.mkdtemp(prefix="quorvel-desktop-")
        self.addCleanup(shutil.rmtree, self.workspace, ignore_errors=True)

    def test_any_path_gives_a_valid_entry_that_names_it(self):
        script = os.path.join(SOURCE, "launcher", "resources", "desktop_entry.cmake")
        for path in AWKWARD_PATHS:
            with self.subTest(path):
                entry = os.path.join(self.workspace, "quorvel.desktop")
                subprocess.run(
                    [
                        "cmake",
                        f"-DOUTPUT={entry}",
                        f"-DPROGRAM={path}/quorvel",
                        f"-DICON={path}/quorvel.png",
                        "-P",
                        script,
                    ],
                    check=True,
                    timeout=TIMEOUT,
                )
                self.assertEqual("", validate(entry))
                keys = read_entry(entry)
                self.assertEqual([f"{path}/quorvel", "%F"], exec_arguments(keys["Exec"]))
                self.assertEqual(f"{path}/quorvel.png", string_value(keys["Icon"]))

    def test_installed_entry_starts_the_installed_program(self):
        # Every character that CMake's own install rules accept in a prefix.
        prefix = os.path.join(self.workspace, "Sp ace $HOME `x` \"q\" 100% 'é'", "app")
        subprocess.run(
            ["cmake", "--install", BUILD, "--prefix", prefix],
            check=True,
            capture_output=True,
            timeout=TIMEOUT,
        )
        entry = os.path.join(prefix, "share", "applications", "quorvel.desktop")
        self.assertEqual("", validate(entry))
        keys = read_entry(entry)
        program, field = exec_arguments(keys["Exec"])
        self.assertEqual((os.path.join(prefix, "quorvel"), "%F"), (program, field))
        self.assertTrue(os.access(program, os.X_OK))
        self.assertTrue(os.path.isfile(string_value(keys["Icon"])))


class SystemPrefix(unittest.TestCase):
    def test_install_into_a_system_prefix_is_refused_before_copying(self):
        for prefix in ("/usr", "/usr/local", "/usr/local/", "/usr/lib/..", "/"):
            with self.subTest(prefix):
                staging = tempfile.mkdtemp(prefix="quorvel-staging-")
                self.addCleanup(shutil.rmtree, staging, ignore_errors=True)
                result = subprocess.run(
                    ["cmake", "--install", BUILD, "--prefix", prefix],
                    env=dict(os.environ, DESTDIR=staging),
                    capture_output=True,
                    text=True,
                    timeout=TIMEOUT,
                )
                self.assertNotEqual(0, result.returncode)
                message = " ".join(result.stderr.split())
                self.assertIn("Refusing to install into the system prefix", message)
                self.assertIn("--prefix /opt/quorvel", message)
                self.assertIn(".deb", message)
                self.assertEqual([], os.listdir(staging))


def main():
    global BUILD, SOURCE
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", required=True)
    options, rest = parser.parse_known_args()
    BUILD, SOURCE = options.build, options.source
    unittest.main(argv=[sys.argv[0], *rest])


if __name__ == "__main__":
    main()
