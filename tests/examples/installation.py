"""Helpers shared by the end-to-end tests of installed applications."""

import os
import shutil
import subprocess
import sys

from boxes import without_display

SOURCE_DIR = os.environ["QUORVEL_SOURCE_DIR"]
INSTALLATION = os.environ["QUORVEL_INSTALLATION"]
BUILD_DIR = os.environ.get("QUORVEL_BUILD_DIR", "")
PACK_APP = os.path.join(SOURCE_DIR, "tools", "pack-app")
DEMO_APP = os.path.join(SOURCE_DIR, "examples", "startup_app")
TIMEOUT = 120


def copy_installation(parent, name="installation", source=INSTALLATION):
    """A private copy of an installation, so tests may change it freely."""
    target = os.path.join(parent, name)
    shutil.copytree(source, target, symlinks=True)
    return target


def pack(app_dir, installation, *options):
    return subprocess.run(
        [sys.executable, PACK_APP, *options, app_dir, installation],
        capture_output=True,
        text=True,
        timeout=TIMEOUT,
    )


def run_quorvel(installation, *args, cwd=None):
    """Runs the installed launcher from a directory outside the installation."""
    return subprocess.run(
        [os.path.join(installation, "quorvel"), *args],
        env=without_display(),
        capture_output=True,
        text=True,
        timeout=TIMEOUT,
        cwd=cwd or os.path.dirname(installation),
    )
