#!/usr/bin/env python3
"""Packing time and size of real applications.

Packs applications of the test table (tests/quorvel_pack/real_apps.py:
small applications on the machine's own third-party packages) against the
machine's dist-packages, each into its own copy of an installation: first
with an empty cache of the packing tool (a fresh XDG_CACHE_HOME), then
again unchanged. Reports the wall time of both, the size of lib/, the
counts of the summary line and the number of warning lines.

The installation is copied first, so the one given is left unchanged; with no
installation given, the build in build/ is installed into a scratch directory.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PYTHON = "/usr/bin/python3"
sys.path.insert(0, os.path.join(ROOT, "tests", "quorvel_pack"))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
from files import write_files  # noqa: E402
from installations import installation_copy, size  # noqa: E402
from real_apps import APPS, DIST_PACKAGES  # noqa: E402

DEFAULT_APPS = ("array", "templates", "plotting", "standard_library")


def timed_pack(pack_app, app_dir, installation, env):
    """(wall seconds, summary line, warning lines) of one pack."""
    start = time.perf_counter()
    result = subprocess.run(
        [PYTHON, pack_app, "--path", DIST_PACKAGES, app_dir, installation],
        capture_output=True,
        text=True,
        env=env,
    )
    wall = time.perf_counter() - start
    if result.returncode != 0:
        sys.exit("pack-app failed for %s:\n%s" % (app_dir, result.stderr))
    summary = result.stdout.strip().splitlines()[-1]
    return wall, summary, len(result.stderr.splitlines())


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("installation", nargs="?", help="installation directory")
    parser.add_argument(
        "--app",
        action="append",
        choices=sorted(APPS),
        help="application to measure (repeatable; default: %s)" % ", ".join(DEFAULT_APPS),
    )
    parser.add_argument(
        "--pack-app",
        default=os.path.join(ROOT, "tools", "pack-app"),
        help="the packing tool to use (default: this tree's)",
    )
    args = parser.parse_args()
    print(
        "| application | first pack | re-pack | lib/ | modules, extensions, libraries | warnings |"
    )
    print("|---|---|---|---|---|---|")
    with tempfile.TemporaryDirectory() as scratch:
        for name in args.app or DEFAULT_APPS:
            installation = installation_copy(args.installation, scratch, name)
            app_dir = os.path.join(scratch, "app-" + name)
            write_files(app_dir, APPS[name].files)
            env = dict(os.environ, XDG_CACHE_HOME=os.path.join(scratch, "cache-" + name))
            first, summary, warnings = timed_pack(args.pack_app, app_dir, installation, env)
            again, _, _ = timed_pack(args.pack_app, app_dir, installation, env)
            lib_size = size(os.path.join(installation, "lib"))
            counts = re.findall(r"(\d+) (?:modules|extension modules|libraries)", summary)
            print(
                "| %s | %.1f s | %.1f s | %.1f MB | %s | %d |"
                % (name, first, again, lib_size / 1e6, ", ".join(counts), warnings),
                flush=True,
            )
            shutil.rmtree(installation)


if __name__ == "__main__":
    main()
