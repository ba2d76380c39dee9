"""pack-app: where it places an application, and what it leaves untouched."""

import os
import tempfile
import unittest
import zipfile

from installation import copy_installation, pack, run_quorvel, write_files


def app_files(version):
    """An application whose run() tells which copy of each module ran."""
    return {
        "__startup__.py": (
            "import sys\n"
            "import helper\n"
            "import tools.shared\n"
            "def run():\n"
            "    print('%s', helper.where(sys.modules[__name__]))\n"
            "    print(tools.shared.VALUE)\n" % version),
        "helper.py": (
            "import os\n"
            "def where(module):\n"
            "    return os.path.basename(module.__spec__.origin)\n"),
        "tools/__init__.py": "",
        "tools/shared.py": "VALUE = %r\n" % ("shared " + version),
        "notes.txt": "not a module\n",
    }


def archive_names(installation):
    with zipfile.ZipFile(os.path.join(installation, "lib", "library.zip")) as zf:
        assert zf.testzip() is None
        return set(zf.namelist())


def snapshot(installation):
    """Every file below the installation with its contents."""
    files = {}
    for root, _, names in os.walk(installation):
        for name in names:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                files[os.path.relpath(path, installation)] = f.read()
    return files


class PackAppTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.installation = copy_installation(self.tmp.name)
        self.runtime_members = archive_names(self.installation)

    def app(self, version, files=None):
        root = os.path.join(self.tmp.name, "app-" + version)
        write_files(root, files or app_files(version))
        return root

    def test_each_placement_imports_the_packed_copy(self):
        # Repacking in another place must not leave the old copy in front of
        # the new one: the archive comes first on the search path, and in it
        # bytecode wins over source.
        steps = [
            ("v1", [], "__startup__.pyc", {"__startup__.pyc", "tools/shared.pyc"}),
            ("v2", ["--lib"], "__startup__.py", set()),
            ("v3", ["--source"], "__startup__.py", {"__startup__.py", "tools/shared.py"}),
            ("v4", [], "__startup__.pyc", {"__startup__.pyc", "helper.pyc"}),
        ]
        lib = os.path.join(self.installation, "lib")
        for version, options, origin, in_archive in steps:
            with self.subTest(version=version, options=options):
                packed = pack(self.app(version), self.installation, *options)
                self.assertEqual(packed.returncode, 0, packed.stderr)
                result = run_quorvel(self.installation)
                self.assertEqual((result.returncode, result.stderr), (0, ""))
                self.assertEqual(result.stdout, "%s %s\nshared %s\n" % (version, origin, version))
                members = archive_names(self.installation)
                self.assertLessEqual(self.runtime_members, members)
                added = members - self.runtime_members
                self.assertLessEqual(in_archive, added)
                self.assertNotIn("notes.txt", added)
                loose = os.path.exists(os.path.join(lib, "__startup__.py"))
                self.assertEqual(loose, not in_archive)
                self.assertFalse([n for n in os.listdir(lib) if n.startswith(".library-")])

    def test_bytecode_archive_ships_no_source(self):
        packed = pack(self.app("v1"), self.installation)
        self.assertEqual(packed.returncode, 0, packed.stderr)
        added = archive_names(self.installation) - self.runtime_members
        self.assertEqual(added, {"__startup__.pyc", "helper.pyc", "tools/__init__.pyc",
                                 "tools/shared.pyc"})

    def test_rejected_packs_change_nothing(self):
        broken = app_files("v1")
        broken["tools/shared.py"] = "VALUE = (\n"
        no_startup = app_files("v1")
        del no_startup["__startup__.py"]
        shadowing = app_files("v1")
        shadowing["json.py"] = "VALUE = 1\n"
        cases = [
            ("standard module name", self.app("shadowing", shadowing), self.installation, [],
             "taken by the standard library: json"),
            ("syntax error", self.app("broken", broken), self.installation, [], "SyntaxError"),
            ("no startup module", self.app("nostartup", no_startup), self.installation, [],
             "no __startup__.py"),
            ("not an installation", self.app("v1"), self.tmp.name, [], "not an installation"),
        ]
        before = snapshot(self.installation)
        for name, app_dir, target, options, message in cases:
            with self.subTest(name):
                packed = pack(app_dir, target, *options)
                self.assertEqual(packed.returncode, 1)
                self.assertTrue(packed.stderr.startswith("pack-app: "), packed.stderr)
                self.assertIn(message, packed.stderr)
                self.assertEqual(snapshot(self.installation), before)

    def test_bytecode_of_another_python_is_refused(self):
        foreign = os.path.join(self.tmp.name, "foreign")
        os.makedirs(os.path.join(foreign, "lib"))
        archive = os.path.join(foreign, "lib", "library.zip")
        with zipfile.ZipFile(archive, "w") as zf:
            zf.writestr("os.pyc", b"\x00\x00\r\n" + bytes(12))
        app_dir = self.app("v1")
        refused = pack(app_dir, foreign)
        self.assertEqual(refused.returncode, 1)
        self.assertIn("another Python version", refused.stderr)
        self.assertEqual(archive_names(foreign), {"os.pyc"})
        accepted = pack(app_dir, foreign, "--source")
        self.assertEqual(accepted.returncode, 0, accepted.stderr)
        self.assertIn("__startup__.py", archive_names(foreign))


if __name__ == "__main__":
    unittest.main()
