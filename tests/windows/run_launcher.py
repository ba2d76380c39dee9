#!/usr/bin/env python3
"""Runs the built quorvel.exe under the emulator on the test-only python38.dll.

  run_launcher.py --program quorvel.exe --python python38.dll --work DIR -- EMULATOR...

For each case of the table, a fresh installation directory gets the program,
the stand-in runtime and an empty lib; the program is started with a
wildcard pattern and a quoted argument from a directory that holds a
matching file. The exit status and the calls that reached the interpreter,
in order, must be exactly the expected ones.
"""

import argparse
import os
import shutil
import subprocess
import sys

CASES = [
    # run() returns: everything released newest first, then finalised.
    ("returns", None, 0, [
        "import __startup__", "call run with no arguments", "release result", "release run",
        "release __startup__", "finalize"]),
    # SystemExit(7): the process ends inside Py_Exit with the code.
    ("system_exit", "exit:7", 7, [
        "import __startup__", "call run with no arguments", "exit 7"]),
]


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def run_case(args, name, mode, status, calls):
    base = os.path.join(args.work, name)
    shutil.rmtree(base, ignore_errors=True)
    install = os.path.join(base, "App")
    os.makedirs(os.path.join(install, "lib"))
    shutil.copy(args.program, os.path.join(install, "quorvel.exe"))
    shutil.copy(args.python, os.path.join(install, "python38.dll"))
    cwd = os.path.join(base, "cwd")
    os.makedirs(cwd)
    open(os.path.join(cwd, "match.txt"), "w").close()

    env = dict(os.environ)
    env.pop("QUORVEL_FAKE_RUN", None)
    if mode:
        env["QUORVEL_FAKE_RUN"] = mode
    completed = subprocess.run(
        args.emulator + [os.path.join(install, "quorvel.exe"), "*.txt", "a b"],
        cwd=cwd, env=env, timeout=120)

    directory = windows_path(install)
    expected = [
        f"program {directory}\\quorvel.exe",
        f"path {directory}\\lib\\library.zip;{directory}\\lib",
        "initialize site=1 frozen=1 environment=1",
        "argv[1] *.txt",
        "argv[2] a b",
    ] + calls
    log_path = os.path.join(cwd, "interpreter.log")
    actual = open(log_path).read().splitlines() if os.path.exists(log_path) else []

    failures = []
    if completed.returncode != status:
        failures.append(f"exit status {completed.returncode}, expected {status}")
    if actual != expected:
        failures.append("calls:\n    " + "\n    ".join(actual) +
                        "\n  expected:\n    " + "\n    ".join(expected))
    for failure in failures:
        print(f"{name}: {failure}")
    return not failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", required=True)
    parser.add_argument("--python", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("emulator", nargs="+")
    args = parser.parse_args()
    passed = [run_case(args, *case) for case in CASES]
    print(f"{sum(passed)} of {len(passed)} cases passed")
    return 0 if all(passed) else 1


if __name__ == "__main__":
    sys.exit(main())
