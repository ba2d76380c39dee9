"""End-to-end scenarios of an installed quorvel, one table per group.

Each scenario writes lib/__startup__.py into a private copy of the
installation, runs the launcher as a subprocess and compares the exit status
and everything on standard error (where this platform shows the boxes:
caption, line feed, text, line feed) exactly.

usage: run_scenarios.py GROUP --installed DIR --fault-injection PROGRAM
                        --probe EXTENSION LIBRARY
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile
from typing import NamedTuple

FATAL = "Zundrel Fatal Error"
TERMINATED = "Zundrel: Application Terminated"
MAIN_SCRIPT = "Zundrel: Python error in main script"
UNAVAILABLE = "Zundrel: Python error in main script (traceback unavailable)"


def box(caption, text):
    return f"{caption}\n{text}\n"


def fatal(message):
    return box(FATAL, message)


def secondary(context, exception, original):
    return box(UNAVAILABLE, f"{context}\nException: {exception}\nOriginal Exception: {original}")


class Scenario(NamedTuple):
    name: str
    startup: str  # source of __startup__.py; None for no application
    status: int
    stderr: str  # @LIB@ stands for the installation's lib directory
    args: tuple = ()
    env: dict = {}
    fault: str = None  # name:N for the test-only launcher


BOOM = "def run():\n    raise ValueError('boom')\n"
BOOM_TRACEBACK = (
    "Traceback (most recent call last):\n"
    '  File "@LIB@/__startup__.py", line 2, in run\n'
    "    raise ValueError('boom')\n"
    "ValueError: boom\n"
)
NO_TRACEBACK_MODULE = "import sys\nsys.modules['traceback'] = None\n"
UNPRINTABLE = "class Unprintable(Exception):\n    def __str__(self):\n        raise RuntimeError('no str')\n"


def raising(expression, prelude=""):
    return f"{prelude}def run():\n    raise {expression}\n"


def exiting_with(code):
    return raising(f"SystemExit({code})")


OUTCOMES = [
    Scenario("run returns None", "def run():\n    pass\n", 0, ""),
    Scenario("run returns an object", "def run():\n    return object()\n", 0, ""),
    Scenario("no application", None, 1,
             box(MAIN_SCRIPT, "ModuleNotFoundError: No module named '__startup__'\n")),
    Scenario("no run", "x = 1\n", 1,
             box(MAIN_SCRIPT, "AttributeError: module '__startup__' has no attribute 'run'\n")),
    Scenario("import raises", "raise KeyError('k')\n", 1, box(MAIN_SCRIPT, (
        "Traceback (most recent call last):\n"
        '  File "@LIB@/__startup__.py", line 1, in <module>\n'
        "    raise KeyError('k')\n"
        "KeyError: 'k'\n"))),
    Scenario("ordinary exception", BOOM, 1, box(MAIN_SCRIPT, BOOM_TRACEBACK)),
    Scenario("str caption", raising("e", "e = ValueError('boom')\ne.caption = 'Solver'\n"), 1,
             box("Solver", (
                 "Traceback (most recent call last):\n"
                 '  File "@LIB@/__startup__.py", line 4, in run\n'
                 "    raise e\n"
                 "ValueError: boom\n"))),
    Scenario("non-str caption ignored",
             "class Failed(Exception):\n    caption = 42\n" + raising("Failed('x')"), 1,
             box(MAIN_SCRIPT, (
                 "Traceback (most recent call last):\n"
                 '  File "@LIB@/__startup__.py", line 4, in run\n'
                 "    raise Failed('x')\n"
                 "__startup__.Failed: x\n"))),
    Scenario("text is the joined format_exception lines",
             "import traceback\ntraceback.format_exception = lambda *a: ['a\\n', 'b', 'c\\n']\n" + BOOM,
             1, box(MAIN_SCRIPT, "a\nbc\n")),
    Scenario("NUL in caption gives the default caption",
             raising("e", "e = ValueError('boom')\ne.caption = 'a\\0b'\n"), 1,
             box("Error", (
                 "Traceback (most recent call last):\n"
                 '  File "@LIB@/__startup__.py", line 4, in run\n'
                 "    raise e\n"
                 "ValueError: boom\n"))),
    Scenario("NUL in text gives an empty text", raising("ValueError('a\\0b')"), 1,
             box(MAIN_SCRIPT, "")),
    Scenario("installed hook returns", (
        "import sys, types\n"
        "def hook(*args):\n"
        "    kind, value, tb = args\n"
        "    print('hook', len(args), kind.__name__, value, isinstance(tb, types.TracebackType),\n"
        "          file=sys.stderr)\n"
        "sys.excepthook = hook\n" + BOOM), 1, "hook 3 ValueError boom True\n"),
    Scenario("installed hook raises",
             "import sys\ndef hook(*args):\n    raise OSError('hook broke')\nsys.excepthook = hook\n"
             + BOOM, 1, secondary("Error in sys.excepthook.", "hook broke", "boom")),
    Scenario("hook deleted", "import sys\ndel sys.excepthook\n" + BOOM, 1, (
        box(MAIN_SCRIPT, BOOM_TRACEBACK.replace("line 2", "line 4")))),
    Scenario("SystemExit None", exiting_with(""), 0, ""),
    Scenario("SystemExit 3", exiting_with(3), 3, ""),
    Scenario("SystemExit True", exiting_with(True), 1, ""),
    Scenario("SystemExit False", exiting_with(False), 0, ""),
    Scenario("SystemExit negative", exiting_with(-2), 254, ""),
    Scenario("SystemExit subclass, int code", raising("Stop(4)", "class Stop(SystemExit):\n    pass\n"),
             4, ""),
    # Beyond 32 bits a code must not wrap to a status that reads as success.
    Scenario("SystemExit 2**31", exiting_with(2**31), 255, ""),
    Scenario("SystemExit 2**32", exiting_with(2**32), 255, ""),
    Scenario("SystemExit 2**32 + 3", exiting_with(2**32 + 3), 255, ""),
    Scenario("SystemExit -2**31 - 1", exiting_with(-2**31 - 1), 255, ""),
    Scenario("SystemExit 2**70", exiting_with(2**70), 255, ""),
    Scenario("SystemExit str", exiting_with("'bye'"), 1, box(TERMINATED, "bye")),
    Scenario("SystemExit str with str caption",
             raising("e", "e = SystemExit('bye')\ne.caption = 'Solver'\n"), 1, box("Solver", "bye")),
    Scenario("SystemExit str with non-str caption",
             raising("e", "e = SystemExit('bye')\ne.caption = b'x'\n"), 1, box(TERMINATED, "bye")),
    Scenario("SystemExit code unreadable",
             "class Stop(SystemExit):\n    code = property(lambda self: 1 / 0)\n"
             + raising("Stop('halted')"), 1, box(TERMINATED, "halted")),
    Scenario("SystemExit code whose str raises", UNPRINTABLE + exiting_with("Unprintable()"), 1,
             fatal("Cannot get string representation of messsage.")),
]

REPORTING_FAILURES = [
    Scenario("traceback unimportable", NO_TRACEBACK_MODULE + BOOM, 1, secondary(
        "Cannot import traceback module.", "import of traceback halted; None in sys.modules",
        "boom")),
    Scenario("traceback without format_exception",
             "import traceback\ndel traceback.format_exception\n" + BOOM, 1, secondary(
                 "Cannot get format_exception method.",
                 "module 'traceback' has no attribute 'format_exception'", "boom")),
    Scenario("format_exception raises",
             "import traceback\ndef broken(*args):\n    raise RuntimeError('fmt')\n"
             "traceback.format_exception = broken\n" + BOOM, 1,
             secondary("Exception raised when calling format_exception.", "fmt", "boom")),
    Scenario("format_exception returns what cannot be joined",
             "import traceback\ntraceback.format_exception = lambda *a: [1, 2]\n" + BOOM, 1,
             secondary("Cannot join exception strings.",
                       "sequence item 0: expected str instance, int found", "boom")),
    Scenario("multi-line values make more lines",
             NO_TRACEBACK_MODULE + raising("ValueError('one\\ntwo')"), 1,
             secondary("Cannot import traceback module.",
                       "import of traceback halted; None in sys.modules", "one\ntwo")),
    Scenario("original value whose str raises",
             NO_TRACEBACK_MODULE + UNPRINTABLE + raising("Unprintable()"), 1,
             fatal("Cannot format exception values.")),
    Scenario("secondary value whose str raises",
             UNPRINTABLE + "import sys\ndef hook(*args):\n    raise Unprintable()\n"
             "sys.excepthook = hook\n" + BOOM, 1, fatal("Cannot format exception values.")),
    Scenario("NUL in the three-line box", NO_TRACEBACK_MODULE + raising("ValueError('a\\0b')"), 1,
             box(UNAVAILABLE, "")),
]

FAULT_INJECTION = [
    Scenario("no fault requested", "def run():\n    pass\n", 0, ""),
    Scenario("program path unavailable", BOOM, 1, fatal("Unable to get executable name!"),
             fault="platform_module_file_name:1"),
    Scenario("library directory refused", BOOM, 1, fatal("Unable to change DLL search path!"),
             fault="platform_set_library_directory:1"),
    Scenario("no memory for the search path", BOOM, 1, fatal("Out of memory creating sys.path!"),
             fault="PyMem_RawMalloc:1"),
    # The first call decodes the only argument.
    Scenario("search path not decodable", BOOM, 1, fatal("Unable to convert path to string!"),
             fault="Py_DecodeLocale:2"),
    Scenario("args tuple", BOOM, 1, secondary("Cannot create args tuple.", "", "boom"),
             fault="PyTuple_New:1"),
    Scenario("empty separator", BOOM, 1, secondary("Cannot create empty string object.", "", "boom"),
             fault="PyUnicode_FromString:1"),
    Scenario("default caption", BOOM, 1,
             secondary("Cannot create default caption string.", "", "boom"),
             fault="PyUnicode_FromString:2"),
    Scenario("context message", NO_TRACEBACK_MODULE + BOOM, 1,
             fatal("Cannot create context message string object."),
             fault="PyUnicode_FromString:1"),
    Scenario("format string", NO_TRACEBACK_MODULE + BOOM, 1,
             fatal("Cannot create format string object."), fault="PyUnicode_FromString:2"),
    Scenario("format args tuple", NO_TRACEBACK_MODULE + BOOM, 1,
             fatal("Cannot create format args tuple."), fault="PyTuple_New:2"),
    Scenario("secondary caption", NO_TRACEBACK_MODULE + BOOM, 1,
             fatal("Cannot create caption string object."), fault="PyUnicode_FromString:3"),
    Scenario("SystemExit caption", exiting_with("'bye'"), 1,
             fatal("Cannot create caption string object."), fault="PyUnicode_FromString:1"),
    # The caption is settled before the code is looked at.
    Scenario("SystemExit caption, code None", exiting_with(""), 1,
             fatal("Cannot create caption string object."), fault="PyUnicode_FromString:1"),
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
    Scenario("arguments reach sys.argv unchanged",
             "import sys\ndef run():\n    raise SystemExit(repr((sys.argv, sys.executable)))\n", 1,
             box(TERMINATED, repr((["given-name", *ARGUMENTS], "@DIR@/quorvel"))),
             args=ARGUMENTS),
    Scenario("hostile environment changes nothing", CONFINED, 0, "", env=HOSTILE_ENVIRONMENT),
    Scenario("extension module with a dependency in lib",
             "import probe_ext\ndef run():\n    raise SystemExit(probe_ext.answer())\n", 42, ""),
    Scenario("shipped libraries load from lib by name", (
        "import ctypes\n"
        "def run():\n"
        "    for name in ('liblinesearch.so', 'libblaswrap.so', 'libcblassub.so'):\n"
        "        ctypes.CDLL(name)\n"), 0, ""),
]


def resolve(text, directory, evil=""):
    return (text.replace("@LIB@", os.path.join(directory, "lib"))
            .replace("@DIR@", directory).replace("@EVIL@", evil))


class Runner:
    def __init__(self, options, workspace):
        self.options = options
        self.workspace = workspace
        self.failures = 0
        self.base_env = {
            "PATH": "/usr/bin:/bin",
            # Whatever the locale says, file names and arguments are UTF-8.
            "LC_ALL": "C",
        }

    def copy_installation(self, name):
        directory = os.path.join(self.workspace, name)
        shutil.copytree(self.options.installed, directory, symlinks=True)
        shutil.copy2(self.options.fault_injection, directory)
        return directory

    def run(self, scenario, directory, program="quorvel", env=None):
        startup = os.path.join(directory, "lib", "__startup__.py")
        if scenario.startup is None:
            if os.path.exists(startup):
                os.remove(startup)
        else:
            with open(startup, "w", encoding="utf-8") as out:
                out.write(resolve(scenario.startup, directory))
        evil = os.path.join(self.workspace, "evil")
        environment = dict(self.base_env)
        environment.update({k: resolve(v, directory, evil) for k, v in scenario.env.items()})
        environment.update(env or {})
        if scenario.fault:
            program = os.path.basename(self.options.fault_injection)
            environment["QUORVEL_FAIL"] = scenario.fault
        path = os.path.join(directory, program)
        argv0 = "given-name" if scenario.args else path
        result = subprocess.run([argv0, *scenario.args], executable=path, env=environment,
                                stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
        self.check(scenario.name, (scenario.status, resolve(scenario.stderr, directory)),
                   (result.returncode, result.stderr.decode("utf-8", "backslashreplace")))

    def check(self, name, expected, actual):
        if expected == actual:
            print(f"ok    {name}")
            return
        self.failures += 1
        print(f"FAIL  {name}\n  expected: {expected!r}\n  actual:   {actual!r}")


def prepare_evil(workspace):
    evil = os.path.join(workspace, "evil")
    os.makedirs(os.path.join(evil, "lib"))
    for name in ("evil.py", "startup.py", "__startup__.py", "site.py", "sitecustomize.py"):
        with open(os.path.join(evil, name), "w") as out:
            out.write("import sys\nsys.stderr.write('environment obeyed\\n')\n")


def run_table(runner, table):
    directory = runner.copy_installation("installation")
    for scenario in table:
        runner.run(scenario, directory)


def run_installation(runner):
    options = runner.options
    prepare_evil(runner.workspace)
    directory = runner.copy_installation("installation")
    lib = os.path.join(directory, "lib")
    for built in options.probe:
        shutil.copy2(built, lib)
    for scenario in INSTALLATION:
        runner.run(scenario, directory)

    check_layout(runner, directory)

    where_am_i = Scenario("", "import sys\ndef run():\n    raise SystemExit(repr(sys.path[1:]))\n",
                          1, box(TERMINATED, repr(["@LIB@/library.zip", "@LIB@"])))
    moved = os.path.join(runner.workspace, "moved elsewhere")
    os.rename(directory, moved)
    runner.run(where_am_i._replace(name="moved installation"), moved)

    foreign = os.path.join(runner.workspace, "Prüfung é ü 日本 dir")
    os.rename(moved, foreign)
    for locale in ("C", "POSIX", "C.UTF-8", "xx_XX.ISO-8859-1"):
        runner.run(where_am_i._replace(name=f"non-ASCII directory, locale {locale}"), foreign,
                   env={"LC_ALL": locale, "LANG": locale})
    run_long_paths(runner, foreign)


def long_directory(workspace, length, filler):
    """A directory whose path, with /quorvel, has exactly length characters.
    It holds a copy of the program and a link to an existing lib."""
    base = os.path.join(workspace, "long")
    remaining = length - len(base) - len("/quorvel")
    parts = []
    while remaining > 0:
        size = min(remaining - 1, 60)
        parts.append(filler * size)
        remaining -= size + 1
    assert remaining == 0 and all(parts), "choose another length"
    return os.path.join(base, *parts)


def run_long_paths(runner, source):
    """The program path buffer holds 256 characters; the search path text
    1056 bytes. Whatever does not fit is refused, never cut short."""
    cases = [
        ("program path of 256 characters", 256, "ü", 0, ""),
        ("program path of 257 characters", 257, "ü", 1, fatal("Unable to get executable name!")),
        ("search path text beyond its buffer", 250, "日", 1,
         fatal("Unable to convert path to string!")),
    ]
    for name, length, filler, status, stderr in cases:
        directory = long_directory(os.path.join(runner.workspace, name.replace(" ", "_")), length,
                                   filler)
        os.makedirs(directory)
        shutil.copy2(os.path.join(source, "quorvel"), directory)
        os.symlink(os.path.join(source, "lib"), os.path.join(directory, "lib"))
        assert len(os.path.join(directory, "quorvel")) == length
        runner.run(Scenario(name, "def run():\n    pass\n", status, stderr), directory)


def check_layout(runner, directory):
    lib = os.path.join(directory, "lib")
    present = set(os.listdir(lib))
    expected = {"library.zip", "quorvel-runtime.json", "liblinesearch.so", "libblaswrap.so",
                "libcblassub.so"}
    runner.check("installed files", set(), expected - present)
    # The interpreter's shared library is shipped only when the program links it.
    with open(os.path.join(lib, "quorvel-runtime.json")) as record:
        shared_runtime = json.load(record)["python_runtime"] == "shared"
    runner.check("interpreter library shipped", shared_runtime,
                 any(name.startswith("libpython") for name in present))
    runner.check("extension modules installed", True,
                 any(name.startswith("_ctypes.") for name in present))
    with open(os.path.join(directory, "quorvel"), "rb") as program:
        runner.check("shipped program has no fault injection", False,
                     b"QUORVEL_FAIL" in program.read())
    with zipfile.ZipFile(os.path.join(lib, "library.zip")) as archive:
        names = archive.namelist()
    runner.check("archive holds bytecode only", [], [n for n in names if not n.endswith(".pyc")])
    left_out = ("test/", "idlelib/", "tkinter/", "ensurepip/", "site-packages/")
    runner.check("archive leaves out tests and tools", [],
                 [n for n in names if n.startswith(left_out)])
    runner.check("archive has what start-up and reporting need", set(), {
        "encodings/__init__.pyc", "encodings/utf_8.pyc", "traceback.pyc", "ctypes/__init__.pyc",
        "linecache.pyc"} - set(names))


GROUPS = {
    "outcomes": lambda runner: run_table(runner, OUTCOMES),
    "reporting_failures": lambda runner: run_table(runner, REPORTING_FAILURES),
    "fault_injection": lambda runner: run_table(runner, FAULT_INJECTION),
    "installation": run_installation,
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("group", choices=GROUPS)
    parser.add_argument("--installed", required=True)
    parser.add_argument("--fault-injection", required=True)
    parser.add_argument("--probe", nargs=2, required=True)
    options = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="quorvel-") as workspace:
        runner = Runner(options, workspace)
        GROUPS[options.group](runner)
    if runner.failures:
        print(f"{runner.failures} failed")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
