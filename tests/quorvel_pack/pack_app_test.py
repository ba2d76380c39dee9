"""pack-app end to end: applications packed into copies of an installation
and run by the installed launcher."""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import sysconfig
import time
import unittest
import zipfile

from boxes import TERMINATED
from files import snapshot, write_files
from installation import (
    BUILD_DIR,
    INSTALLATION,
    PACK_APP,
    PackingCase,
    copy_installation,
    pack,
    run_quorvel,
)
from quorvel_pack import native

EXTENSION_SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")
PRINT_RUN = "def run():\n    print('ran')\n"


def build_extension(directory, module, source, link=()):
    """Compiles a C extension module named module into directory."""
    c_file = os.path.join(directory, module + ".c")
    with open(c_file, "w") as f:
        f.write(source)
    target = os.path.join(directory, module.rsplit(".", 1)[-1] + EXTENSION_SUFFIX)
    subprocess.run(
        [
            "cc",
            "-shared",
            "-fPIC",
            "-I",
            sysconfig.get_paths()["include"],
            c_file,
            "-o",
            target,
            *link,
        ],
        check=True,
    )
    os.unlink(c_file)
    return target


def extension_source(module, body, call="", extra=""):
    """A C extension module whose function value() returns the int body."""
    short = module.rsplit(".", 1)[-1]
    return (
        "#define PY_SSIZE_T_CLEAN\n#include <Python.h>\n%s\n"
        "static PyObject *value(PyObject *self, PyObject *args) {\n"
        "    %s\n    return PyLong_FromLong(%s);\n}\n"
        'static PyMethodDef methods[] = {{"value", value, METH_NOARGS, 0}, {0}};\n'
        'static struct PyModuleDef def = {PyModuleDef_HEAD_INIT, "%s", 0, -1, methods};\n'
        "PyMODINIT_FUNC PyInit_%s(void) { return PyModule_Create(&def); }\n"
        % (extra, call, body, module, short)
    )


class PackAppTest(PackingCase):
    def site_packages(self):
        """A third-party package with data, metadata and an extension module."""
        site = os.path.join(self.tmp.name, "site-packages")
        write_files(
            site,
            {
                "thirdparty/__init__.py": (
                    "import importlib.resources\n"
                    "def greeting():\n"
                    "    return importlib.resources.files(__name__).joinpath('words.txt')"
                    ".read_text().strip()\n"
                ),
                "thirdparty/words.txt": "hello from a third party\n",
                "thirdparty-1.2.dist-info/METADATA": "Metadata-Version: 2.1\nName: thirdparty\n"
                "Version: 1.2\n",
                "thirdparty-1.2.dist-info/RECORD": "thirdparty/__init__.py,,\n",
                "unused/__init__.py": "raise RuntimeError('never imported')\n",
            },
        )
        build_extension(
            os.path.join(site, "thirdparty"),
            "thirdparty._speed",
            extension_source("thirdparty._speed", "41 + 1"),
        )
        return site

    def test_applications_run_as_written(self):
        # Each application prints what it observed; the expected lines say
        # what a user of the unpacked application would see.
        site = self.site_packages()
        extension_app = self.app(
            "extension",
            {
                "__startup__.py": "from mypkg import _native\ndef run():\n"
                "    print(_native.value(), _native.__name__)\n",
                "mypkg/__init__.py": "",
            },
        )
        build_extension(
            os.path.join(extension_app, "mypkg"),
            "mypkg._native",
            extension_source("mypkg._native", "7"),
        )
        cases = [
            (
                "data files, both ways",
                {
                    "__startup__.py": (
                        "import os, importlib.resources, json\n"
                        "import settings\n"
                        "def run():\n"
                        "    here = os.path.dirname(__file__)\n"
                        "    with open(os.path.join(here, 'config.json')) as f:\n"
                        "        print(json.load(f)['colour'])\n"
                        "    print(importlib.resources.files('settings').joinpath('assets/a.txt')"
                        ".read_text().strip())\n"
                        "    print(open(os.path.join(os.path.dirname(settings.__file__), 'assets',"
                        " 'a.txt')).read().strip())\n"
                        "    print(sorted(os.listdir(os.path.join(here, 'assets'))))\n"
                    ),
                    "config.json": '{"colour": "green"}',
                    "assets/logo.svg": "<svg/>",
                    "settings/__init__.py": "",
                    "settings/assets/a.txt": "beside the package",
                },
                [],
                None,
                "green\nbeside the package\nbeside the package\n['logo.svg']\n",
            ),
            (
                "namespace package and frozen flag",
                {
                    "__startup__.py": "import sys\nimport plugins.hello\ndef run():\n"
                    "    print(plugins.hello.NAME, sys.frozen)\n",
                    "plugins/hello.py": "NAME = 'hello'\n",
                },
                [],
                None,
                "hello True\n",
            ),
            ("extension module at its package path", None, [], extension_app, "7 mypkg._native\n"),
            (
                "third-party package through --path",
                {
                    "__startup__.py": (
                        "import importlib.metadata\nimport thirdparty, thirdparty._speed\n"
                        "def run():\n"
                        "    print(thirdparty.greeting(), thirdparty._speed.value(),\n"
                        "          importlib.metadata.version('thirdparty'))\n"
                    ),
                },
                ["--path", site],
                None,
                "hello from a third party 42 1.2\n",
            ),
            (
                "multiprocessing in every start method",
                {
                    "__startup__.py": (
                        "import multiprocessing\nimport work\n"
                        "def run():\n"
                        "    multiprocessing.freeze_support()\n"
                        "    print('run')\n"
                        "    for method in ('spawn', 'forkserver', 'fork'):\n"
                        "        with multiprocessing.get_context(method).Pool(2) as pool:\n"
                        "            print(method, pool.map(work.square, [1, 2, 3]))\n"
                    ),
                    "work.py": "def square(x):\n    return x * x\n",
                },
                [],
                None,
                "run\nspawn [1, 4, 9]\nforkserver [1, 4, 9]\nfork [1, 4, 9]\n",
            ),
            (
                "--include a module imported by name, --exclude one imported",
                {
                    "__startup__.py": (
                        "import importlib\n"
                        "try:\n    import csv\nexcept ImportError:\n    csv = None\n"
                        "def run():\n"
                        "    print(importlib.import_module('js' + 'on').dumps([1]), csv)\n"
                    ),
                },
                ["--include", "json", "--exclude", "csv"],
                None,
                "[1] None\n",
            ),
            (
                "--whole-stdlib",
                {
                    "__startup__.py": (
                        "import importlib\n"
                        "def run():\n"
                        "    sqlite3 = importlib.import_module('sqlite' + '3')\n"
                        "    print(sqlite3.connect(':memory:').execute('select 3').fetchone())\n"
                    ),
                },
                ["--whole-stdlib"],
                None,
                "(3,)\n",
            ),
            (
                "--entry",
                {
                    "__startup__.py": "def run():\n    print('not me')\n",
                    "tool/main.py": "def start():\n    print('started')\n",
                },
                ["--entry", "tool.main:start"],
                None,
                "started\n",
            ),
        ]
        for name, files, options, app_dir, expected in cases:
            with self.subTest(name):
                installation = copy_installation(
                    self.tmp.name, "for-" + name.split()[0], source=INSTALLATION
                )
                self.packed(
                    app_dir or self.app(name.split()[0], files), *options, installation=installation
                )
                result = run_quorvel(installation)
                self.assertEqual((result.returncode, result.stderr), (0, ""))
                self.assertEqual(result.stdout, expected)
                if "--exclude" in options:
                    self.assertFalse(os.path.exists(os.path.join(installation, "lib", "csv.pyc")))
                if "--path" in options:
                    self.assertFalse(os.path.exists(os.path.join(installation, "lib", "unused")))

    def test_closure_is_small_and_archive_valid(self):
        self.packed(self.app("small", {"__startup__.py": PRINT_RUN}))
        lib = os.path.join(self.installation, "lib")
        with zipfile.ZipFile(os.path.join(lib, "library.zip")) as archive:
            self.assertIsNone(archive.testzip())
        for needed in ("traceback.pyc", "encodings/utf_8.pyc", "linecache.pyc"):
            self.assertTrue(os.path.isfile(os.path.join(lib, needed)), needed)
        for unneeded in ("email", "json", "sqlite3", "asyncio"):
            self.assertFalse(os.path.exists(os.path.join(lib, unneeded)), unneeded)
        self.assertFalse([n for n in os.listdir(lib) if n.startswith("_sqlite3")])

    def test_unresolved_imports_and_unshipped_files_are_listed(self):
        app_dir = self.app(
            "warn",
            {
                "__startup__.py": "try:\n    import no_such_module_x\nexcept ImportError:\n"
                "    pass\n" + PRINT_RUN,
                "helper.py": "def f():\n    from . import nothing_here\n",
                "__pycache__/old.cpython-311.pyc": "stale",
                "__init__.py": "",
                ".git/HEAD": "ref: refs/heads/main",
            },
        )
        result = self.packed(app_dir)
        self.assertIn(
            "warning: 2 imports of the application not found: .nothing_here (in helper), "
            "no_such_module_x (in __startup__)\n",
            result.stderr,
        )
        self.assertIn("not shipped: __pycache__/", result.stdout)
        self.assertIn("not shipped: __init__.py", result.stdout)
        self.assertIn("not shipped: .git/", result.stdout)
        self.assertFalse(os.path.exists(os.path.join(self.installation, "lib", ".git")))
        self.assertRegex(
            result.stdout,
            r"\d+ modules \(2 of the application\), \d+ extension "
            r"modules, \d+ libraries, 0 data files; lib/ holds [\d.]+ MB",
        )

    def test_failures_show_the_boxes_of_the_unpacked_application(self):
        # Run unpacked (sources in a plain installation's lib/), then packed:
        # the frames (function and line) and the exception are the same.
        files = {
            "__startup__.py": "import deep\ndef run():\n    deep.fail()\n",
            "deep.py": "class Boom(Exception):\n    caption = 'Custom caption'\n"
            "def fail():\n    raise Boom('went wrong')\n",
        }
        frame = re.compile(r'^  File "[^"]*?([^/"]+)", line (\d+), in (\S+)$', re.M)
        unpacked = copy_installation(self.tmp.name, "unpacked")
        write_files(os.path.join(unpacked, "lib"), files)
        before = run_quorvel(unpacked)
        self.packed(self.app("raises", files))
        after = run_quorvel(self.installation)
        self.assertEqual((before.returncode, after.returncode), (1, 1))
        caption, _, text = after.stderr.partition("\n")
        self.assertEqual(caption, "Custom caption")
        self.assertEqual(frame.findall(after.stderr), frame.findall(before.stderr))
        self.assertEqual(
            frame.findall(after.stderr), [("__startup__.py", "3", "run"), ("deep.py", "4", "fail")]
        )
        self.assertEqual(after.stderr.splitlines()[-1], before.stderr.splitlines()[-1])
        self.assertTrue(text.startswith("Traceback (most recent call last):\n"))

        self.packed(
            self.app(
                "exits",
                {"__startup__.py": "import sys\ndef run():\n" "    sys.exit('Cannot go on.')\n"},
            )
        )
        exited = run_quorvel(self.installation)
        self.assertEqual(
            (exited.returncode, exited.stdout, exited.stderr),
            (1, "", TERMINATED + "\nCannot go on.\n"),
        )

    def test_refusals_change_nothing(self):
        good = {"__startup__.py": PRINT_RUN}
        foreign_record = copy_installation(self.tmp.name, "foreign")
        record = os.path.join(foreign_record, "lib", "quorvel-runtime.json")
        with open(record) as f:
            fields = json.load(f)
        fields["python_version"] = "3.0.1"
        with open(record, "w") as f:
            json.dump(fields, f)
        zip_only = os.path.join(self.tmp.name, "zip-only")
        os.makedirs(os.path.join(zip_only, "lib"))
        shutil.copy(
            os.path.join(self.installation, "lib", "library.zip"), os.path.join(zip_only, "lib")
        )
        outside = os.path.join(self.tmp.name, "outside.py")
        write_files(self.tmp.name, {"outside.py": "X = 1\n"})
        linked = self.app("linked", good)
        os.symlink(outside, os.path.join(linked, "outside.py"))
        undecodable = self.app("undecodable", good)
        with open(os.path.join(os.fsencode(undecodable), b"caf\xe9.txt"), "w") as f:
            f.write("data")
        nesting = self.app("nesting", good)
        nested = copy_installation(nesting, "dist")
        inside_lib = os.path.join(self.installation, "lib", "myapp")
        write_files(inside_lib, good)
        cases = [
            ("missing APP_DIR", os.path.join(self.tmp.name, "nowhere"), [], None, "nowhere"),
            ("APP_DIR a file", outside, [], None, "not a directory"),
            ("not an installation", self.app("ok", good), [], self.tmp.name, "not an installation"),
            ("only a zip", self.app("ok", good), [], zip_only, "not an installation"),
            (
                "other interpreter release",
                self.app("ok", good),
                [],
                foreign_record,
                "the installation embeds 3.0.1",
            ),
            (
                "no __startup__.py",
                self.app("nostart", {"main.py": PRINT_RUN}),
                [],
                None,
                "no __startup__.py",
            ),
            (
                "no run",
                self.app("norun", {"__startup__.py": "def walk():\n    pass\n"}),
                [],
                None,
                "defines no run()",
            ),
            (
                "--entry function missing",
                self.app("ok", good),
                ["--entry", "__startup__:go"],
                None,
                "defines no go()",
            ),
            (
                "--entry malformed",
                self.app("ok", good),
                ["--entry", "__startup__"],
                None,
                "expected MODULE:FUNCTION",
            ),
            (
                "empty module name",
                self.app("dotpy", dict(good, **{".py": ""})),
                [],
                None,
                "not a valid module name",
            ),
            (
                "name starting with a digit",
                self.app("digit", dict(good, **{"1bad.py": ""})),
                [],
                None,
                "1bad.py: not a valid module name",
            ),
            (
                "space in a name",
                self.app("space", dict(good, **{"a b.py": ""})),
                [],
                None,
                "not a valid module name",
            ),
            (
                "package with a space",
                self.app("pkgspace", dict(good, **{"my pkg/m.py": ""})),
                [],
                None,
                "not a valid module name",
            ),
            (
                "backslash",
                self.app("backslash", dict(good, **{"a\\b.py": ""})),
                [],
                None,
                "backslash",
            ),
            ("symlink leading out", linked, [], None, "symlink leads outside"),
            ("undecodable name", undecodable, [], None, "not valid UTF-8"),
            (
                "shadows the standard library",
                self.app("shadow", dict(good, **{"json.py": ""})),
                [],
                None,
                "shadow the standard library: json",
            ),
            (
                "data shadows a standard package",
                self.app("shadowdir", dict(good, **{"email/x.txt": ""})),
                [],
                None,
                "shadow the standard library: email",
            ),
            (
                "takes a runtime file name",
                self.app("runtime-name", dict(good, **{"quorvel-runtime.json": "{}"})),
                [],
                None,
                "taken by the runtime",
            ),
            (
                "syntax error",
                self.app("syntax", dict(good, **{"pkg/__init__.py": "x = (\n"})),
                [],
                None,
                "pkg/__init__.py:1: SyntaxError",
            ),
            ("syntax error, sources", self.app("syntax", {}), ["--source"], None, "SyntaxError"),
            (
                "--path not a directory",
                self.app("ok", good),
                ["--path", outside],
                None,
                "not a directory",
            ),
            (
                "installation inside the application",
                nesting,
                [],
                nested,
                "lies inside the application",
            ),
            ("application inside lib/", inside_lib, [], None, "lies inside the installation"),
        ]
        self.packed(self.app("first", {"__startup__.py": PRINT_RUN, "kept.py": ""}))
        before = snapshot(self.tmp.name)
        for name, app_dir, options, target, message in cases:
            with self.subTest(name):
                result = pack(app_dir, target or self.installation, *options)
                self.assertEqual(result.returncode, 1, result.stdout)
                self.assertEqual(result.stderr.count("\n"), 1, result.stderr)
                self.assertTrue(result.stderr.startswith("pack-app: "), result.stderr)
                self.assertIn(message, result.stderr)
                self.assertEqual(snapshot(self.tmp.name), before)
        self.assertEqual(run_quorvel(self.installation).stdout, "ran\n")

    def test_repack_replaces_the_application_and_keeps_the_runtime(self):
        lib = os.path.join(self.installation, "lib")
        runtime_files = ["liblinesearch.so", "quorvel-runtime.json"]
        identity = {n: os.stat(os.path.join(lib, n)).st_ino for n in runtime_files}
        first = self.app(
            "first",
            {
                "__startup__.py": PRINT_RUN,
                "first_only.py": "",
                "first_pkg/__init__.py": "",
                "first_data.txt": "x",
            },
        )
        self.packed(first, "--include", "sqlite3")
        self.assertTrue(os.path.exists(os.path.join(lib, "sqlite3")))
        second = self.app(
            "second",
            {
                "__startup__.py": (
                    "import importlib.util\n"
                    "def run():\n"
                    "    print([n for n in ('first_only', 'first_pkg', 'sqlite3')"
                    " if importlib.util.find_spec(n)])\n"
                )
            },
        )
        self.packed(second)
        result = run_quorvel(self.installation)
        self.assertEqual((result.returncode, result.stdout), (0, "[]\n"), result.stderr)
        self.assertFalse(os.path.exists(os.path.join(lib, "first_data.txt")))
        self.assertEqual({n: os.stat(os.path.join(lib, n)).st_ino for n in runtime_files}, identity)
        self.assertFalse(
            [n for n in os.listdir(self.installation) if n.startswith(".quorvel-pack-")]
        )

    def test_interrupted_pack_leaves_nothing_behind(self):
        files = {"__startup__.py": PRINT_RUN}
        files.update({"data/file%04d.txt" % i: "x" * 1000 for i in range(3000)})
        self.packed(self.app("small", {"__startup__.py": PRINT_RUN}))
        before = snapshot(self.installation)
        app_dir = self.app("large", files)
        process = subprocess.Popen(
            [sys.executable, PACK_APP, app_dir, self.installation],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and process.poll() is None:
            stages = [n for n in os.listdir(self.installation) if n.startswith(".quorvel-pack-")]
            if stages and os.path.isdir(os.path.join(self.installation, stages[0], "lib")):
                break
            time.sleep(0.005)
        process.send_signal(signal.SIGTERM)
        _, stderr = process.communicate(timeout=60)
        if process.returncode == 0:
            self.skipTest("the pack finished before it could be interrupted")
        self.assertIn("interrupted", stderr)
        self.assertEqual(snapshot(self.installation), before)
        # A run killed outright leaves its staging directory; the next removes it.
        os.makedirs(os.path.join(self.installation, ".quorvel-pack-1", "lib", "leftover"))
        self.packed(self.app("small", {"__startup__.py": PRINT_RUN}))
        self.assertFalse(os.path.exists(os.path.join(self.installation, ".quorvel-pack-1")))

    def test_installing_the_runtime_again_keeps_the_application(self):
        self.packed(
            self.app(
                "data",
                {
                    "__startup__.py": (
                        "import os\n"
                        "def run():\n"
                        "    print(open(os.path.join(os.path.dirname(__file__),"
                        " 'x.txt')).read())\n"
                    ),
                    "x.txt": "kept",
                },
            )
        )
        subprocess.run(
            ["cmake", "--install", BUILD_DIR, "--prefix", self.installation],
            check=True,
            stdout=subprocess.DEVNULL,
        )
        result = run_quorvel(self.installation)
        self.assertEqual((result.returncode, result.stdout), (0, "kept\n"), result.stderr)

    def test_plain_installation_is_the_whole_runtime(self):
        # Without pack-app, modules placed in lib/ by hand find the whole
        # standard library.
        installation = copy_installation(self.tmp.name, "plain")
        write_files(
            os.path.join(installation, "lib"),
            {
                "__startup__.py": (
                    "import sqlite3, email.message, json, decimal, xml.dom.minidom, asyncio\n"
                    "def run():\n"
                    "    print(sqlite3.connect(':memory:').execute('select 2').fetchone())\n"
                )
            },
        )
        result = run_quorvel(installation)
        self.assertEqual((result.returncode, result.stdout), (0, "(2,)\n"), result.stderr)
        with zipfile.ZipFile(os.path.join(installation, "lib", "library.zip")) as archive:
            self.assertGreater(len(archive.namelist()), 400)

    @unittest.skipUnless(
        os.geteuid() == 0 and shutil.which("unshare"), "needs root for a private mount namespace"
    )
    def test_runs_without_the_systems_libraries_and_standard_library(self):
        program = os.path.join(self.installation, "quorvel")
        self.assertFalse(
            [
                n
                for n in os.listdir(os.path.join(self.installation, "lib"))
                if n.startswith("libpython")
            ]
        )
        self.assertFalse([n for n in native.read_elf(program).needed if "python" in n])
        site = self.site_packages()
        app_dir = self.app(
            "alone",
            {
                "__startup__.py": (
                    "import ctypes, thirdparty._speed, decimal, json, demo_native\n"
                    "def run():\n"
                    "    lib = ctypes.CDLL('libblaswrap.so')\n"
                    "    print(thirdparty._speed.value(), decimal.Decimal('1.5') * 2,"
                    " demo_native.value())\n"
                )
            },
        )
        dependency = os.path.join(self.tmp.name, "deps")
        os.makedirs(dependency)
        subprocess.run(
            [
                "cc",
                "-shared",
                "-fPIC",
                "-Wl,-soname,libpackdep.so.1",
                "-x",
                "c",
                "-",
                "-o",
                os.path.join(dependency, "libpackdep.so.1"),
            ],
            input="int packdep(void) { return 5; }\n",
            text=True,
            check=True,
        )
        build_extension(
            app_dir,
            "demo_native",
            extension_source("demo_native", "packdep()", extra="int packdep(void);"),
            link=[
                "-L" + dependency,
                "-l:libpackdep.so.1",
                "-Wl,--enable-new-dtags,-rpath," + dependency,
            ],
        )
        result = self.packed(app_dir, "--path", site)
        lib = os.path.join(self.installation, "lib")
        self.assertTrue(os.path.exists(os.path.join(lib, "libpackdep.so.1")), result.stdout)
        self.assertEqual(native.read_elf(os.path.join(lib, "libpackdep.so.1")).runpath, [])
        # Every library copied, and the interpreter's own files, hidden.
        hidden = [os.path.realpath("/usr/lib/x86_64-linux-gnu/libpython3.11.so.1.0")]
        with open(os.path.join(lib, ".quorvel-pack.json")) as f:
            copied = [n for n in json.load(f)["files"] if n.startswith("lib") and ".so" in n]
        cache = native.loader_cache()
        for soname in copied:
            if soname in cache:
                hidden.append(os.path.realpath(cache[soname]))
        hidden.append(os.path.join(dependency, "libpackdep.so.1"))
        empty = os.path.join(self.tmp.name, "empty")
        open(empty, "w").close()
        empty_dir = os.path.join(self.tmp.name, "empty-dir")
        os.makedirs(empty_dir)
        script = "set -e\n" + "".join("mount --bind %s %s\n" % (empty, path) for path in hidden)
        script += "mount --bind %s %s\n" % (empty_dir, sysconfig.get_path("stdlib"))
        script += "exec %s\n" % program
        result = subprocess.run(
            ["unshare", "--mount", "--propagation", "private", "sh", "-c", script],
            capture_output=True,
            text=True,
            timeout=120,
            cwd=self.tmp.name,
        )
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        self.assertEqual(result.stdout, "42 3.0 5\n")


if __name__ == "__main__":
    unittest.main()
