#!/usr/bin/env python3
"""Start-up cost of a packed application against the bare interpreter.

Packs each application (an empty run(), and the demo application) into its
own copy of an installation with tools/pack-app, then runs, alternately and
the same number of times, the installed quorvel and the interpreter it
embeds started bare (`-I -S -c pass`). Reports the median wall time, the
median processor time of the process (user and system: less disturbed than
wall time by other work on the machine), the median peak resident memory,
the size of the installation and, with --callgrind, the instructions of one
run of each (valgrind's callgrind, repeatable where wall time is not).

The installation is copied first, so the one given is left unchanged; with no
installation given, the build in build/ is installed into a scratch directory.
"""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from installations import installation_copy, size

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PYTHON = "/usr/bin/python3"
BARE = [PYTHON, "-I", "-S", "-c", "pass"]
TIME = "/usr/bin/time"  # GNU time, Debian package time
APPS = {"empty": None, "demo": os.path.join(ROOT, "examples", "startup_app")}
EMPTY_APP = "def run():\n    pass\n"
# On a desktop the demo opens a window and waits: its runs here are the text
# runs of a terminal without a display.
ENVIRONMENT = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}


def prepare(args, scratch, name):
    """A copy of the installation with the application packed into it."""
    target = installation_copy(args.installation, scratch, name)
    app = APPS[name]
    if app is None:
        app = os.path.join(scratch, "app-" + name)
        os.makedirs(app)
        with open(os.path.join(app, "__startup__.py"), "w") as f:
            f.write(EMPTY_APP)
    if args.program:
        shutil.copy2(args.program, os.path.join(target, "quorvel"))
    subprocess.run(
        [PYTHON, args.pack_app, *args.pack_option, app, target],
        check=True,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    return target


def spawn(command):
    """Runs command with its output discarded; returns the wall seconds and
    the processor seconds (user and system) of the process."""
    actions = [
        (os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0),
        (os.POSIX_SPAWN_OPEN, 2, os.devnull, os.O_WRONLY, 0),
    ]
    start = time.perf_counter()
    pid = os.posix_spawn(command[0], command, ENVIRONMENT, file_actions=actions)
    _, status, usage = os.wait4(pid, 0)
    wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit("%s: status %d" % (" ".join(command), os.waitstatus_to_exitcode(status)))
    return wall, usage.ru_utime + usage.ru_stime


def peak_memory(argv, scratch):
    """Peak resident kilobytes of one run of argv."""
    # Measured under a small parent: a child of this script would inherit
    # this interpreter's resident size as the floor of its own peak.
    report = os.path.join(scratch, "rss")
    spawn([TIME, "-f", "%M", "-o", report] + argv)
    with open(report) as f:
        return int(f.read().split()[-1])


def instructions(argv):
    result = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null"] + argv,
        env=ENVIRONMENT,
        capture_output=True,
        text=True,
    )
    found = re.search(r"Collected : (\d+)", result.stderr)
    return int(found.group(1)) if found else None


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("installation", nargs="?", help="installation directory")
    parser.add_argument("--rounds", type=int, default=40, help="runs of each (default 40)")
    parser.add_argument(
        "--app",
        action="append",
        choices=sorted(APPS),
        help="application to measure (repeatable; default: all)",
    )
    parser.add_argument("--callgrind", action="store_true", help="also count instructions")
    parser.add_argument("--program", help="another quorvel binary to put in the copies")
    parser.add_argument(
        "--pack-app",
        default=os.path.join(ROOT, "tools", "pack-app"),
        help="the packing tool to use (default: this tree's)",
    )
    parser.add_argument(
        "--pack-option",
        action="append",
        default=[],
        help="option passed to the packing tool (repeatable)",
    )
    args = parser.parse_args()
    names = args.app or sorted(APPS, reverse=True)
    with tempfile.TemporaryDirectory() as scratch:
        commands = {"bare": BARE}
        sizes = {}
        for name in names:
            target = prepare(args, scratch, name)
            commands[name] = [os.path.join(target, "quorvel")]
            sizes[name] = size(target)
        for _ in range(3):  # warm the file cache for all
            for command in commands.values():
                spawn(command)
        walls = {k: [] for k in commands}
        cpus = {k: [] for k in commands}
        peaks = {k: [] for k in commands}
        for _ in range(args.rounds):
            for key, command in commands.items():
                wall, cpu = spawn(command)
                walls[key].append(wall)
                cpus[key].append(cpu)
                peaks[key].append(peak_memory(command, scratch))
        counts = {k: instructions(c) for k, c in commands.items()} if args.callgrind else {}
    print("%d alternating runs each" % args.rounds)
    print(
        "%-24s %10s %8s %10s %8s %12s %8s %14s %10s"
        % (
            "",
            "wall ms",
            "ratio",
            "CPU ms",
            "ratio",
            "peak RSS KiB",
            "ratio",
            "instructions",
            "ratio",
        )
    )
    for key in commands:
        label = " ".join(BARE[:4]) if key == "bare" else "quorvel, %s app" % key
        wall = statistics.median(walls[key])
        cpu = statistics.median(cpus[key])
        peak = statistics.median(peaks[key])
        line = "%-24s %10.2f %7.2fx %10.2f %7.2fx %12d %7.2fx" % (
            label,
            wall * 1e3,
            wall / statistics.median(walls["bare"]),
            cpu * 1e3,
            cpu / statistics.median(cpus["bare"]),
            peak,
            peak / statistics.median(peaks["bare"]),
        )
        if counts.get(key):
            line += " %14d %9.2fx" % (counts[key], counts[key] / counts["bare"])
        print(line)
    for name, total in sizes.items():
        print("installation with the %s app: %.1f MB" % (name, total / 1e6))


if __name__ == "__main__":
    main()
