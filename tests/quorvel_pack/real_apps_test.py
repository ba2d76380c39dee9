"""pack-app on real third-party code: each application of real_apps is
packed against the machine's dist-packages, then run by the installed
launcher in a private mount namespace where the standard library,
dist-packages, the system data the packages read and the original of every
copied library are hidden. What it prints, the warnings, and which
distributions ship are checked."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from files import write_files
from installation import copy_installation, pack, without_display
from quorvel_pack import native
from real_apps import APPS, DIST_PACKAGES
from virtual_display import start_xvfb

STDLIB = "/usr/lib/python3.11"
# Where Debian keeps what the packages read besides their modules: the Tcl
# and Tk script libraries, the plotting library's data, the locale data.
SYSTEM_DATA = ("/usr/share/tcltk", "/usr/share/matplotlib", "/usr/share/python-babel-localedata")
# Hidden from the applications on a display, so that a failure is reported
# on standard error instead of in a dialog that waits for a click.
DIALOG_LIBRARY = "libgtk-3.so.0"
MAX_WARNING_LINES = 5
TIMEOUT = 120


def distribution_name(metadata_dir):
    """The normalised project name of a .dist-info or .egg-info directory."""
    project = metadata_dir.rsplit(".", 1)[0].split("-", 1)[0]
    return project.lower().replace("_", "-")


def third_party_entries():
    """Top-level names of dist-packages (modules and packages)."""
    return {name.split(".", 1)[0] for name in os.listdir(DIST_PACKAGES)}


# Run in the private mount namespace by the system's interpreter, which has
# loaded all it needs before the first mount hides anything; then replaced
# by the installation's program.
HIDING = """
import ctypes, os, sys
libc = ctypes.CDLL(None, use_errno=True)
program, *pairs = sys.argv[1:]
for source, target in zip(pairs[::2], pairs[1::2]):
    if libc.mount(source.encode(), target.encode(), None, 4096, None) != 0:  # MS_BIND
        sys.exit("mount %s: %s" % (target, os.strerror(ctypes.get_errno())))
os.execv(program, [program])
"""


def hidden_run(installation, scratch, env, hidden_data=()):
    """Runs the installation's program with every system copy hidden."""
    cache = native.loader_cache()
    hidden_files = [os.path.realpath(cache[DIALOG_LIBRARY])] if DIALOG_LIBRARY in cache else []
    with open(os.path.join(installation, "lib", ".quorvel-pack.json")) as f:
        shipped = json.load(f)["files"]
    for relative in shipped:
        if relative.startswith("lib") and ".so" in relative and relative in cache:
            hidden_files.append(os.path.realpath(cache[relative]))
    hidden_dirs = [STDLIB, DIST_PACKAGES]
    hidden_dirs += [d for d in SYSTEM_DATA + tuple(hidden_data) if os.path.isdir(d)]
    empty_file = os.path.join(scratch, "empty")
    empty_dir = os.path.join(scratch, "empty-dir")
    open(empty_file, "w").close()
    os.makedirs(empty_dir, exist_ok=True)
    pairs = [(empty_file, path) for path in sorted(set(hidden_files))]
    pairs += [(empty_dir, path) for path in hidden_dirs]
    return subprocess.run(
        ["unshare", "--mount", "--propagation", "private", sys.executable, "-c", HIDING]
        + [os.path.join(installation, "quorvel")]
        + [path for pair in pairs for path in pair],
        capture_output=True,
        text=True,
        timeout=TIMEOUT,
        cwd=scratch,
        env=env,
    )


@unittest.skipUnless(
    os.geteuid() == 0 and shutil.which("unshare"), "needs root for a private mount namespace"
)
class RealApplicationsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.display = None
        if any(app.display for app in APPS.values()):
            cls.server, cls.display = start_xvfb()

    @classmethod
    def tearDownClass(cls):
        if cls.display:
            cls.server.kill()
            cls.server.wait()

    def test_real_applications_run_with_the_system_hidden(self):
        third_party = third_party_entries()
        for name, app in APPS.items():
            with self.subTest(name), tempfile.TemporaryDirectory() as scratch:
                app_dir = os.path.join(scratch, "app")
                write_files(app_dir, app.files)
                installation = copy_installation(scratch)
                result = pack(app_dir, installation, "--path", DIST_PACKAGES)
                self.assertEqual(result.returncode, 0, result.stderr)
                warnings = result.stderr.splitlines()
                self.assertLessEqual(len(warnings), MAX_WARNING_LINES, result.stderr)

                lib = os.path.join(installation, "lib")
                entries = os.listdir(lib)
                metadata = {
                    distribution_name(e) for e in entries if e.endswith((".dist-info", ".egg-info"))
                }
                self.assertEqual(metadata, set(app.distributions))
                # Test suites of the shipped packages stay behind.
                for base, dirs, files in os.walk(lib):
                    top = os.path.relpath(base, lib).split(os.sep)[0]
                    if top in third_party:
                        self.assertNotIn("tests", dirs, base)
                        self.assertNotIn("conftest.py", files, base)

                env = without_display()
                env["HOME"] = scratch
                if app.display:
                    env["DISPLAY"] = self.display
                run = hidden_run(installation, scratch, env, app.hidden_data)
                self.assertEqual((run.returncode, run.stdout), (0, app.expected), run.stderr)


if __name__ == "__main__":
    unittest.main()
