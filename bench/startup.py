#!/usr/bin/env python3
"""Start-up cost of the launcher against the bare interpreter it embeds.

Runs, alternately and the same number of times, the installed quorvel with a
startup module whose run() does nothing, and the system interpreter started
with `-I -S -c pass`. Reports the median wall time and the peak resident
memory of each and their ratios.

The installation is copied first, so the one given is left unchanged; with no
installation given, the build in build/ is installed into a scratch directory.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BARE = ["/usr/bin/python3", "-I", "-S", "-c", "pass"]
TIME = "/usr/bin/time"  # GNU time, Debian package time
EMPTY_APP = "def run():\n    pass\n"


def prepare(installation, scratch):
    """A copy of the installation with the empty application packed into it."""
    target = os.path.join(scratch, "installation")
    if installation:
        shutil.copytree(installation, target, symlinks=True)
    else:
        subprocess.run(["cmake", "--install", os.path.join(ROOT, "build"), "--prefix", target],
                       check=True, stdout=subprocess.DEVNULL)
    app = os.path.join(scratch, "app")
    os.makedirs(app)
    with open(os.path.join(app, "__startup__.py"), "w") as f:
        f.write(EMPTY_APP)
    subprocess.run([BARE[0], os.path.join(ROOT, "tools", "pack-app"), app, target],
                   check=True, stdout=subprocess.DEVNULL)
    return os.path.join(target, "quorvel")


def spawn(command):
    """Runs command with its output discarded; returns the wall seconds."""
    actions = [(os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0),
               (os.POSIX_SPAWN_OPEN, 2, os.devnull, os.O_WRONLY, 0)]
    start = time.perf_counter()
    pid = os.posix_spawn(command[0], command, os.environ, file_actions=actions)
    _, status = os.waitpid(pid, 0)
    wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit("%s: status %d" % (" ".join(command), os.waitstatus_to_exitcode(status)))
    return wall


def peak_memory(argv, scratch):
    """Peak resident kilobytes of one run of argv."""
    # Measured under a small parent: a child of this script would inherit
    # this interpreter's resident size as the floor of its own peak.
    report = os.path.join(scratch, "rss")
    spawn([TIME, "-f", "%M", "-o", report] + argv)
    with open(report) as f:
        return int(f.read().split()[-1])


def measure(argv, scratch):
    return spawn(argv), peak_memory(argv, scratch)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("installation", nargs="?", help="installation directory")
    parser.add_argument("--rounds", type=int, default=40, help="runs of each (default 40)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        quorvel = [prepare(args.installation, scratch)]
        for _ in range(3):  # warm the file cache for both
            measure(quorvel, scratch)
            measure(BARE, scratch)
        results = {"quorvel": [], "bare": []}
        for _ in range(args.rounds):
            results["quorvel"].append(measure(quorvel, scratch))
            results["bare"].append(measure(BARE, scratch))
    wall = {k: statistics.median(w for w, _ in v) for k, v in results.items()}
    peak = {k: statistics.median(m for _, m in v) for k, v in results.items()}
    print("%d alternating runs each" % args.rounds)
    print("%-28s %10s %12s" % ("", "median ms", "peak RSS KiB"))
    print("%-28s %10.2f %12d" % ("quorvel, empty run()", wall["quorvel"] * 1e3, peak["quorvel"]))
    print("%-28s %10.2f %12d" % (" ".join(BARE[:4]), wall["bare"] * 1e3, peak["bare"]))
    print("ratio: wall %.2fx, memory %.2fx (aim: at most 1.2x)"
          % (wall["quorvel"] / wall["bare"], peak["quorvel"] / peak["bare"]))


if __name__ == "__main__":
    main()
