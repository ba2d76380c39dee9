"""The licences found for what is shipped, from distribution metadata
written here and from the Debian packages of this machine, and the index."""

import os
import tempfile
import unittest

from files import write_files

from quorvel_pack import licences


class LicencesTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.root = self.tmp.name

    def test_distribution_licences_from_its_metadata(self):
        metadata = "Metadata-Version: 2.1\nName: %s\nVersion: 1.0\n"
        write_files(
            self.root,
            {
                # PEP 639: entries relative to licenses/.
                "new-1.0.dist-info/METADATA": metadata % "new" + "License-File: LICENSE.txt\n",
                "new-1.0.dist-info/licenses/LICENSE.txt": "new licence",
                # Older wheels: entries relative to the .dist-info; a
                # missing one is skipped.
                "old-1.0.dist-info/METADATA": metadata % "old"
                + "License-File: COPYING\nLicense-File: gone.txt\n",
                "old-1.0.dist-info/COPYING": "old licence",
                # No entries: the licence files it holds.
                "bare-1.0.dist-info/METADATA": metadata % "bare",
                "bare-1.0.dist-info/LICENSE.md": "bare licence",
                "bare-1.0.dist-info/RECORD": "",
                "none-1.0.dist-info/METADATA": metadata % "none" + "License-File: LICENSE\n",
            },
        )
        cases = [
            ("new-1.0", [("LICENSE.txt", b"new licence")]),
            ("old-1.0", [("COPYING", b"old licence")]),
            ("bare-1.0", [("LICENSE.md", b"bare licence")]),
            ("none-1.0", []),
        ]
        for stem, texts in cases:
            with self.subTest(stem):
                component = licences.distribution(os.path.join(self.root, stem + ".dist-info"))
                self.assertEqual(
                    (stem.split("-")[0], "1.0", tuple(texts)),
                    (component.name, component.version, component.texts),
                )

    def test_debian_packages_by_the_files_they_installed(self):
        # Merged /usr: dpkg records libz under /lib and libssl under /usr/lib,
        # and a library is copied from its resolved path.
        zlib = os.path.realpath("/usr/lib/x86_64-linux-gnu/libz.so.1")
        ssl = "/usr/lib/x86_64-linux-gnu/libssl.so.3"
        stranger = os.path.join(self.root, "libmine.so.1")
        write_files(self.root, {"libmine.so.1": "\x7fELF"})
        components = licences.native_libraries([zlib, ssl, stranger])
        self.assertEqual(["libssl3", "zlib1g", "libmine.so.1"], [c.name for c in components])
        with open("/usr/share/doc/zlib1g/copyright", "rb") as f:
            self.assertEqual((("copyright", f.read()),), components[1].texts)
        self.assertRegex(components[1].version, r"^1:1\.2\.")
        self.assertEqual(((), stranger), (components[2].texts, components[2].origin))

        # A distribution that Debian ships without its licence files.
        yaml = licences.distribution("/usr/lib/python3/dist-packages/PyYAML-6.0.dist-info")
        with open("/usr/share/doc/python3-yaml/copyright", "rb") as f:
            self.assertEqual(("PyYAML", (("copyright", f.read()),)), (yaml.name, yaml.texts))

        # Metadata in the older form: the fields in PKG-INFO (Debian installs
        # Jinja2 so, with python3-jinja2 from tools/install-deps).
        jinja = licences.distribution("/usr/lib/python3/dist-packages/Jinja2-3.1.2.egg-info")
        with open("/usr/share/doc/python3-jinja2/copyright", "rb") as f:
            self.assertEqual(
                ("Jinja2", "3.1.2", (("copyright", f.read()),)),
                (jinja.name, jinja.version, jinja.texts),
            )

        python = licences.interpreter("/usr/lib/python3.11", "3.11.2")
        with open("/usr/share/doc/libpython3.11-minimal/copyright", "rb") as f:
            self.assertEqual(("python", (("copyright", f.read()),)), (python.name, python.texts))

    def test_index_and_warnings(self):
        components = [
            licences.Component("greeter", "2.1", (("LICENSE", b"mine"),), "app"),
            licences.Component("c++", "1", (("a", b"1"), ("sub/b", b"2")), "x"),
            licences.Component("C++", "", (), "/lib/libc++.so"),
            licences.project("3.7.0"),
        ]
        written = licences.files(components)
        self.assertEqual(
            {"greeter/LICENSE": b"mine", "c++/a": b"1", "c++/sub/b": b"2"},
            {k: v for k, v in written.items() if k != licences.INDEX},
        )
        self.assertEqual(
            "component\tversion\tlicence\n"
            "greeter\t2.1\tgreeter/LICENSE\n"
            "c++\t1\tc++/a\n"
            "c++\t1\tc++/sub/b\n"
            "C++\t\t(not found)\n"
            "quorvel\t3.7.0\t(not found)\n",
            written[licences.INDEX].decode(),
        )
        # This project's own licence is not the application's to supply.
        self.assertEqual(
            ["no licence found for C++ (/lib/libc++.so)"], licences.warnings(components)
        )


if __name__ == "__main__":
    unittest.main()
