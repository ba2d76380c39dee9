"""Shared libraries of the shipped binaries: run paths cleared in copied
libraries, base libraries never copied."""

import os
import subprocess
import sys
import tempfile
import unittest

from quorvel_pack import native


def shared_library(path, *options):
    """Links a one-function library, f() returning 1, with the linker options."""
    subprocess.run(
        ["cc", "-shared", "-fPIC", "-x", "c", "-", "-o", path, *options],
        input="int f(void) { return 1; }\n",
        text=True,
        check=True,
    )


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
                    shared_library(library, "-Wl,-soname,lib%s.so.1" % name, "-lm", *flags)
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
            shared_library(binary, "-Wl,--no-as-needed", "-lm", "-lz")
            libraries = native.needed_libraries(
                [native.Binary("libuser.so", binary, True)], [], native.read_elf(binary).machine
            )
            self.assertEqual(libraries.problems, [])
            self.assertIn("libz.so.1", libraries.copies)
            self.assertNotIn("libm.so.6", libraries.copies)
            self.assertNotIn("libc.so.6", libraries.copies)


if __name__ == "__main__":
    unittest.main()
