"""The error boxes as dialogs on a desktop, under a virtual X server.

Each case runs an installed quorvel whose application fails; the dialog must
appear as a visible window titled with the box's caption, keep the program
waiting until a real key press (Return) closes it, and leave the exit status
and the box on standard error exactly as without a display. Runs without a
usable display, without GTK or without the dialog program must give standard
error only, at once; a display that never answers, after a few seconds. An
interruption (Ctrl-C, SIGTERM) ends the dialog and the program with status 1.

usage: error_dialog_test.py --installed DIR [--screenshot FILE] [unittest options]
"""

import argparse
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from boxes import FATAL, MAIN_SCRIPT, TERMINATED  # noqa: E402
from virtual_display import shared_display, start_xvfb  # noqa: E402
from x_windows import (  # noqa: E402
    TIMEOUT,
    colour_count,
    desktop_environment,
    press_key,
    screenshot,
    stop,
    visible_windows,
    wait_for_no_window,
    wait_for_window,
)

INSTALLED = None
SCREENSHOT = None
PROMPTLY = 10  # seconds within which a run must end that has no dialog to wait for
HELPER = "quorvel-dialog"  # the program beside quorvel that shows the dialog

BOOM = "def run():\n    raise ValueError('boom')\n"
# The hook fails, and so does the str of its exception: the fatal box.
FATAL_REPORT = (
    "class Unprintable(Exception):\n"
    "    def __str__(self):\n"
    "        raise RuntimeError('no str')\n"
    "import sys\n"
    "def hook(*args):\n"
    "    raise Unprintable()\n"
    "sys.excepthook = hook\n" + BOOM
)
# Markup that must stay literal, an undecodable byte and a traceback far
# longer than a dialog may show.
AWKWARD = (
    "class Failure(Exception):\n"
    "    caption = 'Résumé <b>[failed]</b> & \\udcff'\n"
    "def run():\n"
    "    raise Failure('<i>not italic</i> \\udcfe ' + 'x' * 300000)\n"
)


def traceback_box(caption, lines):
    return f"{caption}\nTraceback (most recent call last):\n{lines}\n"


# name, __startup__.py, caption, exit status, standard error (@LIB@: the
# installation's lib directory)
CASES = [
    (
        "traceback box",
        BOOM,
        MAIN_SCRIPT,
        1,
        traceback_box(
            MAIN_SCRIPT,
            '  File "@LIB@/__startup__.py", line 2, in run\n'
            "    raise ValueError('boom')\n"
            "ValueError: boom\n",
        ),
    ),
    (
        "SystemExit box",
        "def run():\n    raise SystemExit('bye')\n",
        TERMINATED,
        1,
        f"{TERMINATED}\nbye\n",
    ),
    ("fatal box", FATAL_REPORT, FATAL, 1, f"{FATAL}\nCannot format exception values.\n"),
    # A caption holding NUL has no wide form: the box gets none.
    (
        "null caption",
        "class Failure(Exception):\n    caption = 'a\\0b'\n"
        "def run():\n    raise Failure('boom')\n",
        "Error",
        1,
        traceback_box(
            "Error",
            '  File "@LIB@/__startup__.py", line 4, in run\n'
            "    raise Failure('boom')\n"
            "__startup__.Failure: boom\n",
        ),
    ),
]


# label, signal, sent to the program's whole process group (as a terminal
# sends Ctrl-C to its foreground job) or to the program alone
INTERRUPTIONS = [
    ("Ctrl-C at the terminal", signal.SIGINT, True),
    ("SIGINT to the program", signal.SIGINT, False),
    ("SIGTERM to the program", signal.SIGTERM, False),
    ("SIGTERM to the process group", signal.SIGTERM, True),
]


def children(pid):
    """Process ids whose parent is pid."""
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat") as stat:
                # The command name, in parentheses, may hold spaces.
                parent = stat.read().rpartition(")")[2].split()[1]
        except (OSError, IndexError):
            continue
        if parent == str(pid):
            found.append(int(entry))
    return found


def build_library(path, soname):
    """A shared library of that soname that defines nothing anyone needs."""
    source = path + ".c"
    with open(source, "w") as out:
        out.write("int quorvel_test_placeholder;\n")
    subprocess.run(
        ["cc", "-shared", "-fPIC", f"-Wl,-soname,{soname}", "-o", path, source],
        check=True,
        timeout=TIMEOUT,
    )
    os.unlink(source)


class Fixture(unittest.TestCase):
    def setUp(self):
        self.workspace = tempfile.mkdtemp(prefix="quorvel-dialog-")
        self.addCleanup(shutil.rmtree, self.workspace, ignore_errors=True)
        self.installation = os.path.join(self.workspace, "installation")
        shutil.copytree(INSTALLED, self.installation, symlinks=True)
        self.home = os.path.join(self.workspace, "home")
        os.makedirs(self.home)
        self.lib = os.path.join(self.installation, "lib")

    def write_startup(self, source):
        # The bytecode cache goes too: a source of the same size written
        # within the same second would otherwise run the previous one's code.
        shutil.rmtree(os.path.join(self.lib, "__pycache__"), ignore_errors=True)
        with open(os.path.join(self.lib, "__startup__.py"), "w", encoding="utf-8") as out:
            out.write(source)

    def start(self, command, environment, own_group=False):
        """own_group: the program leads a process group of its own, as a
        terminal's foreground job does."""
        # Standard error goes to a file: a pipe would hold up a long box
        # before its dialog appears.
        self.stderr = tempfile.TemporaryFile(dir=self.workspace)
        self.addCleanup(self.stderr.close)
        program = subprocess.Popen(
            command,
            env=environment,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=self.stderr,
            process_group=0 if own_group else None,
        )
        self.addCleanup(stop, program)
        return program

    def finish(self, program, timeout=TIMEOUT):
        try:
            program.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            pass
        if program.returncode is None:
            stop(program)  # and its dialog, which the next case would take for its own
            self.fail(f"the program still runs after {timeout} seconds")
        self.stderr.seek(0)
        return program.returncode, self.stderr.read().decode("utf-8", "backslashreplace")

    def expected(self, text):
        return text.replace("@LIB@", self.lib)


class DialogOnADisplay(Fixture):
    @classmethod
    def setUpClass(cls):
        cls.display = shared_display(cls)

    def start_dialog(self, source, caption, own_group=False):
        """Runs the case up to its dialog: (program, dialog's window)."""
        self.write_startup(source)
        program = self.start(
            [os.path.join(self.installation, "quorvel")],
            desktop_environment(self.home, DISPLAY=self.display),
            own_group,
        )
        window = wait_for_window(self.display, caption, program)
        self.assertIsNotNone(window, f"no window titled {caption!r}")
        return program, window

    def show_and_close(self, source, caption):
        """Runs the case up to its dialog, checks it, closes it with Return."""
        program, window = self.start_dialog(source, caption)
        # Modal: the program waits for the user.
        time.sleep(0.3)
        self.assertIsNone(program.poll(), "the program went on with the dialog open")
        press_key(self.display, window, "Return")
        return window, program

    def test_each_box_waits_for_the_user_and_keeps_standard_error(self):
        for name, source, caption, status, stderr in CASES:
            with self.subTest(name):
                _, program = self.show_and_close(source, caption)
                self.assertEqual((status, self.expected(stderr)), self.finish(program))
                self.assertEqual([], visible_windows(self.display))

    def test_dialog_shows_its_text(self):
        """A screenshot of the traceback box: the window is drawn, not blank."""
        name, source, caption, status, stderr = CASES[0]
        program, window = self.start_dialog(
            source.replace("'boom'", "'the value was not what run() expected'"), caption
        )
        time.sleep(0.5)  # let it draw
        picture = os.path.join(self.workspace, "dialog.png")
        image = screenshot(self.display, window, picture)
        self.assertGreater(colour_count(image), 8, "the dialog's window is blank")
        if SCREENSHOT:
            shutil.copyfile(picture, SCREENSHOT)
        press_key(self.display, window, "Return")
        self.assertEqual(status, self.finish(program)[0])

    def test_awkward_text_and_caption(self):
        """Markup stays literal, undecodable bytes and a huge text break nothing."""
        caption = "Résumé <b>[failed]</b> & \ufffd"
        _, program = self.show_and_close(AWKWARD, caption)
        status, stderr = self.finish(program)
        self.assertEqual(1, status)
        self.assertTrue(stderr.startswith("Résumé <b>[failed]</b> & \\xff\nTraceback"), stderr[:80])
        self.assertTrue(stderr.endswith("x" * 300000 + "\n\n"))

    def test_dialog_without_standard_error(self):
        """Started from a menu, a program may have no standard error at all."""
        name, source, caption, status, _ = CASES[0]
        self.write_startup(source)
        program = self.start(
            ["sh", "-c", 'exec "$0" 2>&-', os.path.join(self.installation, "quorvel")],
            desktop_environment(self.home, DISPLAY=self.display),
        )
        window = wait_for_window(self.display, caption, program)
        self.assertIsNotNone(window, "no dialog")
        press_key(self.display, window, "Return")
        self.assertEqual((status, ""), self.finish(program))

    def test_interruption_ends_dialog_and_program(self):
        """Ctrl-C or SIGTERM while the dialog is up: both go, status 1."""
        name, source, caption, status, stderr = CASES[0]
        for label, number, whole_group in INTERRUPTIONS:
            with self.subTest(label):
                program, _ = self.start_dialog(source, caption, own_group=True)
                if whole_group:
                    os.killpg(program.pid, number)
                else:
                    program.send_signal(number)
                self.assertEqual((1, self.expected(stderr)), self.finish(program, PROMPTLY))
                self.assertEqual([], wait_for_no_window(self.display))

    def test_without_the_dialog_program_standard_error_only(self):
        """The dialog program missing, unusable, or gone while it shows: the
        box stays on standard error alone, and the run ends as after it."""
        name, source, caption, status, stderr = CASES[0]
        helper = os.path.join(self.installation, HELPER)
        with self.subTest("killed while it shows"):
            program, _ = self.start_dialog(source, caption)
            dialog = children(program.pid)
            self.assertEqual(1, len(dialog), "the dialog's own process")
            os.kill(dialog[0], signal.SIGKILL)
            self.assertEqual((status, self.expected(stderr)), self.finish(program, PROMPTLY))
        self.write_startup(source)
        command = [os.path.join(self.installation, "quorvel")]
        environment = desktop_environment(self.home, DISPLAY=self.display)
        with self.subTest("not executable"):
            os.chmod(helper, 0o644)
            program = self.start(command, environment)
            self.assertEqual((status, self.expected(stderr)), self.finish(program, PROMPTLY))
            os.chmod(helper, 0o755)
        with self.subTest("missing"):
            os.unlink(helper)
            program = self.start(command, environment)
            self.assertEqual((status, self.expected(stderr)), self.finish(program, PROMPTLY))

    def test_dialog_despite_an_incompatible_bundled_library(self):
        """lib/ holds a library that GTK needs, in a form GTK cannot use: the
        dialog still shows, even when the environment names lib/."""
        library = os.path.join(self.lib, "libffi.so.8")
        build_library(library, "libffi.so.8")
        name, source, caption, status, stderr = CASES[0]
        point_at_lib = (
            "import os\n"
            f"os.environ['LD_LIBRARY_PATH'] = {self.lib!r}\n"
            f"os.environ['LD_PRELOAD'] = {library!r}\n"
        )
        for label, startup in [
            ("bundled library only", source),
            ("the application points the loader at lib/", source + point_at_lib),
        ]:
            with self.subTest(label):
                _, program = self.show_and_close(startup, caption)
                self.assertEqual((status, self.expected(stderr)), self.finish(program))

    def test_without_gtk_standard_error_only(self):
        """GTK absent from the system: the run ends at once, as without a display."""
        gtk = subprocess.run(["/sbin/ldconfig", "-p"], capture_output=True, text=True).stdout
        path = re.search(r"libgtk-3\.so\.0 \(libc6,x86-64\) => (\S+)", gtk)
        self.assertIsNotNone(path, "libgtk-3.so.0 is not installed")
        self.write_startup(BOOM)
        name, _, caption, status, stderr = CASES[0]
        # The library replaced by an empty file in a private mount namespace.
        command = [
            "unshare",
            "--mount",
            "--propagation",
            "private",
            "sh",
            "-c",
            'mount --bind /dev/null "$1" && exec "$2"',
            "sh",
            path.group(1),
            os.path.join(self.installation, "quorvel"),
        ]
        program = self.start(command, desktop_environment(self.home, DISPLAY=self.display))
        self.assertEqual((status, self.expected(stderr)), self.finish(program))


class DisplayThatNeverAnswers(Fixture):
    def silent_displays(self):
        """(label, environment) of displays that take a connection and then
        say nothing: a stopped X server and a Wayland socket nobody serves."""
        server, display = start_xvfb()
        self.addCleanup(server.wait)
        self.addCleanup(server.terminate)
        self.addCleanup(os.kill, server.pid, signal.SIGCONT)
        os.kill(server.pid, signal.SIGSTOP)
        listener = socket.socket(socket.AF_UNIX)
        self.addCleanup(listener.close)
        listener.bind(os.path.join(self.home, "wayland-silent"))
        listener.listen()
        return [
            ("stopped X server", {"DISPLAY": display}),
            ("Wayland socket that never answers", {"WAYLAND_DISPLAY": "wayland-silent"}),
        ]

    def test_gives_up_and_leaves_standard_error(self):
        name, source, caption, status, stderr = CASES[0]
        self.write_startup(source)
        for label, extra in self.silent_displays():
            with self.subTest(label):
                program = self.start(
                    [os.path.join(self.installation, "quorvel")],
                    desktop_environment(self.home, **extra),
                )
                self.assertEqual((status, self.expected(stderr)), self.finish(program))


class NoDialog(Fixture):
    def test_no_usable_display_gives_standard_error_only(self):
        environments = [
            ("no display variable", {}),
            ("empty variables", {"DISPLAY": "", "WAYLAND_DISPLAY": ""}),
            ("X display that does not exist", {"DISPLAY": ":9999"}),
            ("Wayland display that does not exist", {"WAYLAND_DISPLAY": "quorvel-none"}),
        ]
        for label, extra in environments:
            for name, source, caption, status, stderr in CASES:
                with self.subTest(f"{label}, {name}"):
                    self.write_startup(source)
                    program = self.start(
                        [os.path.join(self.installation, "quorvel")],
                        desktop_environment(self.home, **extra),
                    )
                    self.assertEqual((status, self.expected(stderr)), self.finish(program))

    def test_programs_do_not_link_gtk_nor_the_dialog_anything_of_lib(self):
        """The dialog program has no run path and needs the C library alone
        (and a sanitizer build's runtimes): nothing in lib/ can reach it."""
        needed, _ = dynamic_section(os.path.join(self.installation, "quorvel"))
        self.assertTrue(needed)
        self.assertEqual([], [n for n in needed if re.match(r"lib(gtk|gdk|glib|gobject)", n)])
        needed, search_paths = dynamic_section(os.path.join(self.installation, HELPER))
        self.assertEqual([], search_paths)
        self.assertIn("libc.so.6", needed)
        self.assertEqual([], [n for n in needed if not re.match(r"lib(c|asan|ubsan)\.so\.", n)])


def dynamic_section(path):
    """(needed libraries, run paths) of an ELF file."""
    dynamic = subprocess.run(
        ["readelf", "--dynamic", path], capture_output=True, text=True, check=True
    ).stdout
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.*)\]", dynamic)
    return needed, re.findall(r"\((?:RPATH|RUNPATH)\)\s+Library \w+: \[(.*)\]", dynamic)


def main():
    global INSTALLED, SCREENSHOT
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--installed", required=True)
    parser.add_argument("--screenshot", help="also keep the dialog's screenshot as this file")
    options, rest = parser.parse_known_args()
    INSTALLED = options.installed
    SCREENSHOT = options.screenshot
    unittest.main(argv=[sys.argv[0], *rest])


if __name__ == "__main__":
    main()
