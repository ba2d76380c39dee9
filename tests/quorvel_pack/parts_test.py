"""The packing tool's parts on their own: import statements read from
bytecode, the generated start-up module's reading of multiprocessing's
command lines, run paths cleared in copied libraries, and the standard
library's archive that the install step builds with the tool's package."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

from quorvel_pack import analysis, closure, native, startup
from quorvel_pack.members import FIXED_DATE_TIME
from quorvel_pack.closure import Import


class ImportAnalysisTest(unittest.TestCase):
    def test_import_statements(self):
        cases = [
            ("import a.b", [Import("a.b", 0, (), False)]),
            ("from . import x", [Import("", 1, ("x",), False)]),
            ("from ..p import q, r", [Import("p", 2, ("q", "r"), False)]),
            ("from m import *", [Import("m", 0, ("*",), False)]),
            ("try:\n    import t\nexcept ImportError:\n    t = None", [Import("t", 0, (), False)]),
            ("class C:\n    import y", [Import("y", 0, (), False)]),
            ("def f():\n    import z", [Import("z", 0, (), True)]),
            ("class C:\n    def m(self):\n        from w import v", [Import("w", 0, ("v",), True)]),
            ("f = lambda: [__import__('x') for _ in ()]", []),
        ]
        for source, expected in cases:
            with self.subTest(source):
                code = compile(source, "case.py", "exec")
                self.assertEqual(closure.module_imports(code), expected)

    def test_relative_imports_resolve_against_the_package(self):
        cases = [
            ("pkg.mod", False, Import("", 1, ("x",), False), "pkg"),
            ("pkg", True, Import("sub", 1, (), False), "pkg.sub"),
            ("a.b.c", False, Import("d", 2, (), False), "a.d"),
            ("mod", False, Import("", 1, ("x",), False), None),
            ("pkg.mod", False, Import("x", 3, (), False), None),
            ("pkg.mod", False, Import("abs.olute", 0, (), False), "abs.olute"),
        ]
        for importing, is_package, item, expected in cases:
            with self.subTest(importing=importing, item=item):
                self.assertEqual(closure.resolve_relative(importing, is_package, item), expected)

    def test_entry_must_be_defined_at_module_level(self):
        cases = [
            ("def run():\n    pass", True),
            ("from helper import run", True),
            ("run = print", True),
            ("class run:\n    pass", True),
            ("def main():\n    run = 1", False),
            ("RUN = 1", False),
        ]
        for source, expected in cases:
            with self.subTest(source):
                self.assertEqual(analysis.defines(compile(source, "m.py", "exec"), "run"), expected)


def generated_module(argv):
    """The generated start-up module's namespace, as in a process with argv."""
    namespace = {}
    saved = sys.argv
    sys.argv = argv
    try:
        exec(startup.startup_module_source("no_such_entry_module", "run"), namespace)
    except ImportError:
        pass  # the entry is not importable here; the helpers are defined
    finally:
        sys.argv = saved
    return namespace


class MultiprocessingCommandTest(unittest.TestCase):
    def test_children_of_multiprocessing_are_recognised(self):
        exe = "/opt/app/quorvel"
        tracker = "from multiprocessing.resource_tracker import main;main(5)"
        forkserver = (
            "from multiprocessing.forkserver import main; main(3, 4, ['__main__'], "
            "**{'sys_path': ['/opt/app/lib'], 'main_path': None})"
        )
        spawn = (
            "from multiprocessing.spawn import spawn_main; spawn_main(tracker_fd=5, "
            "pipe_handle=7)"
        )
        cases = [
            (
                [exe, "-E", "-S", "-c", tracker],
                ("multiprocessing.resource_tracker", "main", [5], {}),
            ),
            (
                [exe, "-E", "-s", "-c", forkserver],
                (
                    "multiprocessing.forkserver",
                    "main",
                    [3, 4, ["__main__"]],
                    {"sys_path": ["/opt/app/lib"], "main_path": None},
                ),
            ),
            (
                [exe, "-c", spawn, "--multiprocessing-fork"],
                ("multiprocessing.spawn", "spawn_main", [], {"tracker_fd": 5, "pipe_handle": 7}),
            ),
            ([exe, "--multiprocessing-fork", "tracker_fd=5", "pipe_handle=7"], "spawn"),
            # The application's own command lines.
            ([exe], None),
            ([exe, "input.txt", "-c", tracker], None),
            ([exe, "-c"], None),
            ([exe, "-c", tracker + "; import os"], None),
            ([exe, "-c", "from multiprocessing.resource_tracker import main;main(fd)"], None),
            ([exe, "-c", "from multiprocessing.spawn import spawn_main; main(1)"], None),
            ([exe, "-c", "from multiprocessing.util import main;main(5)"], None),
            ([exe, "-c", "from os import system; system('true')"], None),
            ([exe, "-c", "from multiprocessing.resource_tracker import main as m;m(5)"], None),
        ]
        recognise = generated_module([exe])["_multiprocessing_command"]
        for argv, expected in cases:
            with self.subTest(argv=argv[1:]):
                self.assertEqual(recognise(argv), expected)

    def test_run_is_the_entry_itself_outside_children(self):
        with tempfile.TemporaryDirectory() as tmp:
            with open(os.path.join(tmp, "entry_mod.py"), "w") as f:
                f.write("def start():\n    return 'started'\n")
            sys.path.insert(0, tmp)
            self.addCleanup(sys.path.remove, tmp)
            namespace = {}
            exec(startup.startup_module_source("entry_mod", "start", freeze_gc=False), namespace)
            import entry_mod

            self.assertIs(namespace["run"], entry_mod.start)
            self.assertTrue(sys.frozen)
            del sys.frozen


class RunPathTest(unittest.TestCase):
    def test_copied_library_loses_its_run_paths(self):
        cases = [
            ("runpath", ["-Wl,--enable-new-dtags,-rpath,/nowhere:$ORIGIN/x"]),
            ("rpath", ["-Wl,--disable-new-dtags,-rpath,/nowhere"]),
            ("none", []),
        ]
        with tempfile.TemporaryDirectory() as tmp:
            for name, flags in cases:
                with self.subTest(name):
                    library = os.path.join(tmp, "lib%s.so" % name)
                    subprocess.run(
                        [
                            "cc",
                            "-shared",
                            "-fPIC",
                            "-x",
                            "c",
                            "-",
                            "-o",
                            library,
                            "-Wl,-soname,lib%s.so.1" % name,
                            "-lm",
                            *flags,
                        ],
                        input="int f(void) { return 1; }\n",
                        text=True,
                        check=True,
                    )
                    before = native.read_elf(library)
                    self.assertEqual(before.soname, "lib%s.so.1" % name)
                    self.assertEqual(bool(before.rpath or before.runpath), bool(flags))
                    self.assertEqual(native.clear_search_paths(library), bool(flags))
                    after = native.read_elf(library)
                    self.assertEqual((after.rpath, after.runpath), ([], []))
                    self.assertEqual(after.needed, before.needed)
                    # Still a library the loader accepts.
                    subprocess.run(
                        [
                            sys.executable,
                            "-c",
                            "import ctypes, sys; " "assert ctypes.CDLL(sys.argv[1]).f() == 1",
                            library,
                        ],
                        check=True,
                    )

    def test_base_libraries_are_never_copied(self):
        with tempfile.TemporaryDirectory() as tmp:
            binary = os.path.join(tmp, "libuser.so")
            subprocess.run(
                [
                    "cc",
                    "-shared",
                    "-fPIC",
                    "-x",
                    "c",
                    "-",
                    "-o",
                    binary,
                    "-Wl,--no-as-needed",
                    "-lm",
                    "-lz",
                ],
                input="int f(void) { return 1; }\n",
                text=True,
                check=True,
            )
            copies, missing = native.needed_libraries([("libuser.so", binary)], [])
            self.assertEqual(missing, [])
            self.assertIn("libz.so.1", copies)
            self.assertNotIn("libm.so.6", copies)
            self.assertNotIn("libc.so.6", copies)


class LibraryZipTest(unittest.TestCase):
    """The standard library's archive, built by launcher/make_library_zip.py."""

    def build(self, files):
        tmp = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, tmp)
        stdlib = os.path.join(tmp, "stdlib")
        for relative, text in files.items():
            path = os.path.join(stdlib, relative)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w") as f:
                f.write(text)
        output = os.path.join(tmp, "out", "library.zip")
        os.makedirs(os.path.dirname(output))
        script = os.path.join(os.environ["QUORVEL_SOURCE_DIR"], "launcher", "make_library_zip.py")
        result = subprocess.run(
            [sys.executable, script, stdlib, output], capture_output=True, text=True
        )
        return result, output

    def test_failure_leaves_no_archive_and_no_partial_file(self):
        cases = [
            ("syntax error", {"os.py": "", "zz_broken.py": "x = (\n"}),
            ("not a standard library", {"other.py": ""}),
        ]
        for name, files in cases:
            with self.subTest(name):
                result, output = self.build(files)
                self.assertNotEqual(result.returncode, 0)
                self.assertEqual(os.listdir(os.path.dirname(output)), [])

    def test_members_are_bytecode_with_the_fixed_date(self):
        result, output = self.build({"os.py": "", "pkg/__init__.py": "", "pkg/m.py": "X = 1\n"})
        self.assertEqual(result.returncode, 0, result.stderr)
        with zipfile.ZipFile(output) as archive:
            self.assertEqual(archive.namelist(), ["os.pyc", "pkg/__init__.pyc", "pkg/m.pyc"])
            self.assertEqual({i.date_time for i in archive.infolist()}, {FIXED_DATE_TIME})


if __name__ == "__main__":
    unittest.main()
