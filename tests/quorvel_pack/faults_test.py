"""pack-app under faults and bad input: concurrent and killed runs with
--archive, binaries that cannot run here, deep trees, ambiguous module
names, sparse files and names an archive cannot carry."""

import fcntl
import os
import re
import signal
import struct
import subprocess
import sys
import tarfile
import time
import unittest

from elftools.elf.dynamic import DynamicSegment
from elftools.elf.elffile import ELFFile
from files import snapshot, write_files
from installation import PACK_APP, PackingCase, pack, run_quorvel
from pack_app_test import EXTENSION_SUFFIX, PRINT_RUN, build_extension, extension_source
from quorvel_pack import fs

TIMEOUT = 120
EM_AARCH64 = 183
DT_DEBUG = 21


def shared_library(path, soname, source="int packdep(void) { return 5; }\n", link=()):
    subprocess.run(
        ["cc", "-shared", "-fPIC", "-Wl,-soname," + soname, "-x", "c", "-", "-o", path, *link],
        input=source,
        text=True,
        check=True,
    )
    return path


def edit_file(path, offset, data):
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(data)


def set_machine(path, machine):
    edit_file(path, 18, struct.pack("<H", machine))  # e_machine


def drop_string_table(path):
    """Turns the DT_STRTAB entry of the dynamic section into DT_DEBUG."""
    with open(path, "rb") as f:
        elf = ELFFile(f)
        entry_size = elf.structs.Elf_Dyn.sizeof()
        dynamic = next(s for s in elf.iter_segments() if isinstance(s, DynamicSegment))
        index = next(
            i for i, tag in enumerate(dynamic.iter_tags()) if tag.entry.d_tag == "DT_STRTAB"
        )
        offset = dynamic["p_offset"] + index * entry_size
    edit_file(path, offset, struct.pack("<q", DT_DEBUG))


def truncate_to_half(path):
    os.truncate(path, os.path.getsize(path) // 2)


class Fixture(PackingCase):
    def assert_refused(self, result, *parts):
        """A refusal: status 1 and one line that holds each of parts."""
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        lines = [
            line
            for line in result.stderr.splitlines(keepends=True)
            if not line.startswith("pack-app: warning: ")
        ]
        self.assertEqual(len(lines), 1, result.stderr)
        self.assertTrue(lines[0].startswith("pack-app: ") and lines[0].endswith("\n"), lines)
        for part in parts:
            self.assertIn(part, lines[0])

    def start_pack(self, app_dir, *options):
        return subprocess.Popen(
            [sys.executable, PACK_APP, *options, app_dir, self.installation],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )

    def when(self, process, condition):
        """Waits until condition() holds while process runs; False when it ended first."""
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline and process.poll() is None:
            if condition():
                return True
            time.sleep(0.001)
        return False


def partial_files(directory, output_name):
    pattern = re.compile(re.escape("." + output_name + ".") + r"[A-Za-z0-9_]+\.part")
    return sorted(n for n in os.listdir(directory) if pattern.fullmatch(n))


def archived_lib(archive, top):
    """{path below lib/: bytes} of the files a tarball holds."""
    found = {}
    with tarfile.open(archive) as tar:
        for member in tar.getmembers():
            prefix = top + "/lib/"
            if member.isfile() and member.name.startswith(prefix):
                found[member.name[len(prefix) :]] = tar.extractfile(member).read()
    return found


def installed_lib(installation):
    found = {}
    lib = os.path.join(installation, "lib")
    for root, _, names in os.walk(lib):
        for name in names:
            path = os.path.join(root, name)
            if not os.path.islink(path) and "__pycache__" not in path:
                with open(path, "rb") as f:
                    found[os.path.relpath(path, lib)] = f.read()
    return found


class ArchiveTest(Fixture):
    """--archive: written under the run's lock, never left half-written,
    refused before anything changes when it cannot hold a name."""

    def large_app(self, name, marker):
        # Random bytes do not compress: writing the archive takes seconds.
        app_dir = self.app(name, {"__startup__.py": PRINT_RUN, marker + ".py": ""})
        with open(os.path.join(app_dir, "blob.bin"), "wb") as f:
            f.write(os.urandom(48 << 20))
        return app_dir

    def test_archive_holds_the_application_this_run_packed(self):
        output = os.path.join(self.tmp.name, "first.tar.gz")
        first = self.start_pack(self.large_app("first", "first_marker"), "--archive", output)
        if not self.when(first, lambda: partial_files(self.tmp.name, "first.tar.gz")):
            first.communicate()
            self.skipTest("the archive was written before it could be seen")
        first.send_signal(signal.SIGSTOP)
        try:
            # While the archive is written the installation stays locked:
            # a second pack is refused and cannot change what is archived.
            directory = os.open(self.installation, os.O_RDONLY)
            try:
                with self.assertRaises(BlockingIOError):
                    fcntl.flock(directory, fcntl.LOCK_EX | fcntl.LOCK_NB)
            finally:
                os.close(directory)
            second = pack(
                self.app("second", {"__startup__.py": PRINT_RUN, "second_marker.py": ""}),
                self.installation,
            )
            self.assert_refused(second, "another pack-app is packing into it")
        finally:
            first.send_signal(signal.SIGCONT)
        _, stderr = first.communicate(timeout=TIMEOUT)
        self.assertEqual(first.returncode, 0, stderr)
        archived = archived_lib(output, "app-first")
        self.assertIn("first_marker.pyc", archived)
        self.assertEqual(archived, installed_lib(self.installation))

    def test_next_run_removes_what_a_killed_archive_write_left(self):
        output = os.path.join(self.tmp.name, "app.tar.gz")
        app_dir = self.large_app("app", "marker")
        killed = self.start_pack(app_dir, "--archive", output)
        if not self.when(killed, lambda: partial_files(self.tmp.name, "app.tar.gz")):
            killed.communicate()
            self.skipTest("the archive was written before it could be seen")
        killed.kill()
        killed.communicate()
        self.assertTrue(partial_files(self.tmp.name, "app.tar.gz"))
        # Another output's partial file, and one that a live run writes
        # (it holds a lock on it), are left alone.
        others = [".app.zip.a1b2c3d4.part", ".app.tar.gz.live0001.part"]
        write_files(self.tmp.name, {name: "partial" for name in others})
        live = open(os.path.join(self.tmp.name, others[1]))
        self.addCleanup(live.close)
        fcntl.flock(live, fcntl.LOCK_EX)
        self.packed(app_dir, "--archive", output)
        self.assertEqual(partial_files(self.tmp.name, "app.tar.gz"), [others[1]])
        self.assertTrue(os.path.exists(os.path.join(self.tmp.name, others[0])))
        self.assertTrue(tarfile.is_tarfile(output))

    def test_names_an_archive_cannot_carry_are_refused_before_anything_changes(self):
        deb = ["--name", "greeter", "--version", "1.0", "--summary", "Greets"]
        # output, the odd file name, options, part of the refusal (None: accepted)
        cases = [
            ("app.deb", "line\nfeed.txt", deb, "a line feed"),
            ("app.zip", "line\nfeed.txt", [], "a control character"),
            ("app.zip", "tab\there.txt", [], "a control character"),
            ("app.tar.gz", "line\nfeed.txt", [], None),
            # Without an archive, a refusal that names the file is one line too.
            (None, "line\nfeed.py", [], "not a valid module name"),
        ]
        self.packed(self.app("first", {"__startup__.py": PRINT_RUN}))
        for number, (output, odd_name, options, refusal) in enumerate(cases):
            with self.subTest(output=output, name=odd_name):
                files = {"__startup__.py": PRINT_RUN, odd_name: "data"}
                app_dir = self.app("odd%d" % number, files)
                target = os.path.join(self.tmp.name, "out", output or "none")
                os.makedirs(os.path.dirname(target), exist_ok=True)
                before = snapshot(self.installation), os.listdir(os.path.dirname(target))
                archive = ["--archive", target] if output else []
                result = pack(app_dir, self.installation, *archive, *options)
                if refusal is None:
                    self.assertEqual(result.returncode, 0, result.stderr)
                    with tarfile.open(target) as tar:
                        self.assertIn("app-odd%d/lib/%s" % (number, odd_name), tar.getnames())
                    continue
                self.assert_refused(result, repr(odd_name)[1:-1], refusal)
                after = snapshot(self.installation), os.listdir(os.path.dirname(target))
                self.assertEqual(after, before)


class BinaryTest(Fixture):
    """Binaries that cannot run on this machine are refused, naming them."""

    def native_app(self, name):
        """An application whose extension module needs libpackdep.so.1, found
        through its run path; returns (app, extension module, library)."""
        app_dir = self.app(name, {"__startup__.py": "import native\n" + PRINT_RUN})
        deps = os.path.join(self.tmp.name, "deps-" + name)
        os.makedirs(deps)
        library = shared_library(os.path.join(deps, "libpackdep.so.1"), "libpackdep.so.1")
        extension = build_extension(
            app_dir,
            "native",
            extension_source("native", "packdep()", extra="int packdep(void);"),
            link=["-L" + deps, "-l:libpackdep.so.1", "-Wl,-rpath," + deps],
        )
        return app_dir, extension, library

    def test_binaries_that_cannot_run_here_are_refused(self):
        # name, which file is damaged (0 extension, 1 library), damage, refusal
        cases = [
            ("truncated extension module", 0, truncate_to_half, "damaged ELF file"),
            ("no dynamic string table", 0, drop_string_table, "no dynamic string table"),
            ("extension module for AArch64", 0, lambda p: set_machine(p, EM_AARCH64), "AArch64"),
            ("library for AArch64", 1, lambda p: set_machine(p, EM_AARCH64), "AArch64"),
            ("missing library", 1, os.unlink, "library libpackdep.so.1 not found"),
        ]
        self.packed(self.app("first", {"__startup__.py": PRINT_RUN}))
        before = snapshot(self.installation)
        for number, (name, which, damage, refusal) in enumerate(cases):
            with self.subTest(name):
                app_dir, *binaries = self.native_app("case%d" % number)
                damage(binaries[which])
                result = pack(app_dir, self.installation)
                self.assert_refused(result, os.path.basename(binaries[0]), refusal)
                self.assertEqual(snapshot(self.installation), before)
        self.assertEqual(run_quorvel(self.installation).stdout, "ran\n")

    def test_missing_library_of_a_binary_shipped_as_data_is_named(self):
        # A package is shipped whole: a library in a directory that is no
        # package is shipped, but no import reaches it.
        site = os.path.join(self.tmp.name, "site-packages")
        write_files(site, {"vendored/__init__.py": "VALUE = 3\n"})
        deps = os.path.join(self.tmp.name, "deps")
        os.makedirs(os.path.join(site, "vendored", "bundled-libs"))
        os.makedirs(deps)
        shared_library(os.path.join(deps, "libgone.so.1"), "libgone.so.1")
        helper = shared_library(
            os.path.join(site, "vendored", "bundled-libs", "libhelper.so"),
            "libhelper.so",
            "int packdep(void); int helper(void) { return packdep(); }\n",
            ["-L" + deps, "-l:libgone.so.1"],
        )
        os.unlink(os.path.join(deps, "libgone.so.1"))
        app_dir = self.app(
            "vendored",
            {"__startup__.py": "import vendored\ndef run():\n    print(vendored.VALUE)\n"},
        )
        result = self.packed(app_dir, "--path", site)
        self.assertIn("libgone.so.1", result.stderr)
        self.assertIn("vendored/bundled-libs/libhelper.so", result.stderr)
        self.assertTrue(
            os.path.isfile(os.path.join(self.installation, "lib", os.path.relpath(helper, site)))
        )
        self.assertEqual(run_quorvel(self.installation).stdout, "3\n")


class TreeTest(Fixture):
    def test_any_directory_depth(self):
        # TemporaryDirectory's own removal recurses.
        self.addCleanup(lambda: fs.remove_tree(self.tmp.name) or os.mkdir(self.tmp.name))
        app_dir = self.app(
            "deep",
            {
                "__startup__.py": (
                    "import os\ndef run():\n"
                    "    here = os.path.dirname(__file__)\n"
                    "    path = os.path.join(here, 'tree', *['d'] * 1100, 'leaf.txt')\n"
                    "    print(open(path).read())\n"
                )
            },
        )
        bottom = os.path.join(app_dir, "tree")
        os.mkdir(bottom)
        for _ in range(1100):  # os.makedirs recurses
            bottom = os.path.join(bottom, "d")
            os.mkdir(bottom)
        write_files(bottom, {"leaf.txt": "at the bottom", "leaf.py": ""})
        deep = "/".join(["d"] * 1100)
        output = os.path.join(self.tmp.name, "deep.tar.gz")
        for _ in range(2):  # the second run replaces the first's deep tree
            self.packed(app_dir, "--archive", output)
        self.assertEqual(run_quorvel(self.installation).stdout, "at the bottom\n")
        self.assertEqual([n for n in os.listdir(self.installation) if n.startswith(".")], [])
        with tarfile.open(output) as tar:
            self.assertIn("app-deep/lib/tree/%s/leaf.txt" % deep, tar.getnames())

    def test_module_and_package_of_one_name_are_refused(self):
        ext = EXTENSION_SUFFIX
        # files beside __startup__.py, the two names the refusal gives
        cases = [
            (["__startup__/__init__.py"], "__startup__.py", "__startup__/"),
            (["util.py", "util/__init__.py"], "util.py", "util/"),
            (["pkg/__init__.py", "pkg/io.py", "pkg/io/reader.py"], "pkg/io.py", "pkg/io/"),
            (["tool.py", "tool" + ext], "tool.py", "tool" + ext),
        ]
        for number, (extra, first, second) in enumerate(cases):
            with self.subTest(first):
                files = {"__startup__.py": PRINT_RUN, **{name: "" for name in extra}}
                result = pack(self.app("clash%d" % number, files), self.installation)
                self.assert_refused(result, first, second)
        # A directory of data beside a module is no package.
        self.packed(
            self.app("data", {"__startup__.py": PRINT_RUN, "assets.py": "", "assets/a.txt": ""})
        )

    def test_sparse_files_stay_sparse(self):
        app_dir = self.app("sparse", {"__startup__.py": PRINT_RUN})
        big = os.path.join(app_dir, "big.bin")
        with open(big, "wb") as f:
            f.truncate(1 << 30)
        mixed = os.path.join(app_dir, "mixed.bin")
        with open(mixed, "wb") as f:
            f.write(b"head" * 1024)
            f.seek(64 << 20)
            f.write(b"tail" * 1024)
            f.truncate(96 << 20)
        if os.stat(big).st_blocks * 512 >= 1 << 20:
            self.skipTest("this file system does not keep holes")
        self.packed(app_dir)
        lib = os.path.join(self.installation, "lib")
        copied = os.stat(os.path.join(lib, "big.bin"))
        self.assertEqual(copied.st_size, 1 << 30)
        self.assertLess(copied.st_blocks * 512, 1 << 20)
        copied = os.stat(os.path.join(lib, "mixed.bin"))
        self.assertLess(copied.st_blocks * 512, 4 << 20)
        with open(mixed, "rb") as original, open(os.path.join(lib, "mixed.bin"), "rb") as copy:
            self.assertTrue(original.read() == copy.read(), "contents differ")


if __name__ == "__main__":
    unittest.main()
