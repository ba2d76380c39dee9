"""Helpers shared by the end-to-end tests of installed applications."""

import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

from boxes import without_display
from files import write_files

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


class PackingCase(unittest.TestCase):
    """Each test packs into its own copy of the installation."""

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.installation = copy_installation(self.tmp.name)

    def app(self, name, files):
        """An application directory holding files ({relative path: contents})."""
        root = os.path.join(self.tmp.name, "app-" + name)
        write_files(root, files)
        return root

    def packed(self, app_dir, *options, installation=None):
        result = pack(app_dir, installation or self.installation, *options)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result


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


# What the system holds of what a packed installation ships: the
# interpreter's standard library and third-party packages, Tcl/Tk's script
# libraries, and the interpreter as a shared library.
SYSTEM_COPIES = [
    *glob.glob("/usr/lib/python3*"),
    "/usr/share/tcltk",
    "/usr/lib/tcltk",
    *glob.glob("/usr/lib/x86_64-linux-gnu/libpython3*.so*"),
]


def can_hide_the_system():
    """Hiding needs a private mount namespace: root and unshare."""
    return os.geteuid() == 0 and shutil.which("unshare") is not None


def system_libraries():
    """{soname: path} of the dynamic loader's cache."""
    cache = subprocess.run(["/sbin/ldconfig", "-p"], capture_output=True, text=True, check=True)
    return dict(re.findall(r"^\s+(\S+) \(libc6,x86-64[^)]*\) => (\S+)$", cache.stdout, re.M))


def hiding_the_system(installation, command, scratch):
    """command, to be run in a private mount namespace where the system's
    copies of what the installation ships are replaced by empty ones, and
    so are the originals of the libraries in its lib/: whatever the program
    needs must come from the installation. scratch: a directory for the
    empty stand-ins."""
    empty_file = os.path.join(scratch, "empty-file")
    empty_dir = os.path.join(scratch, "empty-dir")
    open(empty_file, "w").close()
    os.makedirs(empty_dir, exist_ok=True)
    cache = system_libraries()
    originals = {
        os.path.realpath(cache[name])
        for name in os.listdir(os.path.join(installation, "lib"))
        if name in cache
    }
    copies = {os.path.realpath(path) for path in SYSTEM_COPIES if os.path.exists(path)}
    hidden = sorted(copies | originals)
    script = "set -e\n"
    for path in hidden:
        stand_in = empty_dir if os.path.isdir(path) else empty_file
        script += 'mount --bind "%s" "%s"\n' % (stand_in, path)
    script += 'exec "$@"\n'
    return ["unshare", "--mount", "--propagation", "private", "sh", "-c", script, "sh", *command]
