#!/usr/bin/env python3
"""Runs the built quorvel.exe under the emulator on the test-only python38.dll.

  run_launcher.py --program quorvel.exe --python python38.dll --work DIR -- EMULATOR...

For each case of the table, a fresh installation directory gets the program,
the stand-in runtime and a lib with a sound, empty library.zip; the program
is started with a wildcard pattern and a quoted argument from a directory
that holds a matching file. The exit status and the calls that reached the
interpreter, in order, must be exactly the expected ones.
"""

import argparse
import os
import shutil
import subprocess
import sys
import unittest
import zipfile
from typing import List, NamedTuple, Optional, Tuple

OPTIONS = argparse.Namespace()

# Everything the launcher hands the interpreter before the application runs;
# @DIR@ stands for the installation directory as Windows names it, @PROGRAM@
# for the program's file name.
STARTED = [
    "program @DIR@\\@PROGRAM@",
    "path @DIR@\\lib\\library.zip;@DIR@\\lib",
    "initialize site=1 frozen=1 environment=1",
    "argv[1] *.txt",
    "argv[2] a b",
    # sys.path[0] is the program's directory, put there by the launcher.
    "str @DIR@",
    "insert str into sys.path at 0",
    "release str",
]


class Case(NamedTuple):
    name: str
    run: Optional[str]  # QUORVEL_FAKE_RUN: None for a run() that returns
    status: int
    calls: List[str]  # what reaches the interpreter, in order
    directory: str = "App"  # the installation directory's name
    archive: bool = True  # lib holds library.zip
    # The loader finds python38.dll beside the program; otherwise in a
    # directory on the search path, for directories it cannot search.
    runtime_beside: bool = True
    program: str = "quorvel.exe"  # the program's file name in the installation


# run() returns: everything released newest first, then finalised.
RETURNED = STARTED + [
    "import __startup__",
    "call run with no arguments",
    "release result",
    "release run",
    "release __startup__",
    "finalize",
]

CASES = [
    Case("returns", None, 0, RETURNED),
    # SystemExit(7): the report releases what it took, newest first, and the
    # main flow finalises and ends with the code.
    Case(
        "system_exit",
        "exit:7",
        7,
        STARTED
        + [
            "import __startup__",
            "call run with no arguments",
            "release code",
            "release Zundrel: Application Terminated",
            "release SystemExit()",
            "finalize",
        ],
    ),
    # Refused with the fatal box before the interpreter starts.
    Case("delimiter_in_directory", None, 1, [], directory="App;Semi", runtime_beside=False),
    Case("archive_missing", None, 1, [], archive=False),
]


def windows_path(path: str) -> str:
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def run_case(
    case: Case, program: str, python: str, work: str, emulator: List[str]
) -> Tuple[Tuple[int, List[str]], Tuple[int, List[str]]]:
    """Runs the program of the case in a fresh installation under work; the
    exit status and the calls that reached the interpreter, then those expected."""
    base = os.path.join(work, case.name)
    shutil.rmtree(base, ignore_errors=True)
    install = os.path.join(base, case.directory)
    os.makedirs(os.path.join(install, "lib"))
    shutil.copy(program, os.path.join(install, case.program))
    runtime = install if case.runtime_beside else os.path.join(base, "runtime")
    os.makedirs(runtime, exist_ok=True)
    shutil.copy(python, os.path.join(runtime, "python38.dll"))
    if case.archive:
        with zipfile.ZipFile(os.path.join(install, "lib", "library.zip"), "w"):
            pass
    cwd = os.path.join(base, "cwd")
    os.makedirs(cwd)
    with open(os.path.join(cwd, "match.txt"), "w"):
        pass

    env = dict(os.environ)
    env.pop("QUORVEL_FAKE_RUN", None)
    # A box must not wait for a user on whatever display the caller has.
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    if case.run:
        env["QUORVEL_FAKE_RUN"] = case.run
    if not case.runtime_beside:
        env["WINEPATH"] = windows_path(runtime)
    completed = subprocess.run(
        emulator + [os.path.join(install, case.program), "*.txt", "a b"],
        cwd=cwd,
        env=env,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
        timeout=120,
    )

    log_path = os.path.join(cwd, "interpreter.log")
    actual = []
    if os.path.exists(log_path):
        with open(log_path) as log:
            actual = log.read().splitlines()
    directory = windows_path(install)
    expected = [
        call.replace("@DIR@", directory).replace("@PROGRAM@", case.program) for call in case.calls
    ]
    return (completed.returncode, actual), (case.status, expected)


class LauncherRuns(unittest.TestCase):
    def test_cases(self) -> None:
        for case in CASES:
            with self.subTest(case.name):
                self.assertEqual(
                    *run_case(case, OPTIONS.program, OPTIONS.python, OPTIONS.work, OPTIONS.emulator)
                )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", required=True)
    parser.add_argument("--python", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("emulator", nargs="+")
    vars(OPTIONS).update(vars(parser.parse_args()))
    suite = unittest.defaultTestLoader.loadTestsFromTestCase(LauncherRuns)
    sys.exit(0 if unittest.TextTestRunner(verbosity=2).run(suite).wasSuccessful() else 1)


if __name__ == "__main__":
    main()
