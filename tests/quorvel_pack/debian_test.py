"""The Debian package's fields, shlibs entries and menu entry, without
building a package."""

import os
import tempfile
import unittest
import unittest.mock

from files import write_files

from quorvel_pack import PackError, debian
from quorvel_pack.identity import Person

NAME_REFUSED = (
    "%r: not a Debian package name (lower case letters, digits, + - ., "
    "at least two characters); choose one with --name"
)
VERSION_MISSING = "a Debian package needs --version, or a version in pyproject.toml"
VERSION_REFUSED = (
    "version %r does not fit a Debian package: it must start with a digit (e.g. 1.0.2)"
)
SUMMARY_REFUSED = (
    "a Debian package needs --summary, one line of description (or a description in "
    "pyproject.toml)"
)


class FieldsTest(unittest.TestCase):
    def test_name_version_and_summary(self):
        cases = [
            ("greeter", "1.0", "Greets", None),
            ("g2", "2:1.0~rc1+b-3", "Greets", None),
            ("lib.x+y-z", "0", "Greets", None),
            ("Greeter", "1.0", "Greets", NAME_REFUSED % "Greeter"),
            ("g", "1.0", "Greets", NAME_REFUSED % "g"),
            ("-greeter", "1.0", "Greets", NAME_REFUSED % "-greeter"),
            ("greeter_app", "1.0", "Greets", NAME_REFUSED % "greeter_app"),
            ("greeter", None, "Greets", VERSION_MISSING),
            ("greeter", "v1.0", "Greets", VERSION_REFUSED % "v1.0"),
            ("greeter", "1.0 beta", "Greets", VERSION_REFUSED % "1.0 beta"),
            ("greeter", "1:", "Greets", VERSION_REFUSED % "1:"),
            ("greeter", "1.0", None, SUMMARY_REFUSED),
            ("greeter", "1.0", "", SUMMARY_REFUSED),
            ("greeter", "1.0", "two\nlines", SUMMARY_REFUSED),
        ]
        for name, version, summary, refusal in cases:
            with self.subTest(name=name, version=version, summary=summary):
                if refusal is None:
                    self.assertEqual(
                        debian.check_fields(name, version, summary), (version, summary)
                    )
                else:
                    with self.assertRaises(PackError) as refused:
                        debian.check_fields(name, version, summary)
                    self.assertEqual(str(refused.exception), refusal)


class MaintainerTest(unittest.TestCase):
    def test_from_the_environment_else_from_the_authors(self):
        ada, bo = Person("Ada Example", "ada@example.org"), Person("", "bo@example.org")
        cases = [
            (
                {"DEBFULLNAME": "Deb", "DEBEMAIL": "deb@example.org"},
                (ada,),
                "Deb <deb@example.org>",
            ),
            ({}, (Person("Cy", ""), ada), "Ada Example <ada@example.org>"),
            ({}, (bo,), "bo@example.org <bo@example.org>"),
            ({}, (Person("Cy", ""),), "greeter maintainers <greeter@localhost>"),
            # Half of the environment is the packager's word over the authors'.
            ({"DEBEMAIL": "deb@example.org"}, (ada,), "greeter maintainers <deb@example.org>"),
        ]
        for environment, authors, expected in cases:
            with self.subTest(environment=environment, authors=authors):
                kept = {k: v for k, v in os.environ.items() if k not in ("DEBFULLNAME", "DEBEMAIL")}
                with unittest.mock.patch.dict(os.environ, dict(kept, **environment), clear=True):
                    self.assertEqual(expected, debian.maintainer("greeter", authors))


class BundledSonamesTest(unittest.TestCase):
    def test_versioned_libraries_as_shlibs_names_them(self):
        with tempfile.TemporaryDirectory() as lib:
            write_files(
                lib,
                {
                    name: ""
                    for name in (
                        "libbz2.so.1.0",
                        "liblinesearch.so.3.7.0",
                        "liblinesearch.so",
                        "libffi.so.8",
                        "library.zip",
                        "_ssl.cpython-311-x86_64-linux-gnu.so",
                        "quorvel-runtime.json",
                    )
                },
            )
            self.assertEqual(
                debian.bundled_sonames(lib),
                [("libbz2", "1.0"), ("libffi", "8"), ("liblinesearch", "3.7.0")],
            )


class DesktopEntryTest(unittest.TestCase):
    def test_menu_entry(self):
        own = "[Desktop Entry]\nName=quorvel\nCategories=Science;Math;\nExec=/opt/x/quorvel\n"
        head = "[Desktop Entry]\nType=Application\nName=greeter\n"
        cases = [
            (
                "the installation's categories",
                own,
                "Greets",
                True,
                head + "Comment=Greets\nExec=/usr/bin/greeter %F\nIcon=greeter\n"
                "Terminal=false\nCategories=Science;Math;\n",
            ),
            (
                "no entry of its own, no icon",
                None,
                "Greets",
                False,
                head + "Comment=Greets\nExec=/usr/bin/greeter %F\n"
                "Terminal=false\nCategories=Utility;\n",
            ),
            (
                "backslashes in the summary escaped",
                None,
                r"C:\ and a\tb",
                False,
                head + "Comment=C:\\\\ and a\\\\tb\nExec=/usr/bin/greeter %F\n"
                "Terminal=false\nCategories=Utility;\n",
            ),
        ]
        for name, own_entry, summary, has_icon, expected in cases:
            with self.subTest(name), tempfile.TemporaryDirectory() as installation:
                if own_entry is not None:
                    write_files(installation, {"share/applications/quorvel.desktop": own_entry})
                entry = debian.desktop_entry(installation, "greeter", summary, has_icon)
                self.assertEqual(entry, expected)


if __name__ == "__main__":
    unittest.main()
