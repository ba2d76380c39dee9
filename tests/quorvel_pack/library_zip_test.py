"""The standard library's archive that the install step builds with the
packing tool's package."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

from quorvel_pack.members import FIXED_DATE_TIME


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
