"""Private copies of an installation for the benchmarks to pack into."""

import os
import shutil
import subprocess

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def installation_copy(installation, scratch, name):
    """scratch/name: a copy of installation, or with none given, the build
    in build/ installed there."""
    target = os.path.join(scratch, name)
    if installation:
        shutil.copytree(installation, target, symlinks=True)
    else:
        subprocess.run(
            ["cmake", "--install", os.path.join(ROOT, "build"), "--prefix", target],
            check=True,
            stdout=subprocess.DEVNULL,
        )
    return target


def size(directory):
    """Bytes of the files below directory, a symbolic link as itself."""
    total = 0
    for base, _, names in os.walk(directory):
        total += sum(os.lstat(os.path.join(base, n)).st_size for n in names)
    return total
