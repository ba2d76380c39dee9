"""The import closure: import statements read from bytecode, relative
imports resolved, and the warnings about imports that were not found."""

import unittest

from quorvel_pack import closure
from quorvel_pack.closure import ROOT, Closure, Import, Needed


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


STDLIB = "/usr/lib/python3.11"
MODULES = {
    "app": "/home/dev/app/app.py",
    "helper": "/home/dev/app/helper.py",
    "subprocess": STDLIB + "/subprocess.py",
    "os": "frozen",
}
STDLIB_SUMMARY = (
    "%d imports inside the standard library are not available on this platform and were "
    "left out (normal: they serve other systems%s)"
)


class UnresolvedWarningsTest(unittest.TestCase):
    def test_one_warning_per_missing_import(self):
        cases = [
            ("nothing missing", [], False, []),
            (
                "imported by the application, once per importer",
                [("requests", "app"), ("requests", "app"), ("requests", "helper")],
                False,
                [
                    "module requests not found (imported by app)",
                    "module requests not found (imported by helper)",
                ],
            ),
            (
                "given with --include",
                [("nosuch", ROOT)],
                False,
                ["module nosuch not found (given with --include)"],
            ),
            ("made by a C module as it loads", [("_made", ROOT)], False, []),
            ("set by a module while it runs", [("os.path", "app")], False, []),
            (
                "the standard library's, counted",
                [("_winapi", "subprocess"), ("nt", "os"), ("msvcrt", "subprocess")],
                False,
                [STDLIB_SUMMARY % (3, "; --verbose lists them")],
            ),
            (
                "the standard library's, listed with --verbose",
                [("_winapi", "subprocess"), ("nt", "os")],
                True,
                [
                    "module _winapi not found (imported by subprocess)",
                    "module nt not found (imported by os)",
                    STDLIB_SUMMARY % (2, ""),
                ],
            ),
        ]
        for name, unresolved, each, expected in cases:
            with self.subTest(name):
                needed = Needed(Closure(dict(MODULES), set(), unresolved), set(), {"_made"})
                self.assertEqual(closure.unresolved_warnings(needed, STDLIB, each), expected)


if __name__ == "__main__":
    unittest.main()
