"""End-to-end scenarios of an installed quorvel, one table per group.

Each scenario writes lib/__startup__.py into a private copy of the
installation, runs the launcher as a subprocess and compares the exit status
and everything on standard error (where this platform shows the boxes:
caption, line feed, text, line feed) exactly, byte for byte.

usage: run_scenarios.py GROUP --installed DIR --fault-injection PROGRAM
                        --runpath PROGRAM --probe EXTENSION LIBRARY [unittest options]
"""

import argparse
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zipfile
from typing import Callable, Dict, NamedTuple, Optional, Tuple

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from boxes import FATAL, MAIN_SCRIPT, TERMINATED, UNAVAILABLE  # noqa: E402


def box(caption: str, text: str) -> str:
    return f"{caption}\n{text}\n"


def fatal(message: str) -> str:
    return box(FATAL, message)


def secondary(context: str, exception: str, original: str) -> str:
    return box(UNAVAILABLE, f"{context}\nException: {exception}\nOriginal Exception: {original}")


class Scenario(NamedTuple):
    name: str
    startup: Optional[str]  # source of __startup__.py; None for no application
    status: int
    stderr: str  # @LIB@ and @DIR@ stand for the installation's directories
    args: Tuple[str, ...] = ()
    env: Tuple[Tuple[str, str], ...] = ()  # added to the base environment
    fault: Optional[str] = None  # name:N for the test-only launcher
    program: str = "quorvel"  # or one of the test-only launchers beside it
    stdout: Optional[str] = None  # a file to write standard output to


BOOM = "def run():\n    raise ValueError('boom')\n"
BOOM_TRACEBACK = (
    "Traceback (most recent call last):\n"
    '  File "@LIB@/__startup__.py", line 2, in run\n'
    "    raise ValueError('boom')\n"
    "ValueError: boom\n"
)
NO_TRACEBACK_MODULE = "import sys\nsys.modules['traceback'] = None\n"
UNPRINTABLE = (
    "class Unprintable(Exception):\n    def __str__(self):\n        raise RuntimeError('no str')\n"
)


def raising(expression: str, prelude: str = "") -> str:
    return f"{prelude}def run():\n    raise {expression}\n"


def exiting_with(code: object) -> str:
    return raising(f"SystemExit({code})")


OUTCOMES = [
    Scenario("run returns None", "def run():\n    pass\n", 0, ""),
    Scenario("run returns an object", "def run():\n    return object()\n", 0, ""),
    Scenario(
        "no application",
        None,
        1,
        box(MAIN_SCRIPT, "ModuleNotFoundError: No module named '__startup__'\n"),
    ),
    Scenario(
        "no run",
        "x = 1\n",
        1,
        box(MAIN_SCRIPT, "AttributeError: module '__startup__' has no attribute 'run'\n"),
    ),
    Scenario(
        "import raises",
        "raise KeyError('k')\n",
        1,
        box(
            MAIN_SCRIPT,
            (
                "Traceback (most recent call last):\n"
                '  File "@LIB@/__startup__.py", line 1, in <module>\n'
                "    raise KeyError('k')\n"
                "KeyError: 'k'\n"
            ),
        ),
    ),
    Scenario("ordinary exception", BOOM, 1, box(MAIN_SCRIPT, BOOM_TRACEBACK)),
    Scenario(
        "str caption",
        raising("e", "e = ValueError('boom')\ne.caption = 'Solver'\n"),
        1,
        box(
            "Solver",
            (
                "Traceback (most recent call last):\n"
                '  File "@LIB@/__startup__.py", line 4, in run\n'
                "    raise e\n"
                "ValueError: boom\n"
            ),
        ),
    ),
    Scenario(
        "non-str caption ignored",
        "class Failed(Exception):\n    caption = 42\n" + raising("Failed('x')"),
        1,
        box(
            MAIN_SCRIPT,
            (
                "Traceback (most recent call last):\n"
                '  File "@LIB@/__startup__.py", line 4, in run\n'
                "    raise Failed('x')\n"
                "__startup__.Failed: x\n"
            ),
        ),
    ),
    Scenario(
        "text is the joined format_exception lines",
        "import traceback\ntraceback.format_exception = lambda *a: ['a\\n', 'b', 'c\\n']\n" + BOOM,
        1,
        box(MAIN_SCRIPT, "a\nbc\n"),
    ),
    Scenario(
        "NUL in caption gives the default caption",
        raising("e", "e = ValueError('boom')\ne.caption = 'a\\0b'\n"),
        1,
        box(
            "Error",
            (
                "Traceback (most recent call last):\n"
                '  File "@LIB@/__startup__.py", line 4, in run\n'
                "    raise e\n"
                "ValueError: boom\n"
            ),
        ),
    ),
    Scenario(
        "NUL in text gives an empty text", raising("ValueError('a\\0b')"), 1, box(MAIN_SCRIPT, "")
    ),
    Scenario(
        "installed hook returns",
        (
            "import sys, types\n"
            "def hook(*args):\n"
            "    kind, value, tb = args\n"
            "    print('hook', len(args), kind.__name__, value,\n"
            "          isinstance(tb, types.TracebackType), file=sys.stderr)\n"
            "sys.excepthook = hook\n" + BOOM
        ),
        1,
        "hook 3 ValueError boom True\n",
    ),
    Scenario(
        "installed hook raises",
        "import sys\ndef hook(*args):\n    raise OSError('hook broke')\nsys.excepthook = hook\n"
        + BOOM,
        1,
        secondary("Error in sys.excepthook.", "hook broke", "boom"),
    ),
    Scenario(
        "hook deleted",
        "import sys\ndel sys.excepthook\n" + BOOM,
        1,
        (box(MAIN_SCRIPT, BOOM_TRACEBACK.replace("line 2", "line 4"))),
    ),
    Scenario("SystemExit None", exiting_with(""), 0, ""),
    Scenario("SystemExit 3", exiting_with(3), 3, ""),
    Scenario("SystemExit True", exiting_with(True), 1, ""),
    Scenario("SystemExit False", exiting_with(False), 0, ""),
    Scenario("SystemExit negative", exiting_with(-2), 254, ""),
    Scenario(
        "SystemExit subclass, int code",
        raising("Stop(4)", "class Stop(SystemExit):\n    pass\n"),
        4,
        "",
    ),
    # Beyond 32 bits a code must not wrap to a status that reads as success.
    Scenario("SystemExit 2**31", exiting_with(2**31), 255, ""),
    Scenario("SystemExit 2**32", exiting_with(2**32), 255, ""),
    Scenario("SystemExit 2**32 + 3", exiting_with(2**32 + 3), 255, ""),
    Scenario("SystemExit -2**31 - 1", exiting_with(-(2**31) - 1), 255, ""),
    Scenario("SystemExit 2**70", exiting_with(2**70), 255, ""),
    # Nonzero codes whose low byte, all the status keeps, is zero.
    Scenario("SystemExit 256", exiting_with(256), 255, ""),
    Scenario("SystemExit 512", exiting_with(512), 255, ""),
    Scenario("SystemExit -256", exiting_with(-256), 255, ""),
    Scenario("SystemExit 257 keeps its low byte", exiting_with(257), 1, ""),
    Scenario("SystemExit str", exiting_with("'bye'"), 1, box(TERMINATED, "bye")),
    Scenario(
        "SystemExit str with str caption",
        raising("e", "e = SystemExit('bye')\ne.caption = 'Solver'\n"),
        1,
        box("Solver", "bye"),
    ),
    Scenario(
        "SystemExit str with non-str caption",
        raising("e", "e = SystemExit('bye')\ne.caption = b'x'\n"),
        1,
        box(TERMINATED, "bye"),
    ),
    Scenario(
        "SystemExit code unreadable",
        "class Stop(SystemExit):\n    code = property(lambda self: 1 / 0)\n"
        + raising("Stop('halted')"),
        1,
        box(TERMINATED, "halted"),
    ),
    Scenario(
        "SystemExit code whose str raises",
        UNPRINTABLE + exiting_with("Unprintable()"),
        1,
        fatal("Cannot get string representation of messsage."),
    ),
    # Escaped undecodable bytes reach standard error as the bytes themselves.
    Scenario(
        "box text with escaped bytes",
        exiting_with("b'caf\\xe9 \\xff!'.decode('utf-8', 'surrogateescape')"),
        1,
        box(TERMINATED, "caf\udce9 \udcff!"),
    ),
    Scenario(
        "unwritable output of a run that returns",
        "def run():\n    print('lost')\n",
        120,
        "Exception ignored in: <_io.TextIOWrapper name='<stdout>' mode='w' encoding='utf-8'>\n"
        "OSError: [Errno 28] No space left on device\n",
        stdout="/dev/full",
    ),
    Scenario(
        "unwritable output after SystemExit(0)",
        "def run():\n    print('lost')\n" "    raise SystemExit(0)\n",
        120,
        "Exception ignored in: <_io.TextIOWrapper name='<stdout>' mode='w' encoding='utf-8'>\n"
        "OSError: [Errno 28] No space left on device\n",
        stdout="/dev/full",
    ),
    Scenario(
        "large output that cannot be written",
        "def run():\n    print('x' * 100000)\n",
        1,
        box(
            MAIN_SCRIPT,
            (
                "Traceback (most recent call last):\n"
                '  File "@LIB@/__startup__.py", line 2, in run\n'
                "    print('x' * 100000)\n"
                "OSError: [Errno 28] No space left on device\n"
            ),
        ),
        stdout="/dev/full",
    ),
    Scenario(
        "unwritable output of a failing run keeps its status",
        BOOM.replace("def run():\n", "def run():\n    print('lost')\n"),
        1,
        box(
            MAIN_SCRIPT,
            (
                "Traceback (most recent call last):\n"
                '  File "@LIB@/__startup__.py", line 3, in run\n'
                "    raise ValueError('boom')\n"
                "ValueError: boom\n"
            ),
        )
        + "Exception ignored in: <_io.TextIOWrapper name='<stdout>' mode='w' encoding='utf-8'>\n"
        "OSError: [Errno 28] No space left on device\n",
        stdout="/dev/full",
    ),
]

# Each object that the launcher holds reports its release, and an exit handler
# reports the start of finalisation: a release skipped, repeated or out of
# order changes what standard error shows.
WATCHED = (
    "import atexit, sys, weakref\n"
    "def say(text):\n"
    "    sys.stderr.write(text + '\\n')\n"
    "atexit.register(say, 'finalizing')\n"
)

STOP_RELEASED = (
    "class Stop(SystemExit):\n    def __del__(self):\n        say('exception released')\n"
)

RELEASES = [
    Scenario(
        "result, run and module released in this order, before finalisation",
        WATCHED
        + (
            "class Result:\n"
            "    def __del__(self):\n"
            "        say('result released')\n"
            "class Run:\n"
            "    def __call__(self):\n"
            "        # Leave the launcher's references the only ones.\n"
            "        del globals()['run'], sys.modules['__startup__']\n"
            "        return Result()\n"
            "    def __del__(self):\n"
            "        say('run released')\n"
            "run = Run()\n"
            "sys.watch = weakref.ref(sys.modules[__name__], lambda _: say('module released'))\n"
        ),
        0,
        "result released\nrun released\nmodule released\nfinalizing\n",
    ),
    Scenario(
        "formatted lines released after the box",
        WATCHED
        + (
            "import traceback\n"
            "class Lines(list):\n"
            "    def __del__(self):\n"
            "        say('lines released')\n"
            "traceback.format_exception = lambda *args: Lines(['text\\n'])\n" + BOOM
        ),
        1,
        box(MAIN_SCRIPT, "text\n") + "lines released\nfinalizing\n",
    ),
    Scenario(
        "exception released after the box",
        WATCHED
        + (
            "import traceback\n"
            "traceback.format_exception = lambda *args: ['text\\n']\n"
            "class Boom(Exception):\n"
            "    def __del__(self):\n"
            "        say('exception released')\n"
            "def run():\n"
            "    raise Boom()\n"
        ),
        1,
        box(MAIN_SCRIPT, "text\n") + "exception released\nfinalizing\n",
    ),
    # A SystemExit is reported like any other exception and then finalised
    # by the main flow, so its report holds nothing into finalisation.
    Scenario(
        "SystemExit released before finalisation",
        WATCHED + STOP_RELEASED + raising("Stop(3)"),
        3,
        "exception released\nfinalizing\n",
    ),
    Scenario(
        "SystemExit released after its box, before finalisation",
        WATCHED + STOP_RELEASED + raising("Stop('bye')"),
        1,
        box(TERMINATED, "bye") + "exception released\nfinalizing\n",
    ),
    Scenario(
        "SystemExit released after a fatal box, before finalisation",
        WATCHED + UNPRINTABLE + STOP_RELEASED + raising("Stop(Unprintable())"),
        1,
        fatal("Cannot get string representation of messsage.") + "exception released\nfinalizing\n",
    ),
]

REPORTING_FAILURES = [
    Scenario(
        "traceback unimportable",
        NO_TRACEBACK_MODULE + BOOM,
        1,
        secondary(
            "Cannot import traceback module.",
            "import of traceback halted; None in sys.modules",
            "boom",
        ),
    ),
    Scenario(
        "traceback without format_exception",
        "import traceback\ndel traceback.format_exception\n" + BOOM,
        1,
        secondary(
            "Cannot get format_exception method.",
            "module 'traceback' has no attribute 'format_exception'",
            "boom",
        ),
    ),
    Scenario(
        "format_exception raises",
        "import traceback\ndef broken(*args):\n    raise RuntimeError('fmt')\n"
        "traceback.format_exception = broken\n" + BOOM,
        1,
        secondary("Exception raised when calling format_exception.", "fmt", "boom"),
    ),
    Scenario(
        "format_exception returns what cannot be joined",
        "import traceback\ntraceback.format_exception = lambda *a: [1, 2]\n" + BOOM,
        1,
        secondary(
            "Cannot join exception strings.",
            "sequence item 0: expected str instance, int found",
            "boom",
        ),
    ),
    Scenario(
        "multi-line values make more lines",
        NO_TRACEBACK_MODULE + raising("ValueError('one\\ntwo')"),
        1,
        secondary(
            "Cannot import traceback module.",
            "import of traceback halted; None in sys.modules",
            "one\ntwo",
        ),
    ),
    Scenario(
        "original value whose str raises",
        NO_TRACEBACK_MODULE + UNPRINTABLE + raising("Unprintable()"),
        1,
        fatal("Cannot format exception values."),
    ),
    Scenario(
        "secondary value whose str raises",
        UNPRINTABLE + "import sys\ndef hook(*args):\n    raise Unprintable()\n"
        "sys.excepthook = hook\n" + BOOM,
        1,
        fatal("Cannot format exception values."),
    ),
    Scenario(
        "NUL in the three-line box",
        NO_TRACEBACK_MODULE + raising("ValueError('a\\0b')"),
        1,
        box(UNAVAILABLE, ""),
    ),
]

FAULT_INJECTION = [
    Scenario("no fault requested", "def run():\n    pass\n", 0, ""),
    Scenario(
        "program path unavailable",
        BOOM,
        1,
        fatal("Unable to get executable name!"),
        fault="platform_module_file_name:1",
    ),
    Scenario(
        "library directory refused",
        BOOM,
        1,
        fatal("Unable to change DLL search path!"),
        fault="platform_set_library_directory:1",
    ),
    Scenario(
        "no memory for the search path",
        BOOM,
        1,
        fatal("Out of memory creating sys.path!"),
        fault="PyMem_RawMalloc:1",
    ),
    # The first call decodes the only argument.
    Scenario(
        "search path not decodable",
        BOOM,
        1,
        fatal("Unable to convert path to string!"),
        fault="Py_DecodeLocale:2",
    ),
    # The interpreter has started; its path gets the program's directory first.
    Scenario(
        "no memory for the program's directory in sys.path",
        BOOM,
        1,
        fatal("Out of memory creating sys.path!"),
        fault="PyUnicode_FromWideChar:1",
    ),
    # The loader applies a DT_RUNPATH to the program's own dependencies only.
    Scenario(
        "run path of the newer kind",
        BOOM,
        1,
        fatal("Unable to change DLL search path!"),
        program="quorvel_runpath",
    ),
    Scenario(
        "args tuple",
        BOOM,
        1,
        secondary("Cannot create args tuple.", "", "boom"),
        fault="PyTuple_New:1",
    ),
    Scenario(
        "empty separator",
        BOOM,
        1,
        secondary("Cannot create empty string object.", "", "boom"),
        fault="PyUnicode_FromString:1",
    ),
    Scenario(
        "default caption",
        BOOM,
        1,
        secondary("Cannot create default caption string.", "", "boom"),
        fault="PyUnicode_FromString:2",
    ),
    Scenario(
        "context message",
        NO_TRACEBACK_MODULE + BOOM,
        1,
        fatal("Cannot create context message string object."),
        fault="PyUnicode_FromString:1",
    ),
    Scenario(
        "format string",
        NO_TRACEBACK_MODULE + BOOM,
        1,
        fatal("Cannot create format string object."),
        fault="PyUnicode_FromString:2",
    ),
    Scenario(
        "format args tuple",
        NO_TRACEBACK_MODULE + BOOM,
        1,
        fatal("Cannot create format args tuple."),
        fault="PyTuple_New:2",
    ),
    Scenario(
        "secondary caption",
        NO_TRACEBACK_MODULE + BOOM,
        1,
        fatal("Cannot create caption string object."),
        fault="PyUnicode_FromString:3",
    ),
    Scenario(
        "SystemExit caption",
        exiting_with("'bye'"),
        1,
        fatal("Cannot create caption string object."),
        fault="PyUnicode_FromString:1",
    ),
    # The caption is settled before the code is looked at.
    Scenario(
        "SystemExit caption, code None",
        exiting_with(""),
        1,
        fatal("Cannot create caption string object."),
        fault="PyUnicode_FromString:1",
    ),
]

HOSTILE_ENVIRONMENT = {
    "PYTHONPATH": "@EVIL@",
    "PYTHONHOME": "@EVIL@",
    "PYTHONSTARTUP": "@EVIL@/startup.py",
    "PYTHONINSPECT": "1",
    "PYTHONVERBOSE": "1",
    "PYTHONWARNINGS": "error",
}

CONFINED = (
    "import sys\n"
    "def run():\n"
    "    expected = ['@DIR@', '@LIB@/library.zip', '@LIB@']\n"
    "    facts = (sys.path == expected, 'site' in sys.modules, sys.flags.no_site,\n"
    "             sys.flags.ignore_environment, 'evil' in sys.modules)\n"
    "    if facts != (True, False, 1, 1, False):\n"
    "        raise SystemExit(repr((sys.path, facts)))\n"
)

ARGUMENTS = ("*.txt", "two words", "ünï çødé", "-c", "print(1)", "--", "")

INSTALLATION = [
    Scenario(
        "arguments reach sys.argv unchanged",
        "import sys\ndef run():\n    raise SystemExit(repr((sys.argv, sys.executable)))\n",
        1,
        box(TERMINATED, repr((["given-name", *ARGUMENTS], "@DIR@/quorvel"))),
        args=ARGUMENTS,
    ),
    Scenario(
        "hostile environment changes nothing",
        CONFINED,
        0,
        "",
        env=tuple(HOSTILE_ENVIRONMENT.items()),
    ),
    Scenario(
        "extension module with a dependency in lib",
        "import probe_ext\ndef run():\n    raise SystemExit(probe_ext.answer())\n",
        42,
        "",
    ),
    Scenario(
        "shipped libraries load from lib by name",
        (
            "import ctypes\n"
            "def run():\n"
            "    for name in ('liblinesearch.so', 'libblaswrap.so', 'libcblassub.so'):\n"
            "        ctypes.CDLL(name)\n"
        ),
        0,
        "",
    ),
]


# ---- where code is imported from ------------------------------------------
# The working directory holds code of its own that must never run: a
# __startup__, an encodings package and a json module, each of which would
# announce itself.
INTRUDER = "import sys\nsys.stderr.write('code from the working directory ran\\n')\n"
INTRUDER_FILES = ("__startup__.py", "json.py", "encodings/__init__.py", "forged/quorvel")

WHERE_FROM = (
    "import encodings, json, sys\n"
    "def run():\n"
    "    raise SystemExit(repr((sys.path, sys.argv, json.__file__, encodings.__file__)))\n"
)


def imported_from(argv0: str) -> str:
    return box(
        TERMINATED,
        repr(
            (
                ["@DIR@", "@LIB@/library.zip", "@LIB@"],
                [argv0],
                "@LIB@/library.zip/json/__init__.pyc",
                "@LIB@/library.zip/encodings/__init__.pyc",
            )
        ),
    )


class Start(NamedTuple):
    name: str
    argv0: str  # @DIR@ stands for the installation
    through_path: bool = False  # found through PATH, not by its own path


STARTS = [
    Start("through PATH", "quorvel", through_path=True),
    Start("as ./quorvel, a link to the program", "./quorvel"),
    Start("by full path", "@DIR@/quorvel"),
    Start("forged first argument naming no file", "nothing-here"),
    Start("forged first argument naming a file in the working directory", "__startup__.py"),
    Start("forged first argument naming a file in another directory", "forged/quorvel"),
]

# ---- installations that the interpreter could not start from --------------
SHORT_RUN = "def run():\n    pass\n"
UNOPENED = fatal("Unable to open the runtime archive library.zip!")
DAMAGED = fatal("The runtime archive library.zip is damaged!")


def archive_removed(path: str) -> None:
    os.remove(path)


def archive_emptied(path: str) -> None:
    open(path, "wb").close()


def archive_truncated(path: str) -> None:
    os.truncate(path, os.path.getsize(path) - 10)


def archive_cut_to_its_end_record(path: str) -> None:
    with open(path, "rb") as archive:
        archive.seek(-22, os.SEEK_END)
        record = archive.read()
    with open(path, "wb") as archive:
        archive.write(record)


def archive_replaced_by_directory(path: str) -> None:
    os.remove(path)
    os.mkdir(path)


def archive_commented(path: str) -> None:
    with zipfile.ZipFile(path, "a") as archive:
        archive.comment = b"a comment after the end record"


def directory_entry_damaged(field: int, value: bytes) -> Callable[[str], None]:
    """Damage to the entry halfway through the central directory: value
    written over its field at that offset."""

    def damage(path: str) -> None:
        with open(path, "r+b") as archive:
            data = archive.read()
            end = data.rfind(b"PK\5\6")
            entries, size = struct.unpack_from("<HI", data, end + 10)
            at = end - size
            for _ in range(entries // 2):
                at += 46 + sum(struct.unpack_from("<HHH", data, at + 28))
            archive.seek(at + field)
            archive.write(value)

    return damage


ARCHIVES = [
    ("missing", archive_removed, 1, UNOPENED),
    ("empty", archive_emptied, 1, DAMAGED),
    ("truncated", archive_truncated, 1, DAMAGED),
    ("only its end record", archive_cut_to_its_end_record, 1, DAMAGED),
    ("replaced by a directory", archive_replaced_by_directory, 1, UNOPENED),
    ("with a trailing comment, still sound", archive_commented, 0, ""),
    # The importer would read these directories in part or not at all.
    (
        "with a directory entry's signature damaged",
        directory_entry_damaged(0, b"PK\1\3"),
        1,
        DAMAGED,
    ),
    (
        "with a name running past the directory",
        directory_entry_damaged(28, b"\xff\xff"),
        1,
        DAMAGED,
    ),
    (
        "with a local header past the directory",
        directory_entry_damaged(42, b"\xff\xff\xff\x7f"),
        1,
        DAMAGED,
    ),
]

WHERE_AM_I = "import sys\ndef run():\n    raise SystemExit(repr((sys.path, sys.executable)))\n"


def placed_in(directory: str) -> str:
    """What WHERE_AM_I shows when the launcher runs from directory."""
    lib = os.path.join(directory, "lib")
    return box(
        TERMINATED,
        repr(
            ([directory, os.path.join(lib, "library.zip"), lib], os.path.join(directory, "quorvel"))
        ),
    )


# Directory names, as bytes, that an installation may be moved to, and the
# fatal box that refuses it (None: the launcher runs from there).
DIRECTORIES = [
    (
        "search path delimiter",
        b"app:with:colons",
        fatal("Installation path contains the module search path delimiter!"),
    ),
    ("not UTF-8", b"caf\xe9 \xff\xfe", None),
    ("UTF-8 of a surrogate is not UTF-8", b"x\xed\xa0\x80y", None),
    ("overlong UTF-8 is not UTF-8", b"x\xc0\xafy", None),
    ("UTF-8 cut short", b"x\xe6\x97", None),
    ("valid UTF-8 among invalid bytes", b"\xff" + "日本".encode() + b"\xfe", None),
]


# ---- the runner ------------------------------------------------------------
OPTIONS = argparse.Namespace()


def resolve(text: str, directory: str, evil: str = "") -> str:
    return (
        text.replace("@LIB@", os.path.join(directory, "lib"))
        .replace("@DIR@", directory)
        .replace("@EVIL@", evil)
    )


class LauncherTest(unittest.TestCase):
    """Runs scenarios against private copies of the installation."""

    def setUp(self) -> None:
        workspace = tempfile.TemporaryDirectory(prefix="quorvel-")
        self.addCleanup(workspace.cleanup)
        self.workspace = workspace.name

    def copy_installation(self, name: str = "installation") -> str:
        directory = os.path.join(self.workspace, name)
        shutil.copytree(OPTIONS.installed, directory, symlinks=True)
        for program in (OPTIONS.fault_injection, OPTIONS.runpath):
            shutil.copy2(program, directory)
        return directory

    def install_startup(self, source: Optional[str], directory: str) -> None:
        """Makes source the application's __startup__ (None: no application)."""
        startup = os.path.join(directory, "lib", "__startup__.py")
        # The bytecode cache knows a source by its size and whole-second
        # time only: a row written within the second of the previous one, at
        # the same size, would run the previous row's code.
        shutil.rmtree(os.path.join(directory, "lib", "__pycache__"), ignore_errors=True)
        if source is None:
            if os.path.exists(startup):
                os.remove(startup)
        else:
            with open(startup, "w", encoding="utf-8") as out:
                out.write(resolve(source, directory))

    def launch(
        self,
        scenario: Scenario,
        directory: str,
        argv0: Optional[str] = None,
        cwd: Optional[str] = None,
        env: Optional[Dict[str, str]] = None,
        through_path: bool = False,
    ) -> subprocess.CompletedProcess:
        self.install_startup(scenario.startup, directory)
        evil = os.path.join(self.workspace, "evil")
        environment = {
            "PATH": "/usr/bin:/bin",
            # Whatever the locale says, file names and arguments are UTF-8.
            "LC_ALL": "C",
        }
        environment.update({k: resolve(v, directory, evil) for k, v in scenario.env})
        environment.update(env or {})
        program = scenario.program
        if scenario.fault:
            program = os.path.basename(OPTIONS.fault_injection)
            environment["QUORVEL_FAIL"] = scenario.fault
        elif program != "quorvel":
            program = os.path.basename(OPTIONS.runpath)
        path = os.path.join(directory, program)
        if argv0 is None:
            argv0 = "given-name" if scenario.args else path
        with open(scenario.stdout or os.devnull, "wb") as stdout:
            # Through PATH, the lookup in the environment's PATH finds the program.
            executable = None if through_path else path
            return subprocess.run(
                [argv0, *scenario.args],
                executable=executable,
                env=environment,
                cwd=cwd,
                stdin=subprocess.DEVNULL,
                stdout=stdout,
                stderr=subprocess.PIPE,
                timeout=120,
            )

    def check(self, scenario: Scenario, directory: str, **launch_options) -> None:
        result = self.launch(scenario, directory, **launch_options)
        expected = resolve(scenario.stderr, directory).encode("utf-8", "surrogateescape")
        self.assertEqual((result.returncode, result.stderr), (scenario.status, expected))

    def check_table(self, table) -> None:
        directory = self.copy_installation()
        for scenario in table:
            with self.subTest(scenario.name):
                self.check(scenario, directory)


class Outcomes(LauncherTest):
    def test_outcomes(self) -> None:
        self.check_table(OUTCOMES)

    def test_releases(self) -> None:
        self.check_table(RELEASES)

    def test_large_box_in_few_writes(self) -> None:
        """88 KB of box text, characters of every UTF-8 length and escaped
        bytes across every buffer boundary, reach standard error unchanged
        in a few writes, not one per character."""
        directory = self.copy_installation()
        piece = "a\u00e9\u20ac\U0001f600\udcff"  # 11 bytes on standard error
        self.install_startup(
            "def run():\n"
            "    piece = 'a\\u00e9\\u20ac\\U0001f600'\n"
            "    piece += b'\\xff'.decode('utf-8', 'surrogateescape')\n"
            "    raise SystemExit(piece * 8000)\n",
            directory,
        )
        calls = os.path.join(self.workspace, "calls")
        result = subprocess.run(
            ["strace", "-f", "-qq", "-e", "trace=write", "-o", calls, f"{directory}/quorvel"],
            # A sanitizer build's leak check cannot run under a tracer.
            env={"PATH": "/usr/bin:/bin", "LC_ALL": "C", "ASAN_OPTIONS": "detect_leaks=0"},
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
            timeout=120,
        )
        expected = box(TERMINATED, piece * 8000).encode("utf-8", "surrogateescape")
        self.assertEqual((result.returncode, result.stderr), (1, expected))
        with open(calls) as log:
            writes = [line for line in log if re.search(r"\bwrite\(2,", line)]
        self.assertLess(len(writes), 100, f"{len(writes)} writes for {len(expected)} bytes")


class ReportingFailures(LauncherTest):
    def test_reporting_failures(self) -> None:
        self.check_table(REPORTING_FAILURES)


class FaultInjection(LauncherTest):
    def test_fault_injection(self) -> None:
        self.check_table(FAULT_INJECTION)


class Installation(LauncherTest):
    def setUp(self) -> None:
        super().setUp()
        self.directory = self.copy_installation()
        for built in OPTIONS.probe:
            shutil.copy2(built, os.path.join(self.directory, "lib"))

    def test_installation(self) -> None:
        evil = os.path.join(self.workspace, "evil")
        os.makedirs(os.path.join(evil, "lib"))
        for name in ("evil.py", "startup.py", "__startup__.py", "site.py", "sitecustomize.py"):
            with open(os.path.join(evil, name), "w") as out:
                out.write("import sys\nsys.stderr.write('environment obeyed\\n')\n")
        for scenario in INSTALLATION:
            with self.subTest(scenario.name):
                self.check(scenario, self.directory)

    def test_layout(self) -> None:
        lib = os.path.join(self.directory, "lib")
        present = set(os.listdir(lib))
        runtimes = interpreter_runtimes(os.path.join(self.directory, "quorvel"))
        expected = {
            "library.zip",
            "quorvel-runtime.json",
            "liblinesearch.so",
            "libblaswrap.so",
            "libcblassub.so",
            *runtimes,
        }
        self.assertEqual(expected - present, set(), "installed files")
        # The interpreter's shared library is shipped only when the program links it.
        self.assertEqual(
            {name for name in present if name.startswith("libpython")},
            runtimes,
            "interpreter library shipped",
        )
        self.assertTrue(
            any(name.startswith("_ctypes.") for name in present), "extension modules installed"
        )
        with open(os.path.join(self.directory, "quorvel"), "rb") as program:
            self.assertNotIn(
                b"QUORVEL_FAIL", program.read(), "shipped program has no fault injection"
            )
        with zipfile.ZipFile(os.path.join(lib, "library.zip")) as archive:
            names = archive.namelist()
        self.assertEqual(
            [n for n in names if not n.endswith(".pyc")], [], "archive holds bytecode only"
        )
        left_out = ("test/", "idlelib/", "tkinter/", "ensurepip/", "site-packages/")
        self.assertEqual(
            [n for n in names if n.startswith(left_out)], [], "archive leaves out tests and tools"
        )
        self.assertEqual(
            {
                "encodings/__init__.pyc",
                "encodings/utf_8.pyc",
                "traceback.pyc",
                "ctypes/__init__.pyc",
                "linecache.pyc",
            }
            - set(names),
            set(),
            "archive has what start-up and reporting need",
        )

    def test_moved_installation(self) -> None:
        where_am_i = Scenario(
            "",
            "import sys\ndef run():\n    raise SystemExit(repr(sys.path[1:]))\n",
            1,
            box(TERMINATED, repr(["@LIB@/library.zip", "@LIB@"])),
        )
        moved = os.path.join(self.workspace, "moved elsewhere")
        os.rename(self.directory, moved)
        with self.subTest("moved installation"):
            self.check(where_am_i, moved)
        foreign = os.path.join(self.workspace, "Prüfung é ü 日本 dir")
        os.rename(moved, foreign)
        locales = os.path.join(self.workspace, "locales")
        # A locale that the system really has and whose code page cannot
        # hold the directory's name; the interpreter runs in it.
        latin1 = "de_DE.ISO-8859-1"
        os.makedirs(locales)
        subprocess.run(
            ["localedef", "-i", "de_DE", "-f", "ISO-8859-1", os.path.join(locales, latin1)],
            capture_output=True,
        )
        self.assertTrue(os.path.isdir(os.path.join(locales, latin1)), "localedef made no locale")
        arguments = ("ünï 日本",)
        for locale, observed in (
            ("C", "C"),
            ("POSIX", "C"),
            ("C.UTF-8", "C.UTF-8"),
            (latin1, latin1),
        ):
            where_in_locale = Scenario(
                "",
                "import locale, sys\ndef run():\n"
                "    raise SystemExit(repr((sys.path[1:], sys.argv[1:],"
                " sys.getfilesystemencoding(), locale.setlocale(locale.LC_CTYPE))))\n",
                1,
                box(
                    TERMINATED,
                    repr((["@LIB@/library.zip", "@LIB@"], list(arguments), "utf-8", observed)),
                ),
                args=arguments,
            )
            with self.subTest(f"non-ASCII directory and argument, locale {locale}"):
                env = {"LC_ALL": locale, "LANG": locale, "LOCPATH": locales}
                self.check(where_in_locale, foreign, env=env)

    def test_long_paths(self) -> None:
        """The program path buffer holds 256 characters; the search path text
        1056 bytes. Whatever does not fit is refused, never cut short."""
        cases = [
            ("program path of 256 characters", 256, "ü", 0, ""),
            (
                "program path of 257 characters",
                257,
                "ü",
                1,
                fatal("Unable to get executable name!"),
            ),
            (
                "search path text beyond its buffer",
                250,
                "日",
                1,
                fatal("Unable to convert path to string!"),
            ),
        ]
        for name, length, filler, status, stderr in cases:
            with self.subTest(name):
                directory = long_directory(
                    os.path.join(self.workspace, name.replace(" ", "_")), length, filler
                )
                os.makedirs(directory)
                shutil.copy2(os.path.join(self.directory, "quorvel"), directory)
                os.symlink(os.path.join(self.directory, "lib"), os.path.join(directory, "lib"))
                self.assertEqual(len(os.path.join(directory, "quorvel")), length)
                self.check(Scenario(name, SHORT_RUN, status, stderr), directory)


class Hardening(LauncherTest):
    def test_code_from_the_working_directory_never_runs(self) -> None:
        directory = self.copy_installation()
        cwd = os.path.join(self.workspace, "working directory")
        for name in INTRUDER_FILES:
            os.makedirs(os.path.dirname(os.path.join(cwd, name)), exist_ok=True)
            with open(os.path.join(cwd, name), "w") as out:
                out.write(INTRUDER)
        os.symlink(os.path.join(directory, "quorvel"), os.path.join(cwd, "quorvel"))
        for start in STARTS:
            with self.subTest(start.name):
                argv0 = resolve(start.argv0, directory)
                env = {"PATH": f"{directory}:/usr/bin:/bin"} if start.through_path else None
                scenario = Scenario(start.name, WHERE_FROM, 1, imported_from(argv0))
                self.check(
                    scenario,
                    directory,
                    argv0=argv0,
                    cwd=cwd,
                    env=env,
                    through_path=start.through_path,
                )

    def test_closed_standard_descriptors(self) -> None:
        """Started with standard descriptors closed, the files the application
        opens must not take their numbers and receive the box."""
        directory = self.copy_installation()
        names = ("first", "second", "third")
        opens_then_fails = (
            "import os\n"
            "kept = []\n"
            "def run():\n"
            f"    for name in {names!r}:\n"
            "        kept.append(open(os.path.join('@DIR@', name), 'w'))\n"
            "        kept[-1].write(name + '\\n')\n"
            "        kept[-1].flush()\n"
            "    raise ValueError('boom')\n"
        )
        self.install_startup(opens_then_fails, directory)
        for closed in ((2,), (0, 2), (0, 1, 2)):
            with self.subTest(f"descriptors {closed} closed"):
                result = subprocess.run(
                    [os.path.join(directory, "quorvel")],
                    env={"PATH": "/usr/bin:/bin", "LC_ALL": "C"},
                    preexec_fn=lambda: [os.close(fd) for fd in closed],
                    timeout=120,
                )
                contents = []
                for name in names:
                    with open(os.path.join(directory, name), "rb") as opened:
                        contents.append(opened.read())
                self.assertEqual(
                    (result.returncode, contents),
                    (1, [name.encode() + b"\n" for name in names]),
                )

    def test_damaged_runtime_archive(self) -> None:
        for name, damage, status, stderr in ARCHIVES:
            with self.subTest(f"library.zip {name}"):
                directory = self.copy_installation(name.replace(" ", "_"))
                damage(os.path.join(directory, "lib", "library.zip"))
                self.check(Scenario(name, SHORT_RUN, status, stderr), directory)

    def test_installation_directory_names(self) -> None:
        directory = self.copy_installation()
        for name, directory_name, refusal in DIRECTORIES:
            with self.subTest(name):
                target = os.path.join(self.workspace, os.fsdecode(directory_name))
                os.rename(directory, target)
                directory = target
                scenario = Scenario(name, WHERE_AM_I, 1, refusal or placed_in(directory))
                self.check(scenario, directory)


def interpreter_runtimes(program: str) -> set:
    """The interpreter's shared libraries that program names, which the
    installation must hold (none when it carries the interpreter itself)."""
    dynamic = subprocess.run(
        ["readelf", "-d", program], capture_output=True, text=True, check=True
    ).stdout
    return {
        line.split("[", 1)[1].rstrip("]")
        for line in dynamic.splitlines()
        if "(NEEDED)" in line and "[libpython" in line
    }


def long_directory(workspace: str, length: int, filler: str) -> str:
    """A directory whose path, with /quorvel, has exactly length characters."""
    base = os.path.join(workspace, "long")
    remaining = length - len(base) - len("/quorvel")
    parts = []
    while remaining > 0:
        size = min(remaining - 1, 60)
        parts.append(filler * size)
        remaining -= size + 1
    assert remaining == 0 and all(parts), "choose another length"
    return os.path.join(base, *parts)


GROUPS = {
    "outcomes": Outcomes,
    "reporting_failures": ReportingFailures,
    "fault_injection": FaultInjection,
    "installation": Installation,
    "hardening": Hardening,
}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("group", choices=GROUPS)
    parser.add_argument("--installed", required=True)
    parser.add_argument("--fault-injection", required=True)
    parser.add_argument("--runpath", required=True)
    parser.add_argument("--probe", nargs=2, required=True)
    options = parser.parse_args()
    vars(OPTIONS).update(vars(options))
    suite = unittest.defaultTestLoader.loadTestsFromTestCase(GROUPS[options.group])
    runner = unittest.TextTestRunner(verbosity=2)
    sys.exit(0 if runner.run(suite).wasSuccessful() else 1)


if __name__ == "__main__":
    main()
