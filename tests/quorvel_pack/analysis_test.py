"""The application's files and checks."""

import os
import sysconfig
import tempfile
import unittest

from files import write_files

from quorvel_pack import PackError, analysis

EXTENSION_SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")


class EntryTest(unittest.TestCase):
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


class FilesTest(unittest.TestCase):
    def test_role_and_module_by_path(self):
        linux = EXTENSION_SUFFIX
        cases = [
            ("m.py", analysis.EXTENSION_SUFFIXES, ("m", "module")),
            ("pkg/__init__.py", analysis.EXTENSION_SUFFIXES, ("pkg", "module")),
            ("pkg/sub/m.py", analysis.EXTENSION_SUFFIXES, ("pkg.sub.m", "module")),
            ("pkg/_fast" + linux, analysis.EXTENSION_SUFFIXES, ("pkg._fast", "extension")),
            ("pkg/_fast.so", analysis.EXTENSION_SUFFIXES, ("pkg._fast", "extension")),
            ("pkg/_fast.pyd", (".pyd",), ("pkg._fast", "extension")),
            ("pkg/_fast" + linux, (".pyd",), (None, "data")),
            ("pkg/page.html", analysis.EXTENSION_SUFFIXES, (None, "data")),
            ("README", analysis.EXTENSION_SUFFIXES, (None, "data")),
        ]
        for relative, suffixes, expected in cases:
            with self.subTest(relative, suffixes=suffixes):
                self.assertEqual(analysis.module_of(relative, suffixes), expected)

    def test_application_files_with_their_roles(self):
        with tempfile.TemporaryDirectory() as app:
            write_files(
                app,
                {
                    "__startup__.py": "",
                    "__init__.py": "",
                    "pkg/__init__.py": "",
                    "pkg/m.py": "",
                    "pkg/m.py~": "",
                    "pkg/data.json": "",
                    "pkg/__pycache__/m.cpython-311.pyc": "",
                    ".git/HEAD": "",
                    "nopkg/x.py": "",
                },
            )
            os.symlink("pkg/m.py", os.path.join(app, "alias.py"))
            found = analysis.application_files(app)
            self.assertEqual(
                [tuple(f) for f in found],
                [
                    (".git/", "skipped", None),
                    ("__init__.py", "skipped", None),
                    ("__startup__.py", "module", "__startup__"),
                    ("alias.py", "module", "alias"),
                    ("nopkg/x.py", "module", "nopkg.x"),
                    ("pkg/__init__.py", "module", "pkg"),
                    ("pkg/__pycache__/", "skipped", None),
                    ("pkg/data.json", "data", None),
                    ("pkg/m.py", "module", "pkg.m"),
                    ("pkg/m.py~", "skipped", None),
                ],
            )

    def test_refused_files(self):
        cases = [
            ("a name that is no module name", {"1bad.py": ""}, None, "1bad.py: not a valid module"),
            ("a keyword", {"pkg/class.py": ""}, None, "pkg/class.py: not a valid module"),
            ("a backslash", {"a\\b.txt": ""}, None, "a\\b.txt: a backslash in a file name"),
            ("a link out", {}, ("../elsewhere", "out"), "out: symlink leads outside"),
            ("a dangling link", {}, ("missing", "gone"), "gone: dangling symlink"),
            ("a loop", {"d/x.txt": ""}, ("..", "d/up"), "symlinks form a loop"),
        ]
        for name, files, link, refusal in cases:
            with self.subTest(name), tempfile.TemporaryDirectory() as tmp:
                app = os.path.join(tmp, "app")
                write_files(app, {"__startup__.py": "", **files})
                os.mkdir(os.path.join(tmp, "elsewhere"))
                if link:
                    os.symlink(link[0], os.path.join(app, *link[1].split("/")))
                with self.assertRaises(PackError) as refused:
                    analysis.application_files(app)
                self.assertIn(refusal, str(refused.exception))


if __name__ == "__main__":
    unittest.main()
