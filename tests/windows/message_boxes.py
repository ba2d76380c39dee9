#!/usr/bin/env python3
"""quorvel.exe's message boxes as real windows under wine on a virtual display.

  message_boxes.py --program quorvel.exe --python python38.dll --box-text box_text.exe
                   --wineserver WINESERVER --work DIR -- EMULATOR...

Each case starts the program on the recording python38.dll with a private
Xvfb as display. The box must come up as a visible window titled exactly
with its caption, show exactly its text with a single OK button (read by
box_text.exe through the window itself), close on a real Return key press,
and the program must then end with the expected status. Xvfb and the wine
server are always stopped at the end.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from boxes import FATAL, MAIN_SCRIPT, TERMINATED  # noqa: E402
from virtual_display import start_xvfb  # noqa: E402

TIMEOUT = 60
IDOK = 1

# Windows path of the program that is one character too long for the
# launcher's 256-character buffer.
LONG_PROGRAM_PATH = 257

# name, QUORVEL_FAKE_RUN, program path length or None, caption, text, status
CASES = [
    (
        "fatal_error",
        None,
        LONG_PROGRAM_PATH,
        FATAL,
        "Unable to get executable name!",
        1,
    ),
    (
        "system_exit_text",
        "exit-text:Stopped at step 3 \u2014 see the log",
        None,
        TERMINATED,
        "Stopped at step 3 \u2014 see the log",
        1,
    ),
    (
        "traceback",
        "raise:no data in 'input.csv'",
        None,
        MAIN_SCRIPT,
        "Traceback (most recent call last):\n"
        '  File "__startup__.py", line 2, in run\n'
        "ValueError: no data in 'input.csv'\n",
        1,
    ),
]

OPTIONS = argparse.Namespace()


def windows_path(path: str) -> str:
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def installation_dir(base: str, program_path_length) -> str:
    """A directory under base whose quorvel.exe has the given Windows path
    length (any length when None), in components the file system accepts."""
    if program_path_length is None:
        return os.path.join(base, "App")
    missing = program_path_length - len(windows_path(os.path.join(base, "quorvel.exe")))
    directory = base
    while missing > 0:
        part = "d" * min(missing - 1, 200)
        directory = os.path.join(directory, part)
        missing -= len(part) + 1
    assert len(windows_path(os.path.join(directory, "quorvel.exe"))) == program_path_length
    return directory


def visible_windows(display: str, caption: str) -> list:
    found = subprocess.run(
        ["xdotool", "search", "--onlyvisible", "--name", "^%s$" % re.escape(caption)],
        env={"DISPLAY": display, "PATH": os.environ["PATH"]},
        capture_output=True,
        text=True,
        timeout=TIMEOUT,
    )
    return found.stdout.split()


def xdotool(display: str, *arguments: str) -> str:
    done = subprocess.run(
        ["xdotool", *arguments],
        env={"DISPLAY": display, "PATH": os.environ["PATH"]},
        capture_output=True,
        text=True,
        timeout=TIMEOUT,
        check=True,
    )
    return done.stdout.strip()


class MessageBoxesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.wine_environment = dict(os.environ)
        cls.stop_wine()
        cls.addClassCleanup(cls.stop_wine)
        xvfb, cls.display = start_xvfb()
        cls.addClassCleanup(cls.stop_display, xvfb)
        cls.wine_environment["DISPLAY"] = cls.display
        cls.wine_environment.pop("QUORVEL_FAKE_RUN", None)

    @classmethod
    def stop_wine(cls):
        # The test runs alone (RUN_SERIAL), so the prefix's server is ours.
        subprocess.run(
            OPTIONS.emulator[:-1] + [OPTIONS.wineserver, "-k"],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
            timeout=TIMEOUT,
        )

    @staticmethod
    def stop_display(xvfb):
        xvfb.terminate()
        try:
            xvfb.wait(timeout=10)
        except subprocess.TimeoutExpired:
            xvfb.kill()
            xvfb.wait()

    def wait_for_window(self, caption: str) -> str:
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline:
            windows = visible_windows(self.display, caption)
            if windows:
                self.assertEqual(len(windows), 1, "one box titled %r" % caption)
                return windows[0]
            time.sleep(0.2)
        self.fail("no visible window titled %r" % caption)

    def run_case(self, name, mode, program_path_length, caption, text, status):
        base = os.path.join(OPTIONS.work, name)
        shutil.rmtree(base, ignore_errors=True)
        install = installation_dir(base, program_path_length)
        os.makedirs(os.path.join(install, "lib"))
        # A sound, empty runtime archive, which the program checks before it
        # starts the interpreter.
        with zipfile.ZipFile(os.path.join(install, "lib", "library.zip"), "w"):
            pass
        program = os.path.join(install, "quorvel.exe")
        shutil.copy(OPTIONS.program, program)
        shutil.copy(OPTIONS.python, os.path.join(install, "python38.dll"))
        environment = dict(self.wine_environment)
        if mode:
            environment["QUORVEL_FAKE_RUN"] = mode

        launched = subprocess.Popen(OPTIONS.emulator + [program], cwd=base, env=environment)
        try:
            # Into a file, not a pipe: wine's helper processes that a program
            # starts may inherit the pipe and hold it open.
            with tempfile.TemporaryFile() as output:
                reader = subprocess.run(
                    OPTIONS.emulator + [OPTIONS.box_text, caption],
                    env=environment,
                    stdout=output,
                    stderr=subprocess.DEVNULL,
                    timeout=TIMEOUT,
                )
                output.seek(0)
                read = output.read().decode("utf-8")
            self.assertEqual(reader.returncode, 0, "box_text found no box titled %r" % caption)
            buttons, _, shown = read.partition("\n")
            self.assertEqual(shown, text)
            self.assertEqual(buttons.split(), ["buttons:", str(IDOK)])

            window = self.wait_for_window(caption)
            self.assertEqual(xdotool(self.display, "getwindowname", window), caption)
            self.assertIsNone(launched.poll(), "the program waits for the box")
            xdotool(self.display, "windowfocus", "--sync", window)
            xdotool(self.display, "key", "Return")
            self.assertEqual(launched.wait(timeout=TIMEOUT), status)
            self.assertEqual(visible_windows(self.display, caption), [])
        finally:
            if launched.poll() is None:
                launched.kill()
                launched.wait()

    def test_each_box_shows_its_caption_and_text_and_closes_on_return(self):
        for case in CASES:
            with self.subTest(case[0]):
                self.run_case(*case)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for option in ("--program", "--python", "--box-text", "--wineserver", "--work"):
        parser.add_argument(option, required=True)
    parser.add_argument("emulator", nargs="+")
    parser.parse_args(namespace=OPTIONS)
    unittest.main(argv=[sys.argv[0], "-v"])


if __name__ == "__main__":
    main()
