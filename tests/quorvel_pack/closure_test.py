"""The import closure: import statements read from bytecode with where
they stand, relative imports resolved, imports by name and through moves
tables, and the warnings about imports that were not found."""

import unittest

from quorvel_pack import by_name, closure, explain, statements
from quorvel_pack.closure import ROOT, Closure
from quorvel_pack.distributions import Distribution
from quorvel_pack.needs import Context, Needed
from quorvel_pack.statements import Import

IF = frozenset({"if"})


class ImportAnalysisTest(unittest.TestCase):
    def test_import_statements(self):
        cases = [
            ("import a.b", [Import("a.b", 0, (), False)]),
            ("from . import x", [Import("", 1, ("x",), False)]),
            ("from ..p import q, r", [Import("p", 2, ("q", "r"), False)]),
            ("from m import *", [Import("m", 0, ("*",), False)]),
            (
                "try:\n    import t\nexcept ImportError:\n    t = None",
                [Import("t", 0, (), False, frozenset({"try"}))],
            ),
            ("try:\n    import t\nexcept KeyError:\n    pass", [Import("t", 0, (), False)]),
            ("class C:\n    import y", [Import("y", 0, (), False)]),
            ("def f():\n    import z", [Import("z", 0, (), True)]),
            ("class C:\n    def m(self):\n        from w import v", [Import("w", 0, ("v",), True)]),
            ("f = lambda: [__import__('x') for _ in ()]", []),
            # Only for type checkers: not run.
            (
                "from typing import TYPE_CHECKING\nif TYPE_CHECKING:\n    import te\nimport a",
                [Import("typing", 0, ("TYPE_CHECKING",), False), Import("a", 0, (), False)],
            ),
            (
                "import typing\n"
                "if typing.TYPE_CHECKING:\n    from te import X\nelse:\n    import b",
                [Import("typing", 0, (), False), Import("b", 0, (), False)],
            ),
            (
                "def f():\n    if TYPE_CHECKING:\n        import te\n    import c",
                [Import("c", 0, (), True)],
            ),
            # Where it stands: optional there, when another distribution's.
            ("if not TYPE_CHECKING:\n    import d", [Import("d", 0, (), False, IF)]),
            (
                "import sys\n"
                "if sys.platform == 'win32':\n    import w\nelse:\n    import p\nimport q",
                [
                    Import("sys", 0, (), False),
                    Import("w", 0, (), False, IF),
                    Import("p", 0, (), False, frozenset({"else"})),
                    Import("q", 0, (), False),
                ],
            ),
            (
                "def f():\n    try:\n        import fast\n    except ImportError:\n"
                "        if x:\n            import slow",
                [
                    Import("fast", 0, (), True, frozenset({"try"})),
                    Import("slow", 0, (), True, frozenset({"handler", "if"})),
                ],
            ),
        ]
        for source, expected in cases:
            with self.subTest(source):
                code = compile(source, "case.py", "exec")
                self.assertEqual(statements.module_imports(code), expected)

    def test_imports_by_name(self):
        # A package that imports by name the modules that its string
        # constants name; a lazy moves table standing for standard modules.
        registry = compile(
            "_plugins = ['GifPlugin', 'JpegPlugin', 'PngPlugin']\n"
            "FORMATS = {'gif': 'pkg.formats.gif', 'other': 'elsewhere.mod'}\n"
            "def init():\n    for p in _plugins:\n        __import__('pkg.' + p)\n",
            "pkg/__init__.py",
            "exec",
        )
        constants = by_name.name_constants(registry)
        self.assertTrue(constants.imports_by_name)
        self.assertEqual(
            by_name.candidates("pkg", True, constants),
            ["pkg.GifPlugin", "pkg.JpegPlugin", "pkg.PngPlugin", "pkg.formats.gif"]
            + ["pkg.gif", "pkg.other"],  # the keys too: tried, and not found
        )
        stored = by_name.name_constants(compile("import_module = 1", "m", "exec"))
        self.assertFalse(stored.imports_by_name)
        moves = {"six.moves": {"queue": "queue", "urllib.parse": "urllib.parse"}}
        cases = [
            ("six.moves.queue", "queue"),
            ("urllib3.packages.six.moves.queue", "queue"),
            ("six.moves.urllib.parse", "urllib.parse"),
            ("six.moves", None),
            ("six.moves.unknown", None),
            ("notsix.moves.queue", None),
        ]
        for target, expected in cases:
            with self.subTest(target):
                self.assertEqual(by_name.moved_module(target, moves), expected)

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
SITE = "/home/dev/site"
APP = "/home/dev/app"
MODULES = {
    "app": APP + "/app.py",
    "helper": APP + "/helper.py",
    "subprocess": STDLIB + "/subprocess.py",
    "os": "frozen",
    "lib": SITE + "/lib/__init__.py",
    "lib.lazy": SITE + "/lib/lazy.py",
}
LIB = Distribution("lib", SITE, "lib-1.0.dist-info", frozenset({"lib"}), ())


def needed(unresolved, optional=()):
    """What an application of two modules and one distribution needs."""
    found = Closure(dict(MODULES), {"lib"}, unresolved, {}, {"lib.lazy"}, set(optional))
    context = Context(APP, STDLIB, STDLIB + "/lib-dynload", [SITE], set(), {"lib": LIB}, {})
    return Needed(found, [LIB], {"_made"}, [], [], context)


class UnresolvedWarningsTest(unittest.TestCase):
    def test_one_line_per_distribution(self):
        cases = [
            ("nothing missing", [], (), []),
            (
                "the application's, with their importers",
                [("requests", "app"), ("requests", "app"), ("yaml", "helper")],
                (),
                ["2 imports of the application not found: requests (in app), yaml (in helper)"],
            ),
            (
                "a distribution's, grouped",
                [("b", "lib"), ("a", "lib"), ("c", "lib.lazy")],
                (),
                ["3 imports of lib not found: a, b, c"],
            ),
            (
                "lazy code's are optional",
                [("a", "lib"), ("c", "lib.lazy")],
                [("c", "lib.lazy")],
                ["1 import of lib not found: a"],
            ),
            (
                "given with --include",
                [("nosuch", ROOT)],
                (),
                ["module nosuch not found (given with --include)"],
            ),
            ("made by a C module as it loads", [("_made", ROOT)], (), []),
            ("set by a module while it runs", [("os.path", "app")], (), []),
            (
                "the standard library's, for other systems",
                [("_winapi", "subprocess"), ("nt", "os")],
                (),
                [],
            ),
        ]
        for name, unresolved, optional, expected in cases:
            with self.subTest(name):
                warnings, details = explain.unresolved_warnings(needed(unresolved, optional))
                self.assertEqual(warnings, expected)
                # --verbose names each, with its importer.
                listed = {(m, i) for m, i in unresolved if i != ROOT and m != "os.path"}
                self.assertEqual(
                    sorted(d.split(" (")[0] for d in details),
                    sorted("not found: %s, imported by %s" % pair for pair in listed),
                )


if __name__ == "__main__":
    unittest.main()
