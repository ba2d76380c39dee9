"""The application's identity read from its pyproject.toml, with the
values given on the command line in place of its own."""

import io
import os
import tempfile
import unittest

from PIL import Image

from quorvel_pack import PackError, identity

PYPROJECT = """\
[project]
name = "greeter"
version = "2.1"
description = "Greets whoever starts it"
authors = [{name = "Ada Example", email = "ada@example.org"}, {name = "Bo"}]
license = {file = "LICENSE"}

[tool.quorvel]
icon = "art/greeter.png"
company = "Example Ltd"
copyright = "Copyright 2024 Ada Example"
"""


def write(root, files):
    for relative, contents in files.items():
        path = os.path.join(root, *relative.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb" if isinstance(contents, bytes) else "w") as f:
            f.write(contents)


def png(width, height=None, colour=(200, 40, 40, 255)):
    out = io.BytesIO()
    Image.new("RGBA", (width, height or width), colour).save(out, "PNG")
    return out.getvalue()


class Workspace(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.root = self.tmp.name


class IdentityTest(Workspace):
    def test_project_metadata_and_command_line(self):
        write(
            self.root,
            {
                "pyproject.toml": PYPROJECT,
                "LICENSE": "the licence\n",
                "art/greeter.png": png(256),
                "other.png": png(512),
            },
        )
        found = identity.of_application(self.root)
        self.assertEqual(
            ("greeter", "2.1", "Greets whoever starts it", "Example Ltd"),
            (found.name, found.version, found.summary, found.company),
        )
        self.assertEqual(os.path.join(self.root, "art", "greeter.png"), found.icon)
        self.assertEqual(
            (identity.Person("Ada Example", "ada@example.org"), identity.Person("Bo", "")),
            found.authors,
        )
        self.assertEqual((("LICENSE", os.path.join(self.root, "LICENSE")),), found.licence.files)
        self.assertEqual("greeter", identity.program_name(found))

        given = identity.of_application(
            self.root, "hello", "3.0", "Says hello", os.path.join(self.root, "other.png")
        )
        self.assertEqual(
            ("hello", "3.0", "Says hello", os.path.join(self.root, "other.png"), "Example Ltd"),
            (given.name, given.version, given.summary, given.icon, given.company),
        )

    def test_without_metadata_the_launcher_keeps_its_own(self):
        found = identity.of_application(self.root)
        self.assertEqual(identity.Identity(), found)
        self.assertEqual("quorvel", identity.program_name(found))

    def test_licence_forms(self):
        cases = [
            ('license = "MIT"', identity.Licence(expression="MIT")),
            ('license = {text = "Do as you like"}', identity.Licence(text="Do as you like")),
            (
                'license = "MIT OR Apache-2.0"\nlicense-files = ["LICEN[CS]E*", "legal/**/*.txt"]',
                identity.Licence(
                    expression="MIT OR Apache-2.0",
                    files=tuple(
                        (name, os.path.join(self.root, *name.split("/")))
                        for name in ("LICENSE-APACHE", "LICENSE-MIT", "legal/sub/notice.txt")
                    ),
                ),
            ),
            ("", None),
        ]
        write(self.root, {"LICENSE-MIT": "", "LICENSE-APACHE": "", "legal/sub/notice.txt": ""})
        for table, expected in cases:
            with self.subTest(table):
                write(self.root, {"pyproject.toml": "[project]\nname = 'x'\n" + table + "\n"})
                self.assertEqual(expected, identity.of_application(self.root).licence)

    def test_bad_metadata_is_refused_in_one_line(self):
        # The table of refused command-line values is the end-to-end one
        # (pack_app_test); these are the faults of the file itself.
        cases = [
            ("not TOML", "[project\n", "pyproject.toml"),
            ("name not a string", "[project]\nname = 3\n", "project.name is not a string"),
            ("project not a table", "project = 1\n", "[project] is not a table"),
            ("authors not tables", "[project]\nauthors = ['Ada']\n", "project.authors"),
            ("licence file missing", "[project]\nlicense = {file = 'COPYING'}\n", "COPYING"),
            (
                "licence file outside",
                "[project]\nlicense = {file = '../outside'}\n",
                "no such file",
            ),
            ("licence glob empty", "[project]\nlicense-files = ['NOTICE*']\n", "matches no file"),
            ("licence of a bad kind", "[project]\nlicense = ['MIT']\n", "project.license"),
            ("icon missing", "[tool.quorvel]\nicon = 'none.png'\n", "none.png"),
            ("bad name", "[project]\nname = 'a b'\n", "not a portable file name"),
        ]
        write(os.path.dirname(self.root), {"outside": ""})
        for what, text, message in cases:
            with self.subTest(what):
                write(self.root, {"pyproject.toml": text})
                with self.assertRaises(PackError) as raised:
                    identity.of_application(self.root)
                self.assertIn(message, str(raised.exception))
                self.assertEqual(1, len(str(raised.exception).splitlines()))


if __name__ == "__main__":
    unittest.main()
