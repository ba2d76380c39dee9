"""Distributable archives made by tools/pack-app --archive.

Each pack starts from a fresh copy of an installation of this build, so
two packs of the same application must give the same bytes whatever the
copies' own times, permissions and paths. Unpacked (tar, unzip) into a
directory with spaces, the application runs; the Debian package is
installed with dpkg, run through its command and removed again.

usage: archives_test.py --build DIR --source DIR [unittest options]
"""

import argparse
import glob
import itertools
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time
import unittest
import zipfile

from PIL import Image

from boxes import without_display
from desktop_entry import exec_arguments, read_entry, validate
from files import snapshot

BUILD = None
SOURCE = None
TIMEOUT = 600
EPOCH = 1700000000
COPIES = itertools.count()

# Prints its arguments and ends with status 3: what a run must show.
APP = {
    "__startup__.py": "import sys\nimport greeting\n\ndef run():\n"
    "    print(greeting.TEXT, sys.argv[1:])\n    raise SystemExit(3)\n",
    "greeting.py": "TEXT = 'hello from the packed application'\n",
}


def run(command, **options):
    options.setdefault("timeout", TIMEOUT)
    return subprocess.run(command, capture_output=True, text=True, **options)


class PackingFixture(unittest.TestCase):
    """An installation of this build and a small application to pack."""

    @classmethod
    def setUpClass(cls):
        cls.workspace = tempfile.mkdtemp(prefix="quorvel-archives-")
        cls.installation = os.path.join(cls.workspace, "installed")
        run(["cmake", "--install", BUILD, "--prefix", cls.installation], check=True)
        cls.app = os.path.join(cls.workspace, "greeter")
        os.makedirs(cls.app)
        for name, text in APP.items():
            with open(os.path.join(cls.app, name), "w") as out:
                out.write(text)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.workspace, ignore_errors=True)

    def fresh_installation(self, disturb=False):
        """A copy of the installation; disturbed, its files have other times
        and permissions than the first install gave them."""
        copy = os.path.join(self.workspace, "copy %d" % next(COPIES), "installation")
        shutil.copytree(self.installation, copy, symlinks=True)
        if disturb:
            for path in glob.glob(os.path.join(copy, "**"), recursive=True):
                if not os.path.islink(path):
                    os.chmod(path, os.stat(path).st_mode | 0o020)
                    os.utime(path, (time.time() - 5000, time.time() - 5000))
        return copy

    def pack(self, output, *options, installation=None, epoch=EPOCH, app=None):
        installation = installation or self.fresh_installation()
        return run(
            [
                sys.executable,
                os.path.join(SOURCE, "tools", "pack-app"),
                "--archive",
                output,
                *options,
                app or self.app,
                installation,
            ],
            env=dict(
                {k: v for k, v in os.environ.items() if k not in ("DEBFULLNAME", "DEBEMAIL")},
                SOURCE_DATE_EPOCH=str(epoch),
            ),
        )

    def packed(self, output, *options, **keywords):
        result = self.pack(output, *options, **keywords)
        self.assertEqual(0, result.returncode, result.stderr)
        return output

    def check_runs(self, program):
        result = run([program, "a b", "ü"], cwd=self.workspace, env=without_display())
        self.assertEqual(
            (3, "hello from the packed application ['a b', 'ü']\n", ""),
            (result.returncode, result.stdout, result.stderr),
        )


class Archives(PackingFixture):
    def test_same_inputs_give_the_same_bytes(self):
        deb = ("--name", "quorvel-repro", "--version", "1.2.3", "--summary", "Greets")
        for suffix, options in ((".tar.gz", ()), (".zip", ()), (".deb", deb)):
            with self.subTest(suffix):
                first = self.packed(os.path.join(self.workspace, "first" + suffix), *options)
                second = self.packed(
                    os.path.join(self.workspace, "second" + suffix),
                    *options,
                    installation=self.fresh_installation(disturb=True),
                )
                with open(first, "rb") as one, open(second, "rb") as other:
                    self.assertTrue(one.read() == other.read(), "%s archives differ" % suffix)

    def test_tarball_unpacked_anywhere_runs(self):
        archive = self.packed(
            os.path.join(self.workspace, "greeter.tar.gz"),
            installation=self.fresh_installation(disturb=True),
        )
        with open(archive, "rb") as raw:
            header = raw.read(10)
        self.assertEqual(b"\x1f\x8b\x08\x00\x00\x00\x00\x00", header[:8], "name or time in gzip")
        with tarfile.open(archive) as tar:
            entries = tar.getmembers()
        self.assertEqual({"greeter"}, {entry.name.split("/")[0] for entry in entries})
        self.assertEqual(
            [entry.name for entry in entries],
            sorted((entry.name for entry in entries), key=lambda n: n.split("/")),
        )
        self.assertEqual(
            {(EPOCH, 0, 0, "root")}, {(e.mtime, e.uid, e.gid, e.uname) for e in entries}
        )
        self.assertEqual({0o755, 0o644}, {e.mode for e in entries if not e.issym()})
        self.assertEqual([], [e.name for e in entries if "__pycache__" in e.name])
        self.assertIn("greeter/lib/liblinesearch.so", [e.name for e in entries if e.issym()])
        self.assertIn(("greeter/quorvel-dialog", 0o755), [(e.name, e.mode) for e in entries])
        target = os.path.join(self.workspace, "unpacked with spaces")
        os.makedirs(target)
        run(["tar", "-xzf", archive, "-C", target], check=True)
        self.check_runs(os.path.join(target, "greeter", "quorvel"))

    def test_zip_unpacked_anywhere_runs(self):
        # Named, the folder and its program take the name; the launcher's
        # program, the source of the named copy, stays behind.
        archive = self.packed(os.path.join(self.workspace, "named.zip"), "--name", "Greeter-2")
        with zipfile.ZipFile(archive) as zipped:
            names = zipped.namelist()
            self.assertEqual({"Greeter-2"}, {name.split("/")[0] for name in names})
            self.assertEqual(
                {time.gmtime(EPOCH)[:6]}, {info.date_time for info in zipped.infolist()}
            )
        self.assertIn("Greeter-2/licenses/INDEX.txt", names)
        self.assertNotIn("Greeter-2/quorvel", names)
        target = os.path.join(self.workspace, "unzipped with spaces")
        os.makedirs(target)
        run(["unzip", "-q", archive, "-d", target], check=True)
        self.check_runs(os.path.join(target, "Greeter-2", "Greeter-2"))

    def test_refusals_leave_nothing_behind(self):
        installation = self.fresh_installation()
        before = sorted(os.listdir(self.workspace))
        installed = snapshot(installation)
        deb = os.path.join(self.workspace, "refused.deb")
        cases = [
            (
                "unknown suffix",
                os.path.join(self.workspace, "refused.rar"),
                (),
                "unknown archive type",
            ),
            (
                "package name with capitals",
                deb,
                ("--name", "Greeter", "--version", "1", "--summary", "s"),
                "not a Debian package name",
            ),
            ("no version", deb, ("--summary", "s"), "needs --version"),
            (
                "version Debian cannot hold",
                deb,
                ("--version", "v1", "--summary", "s"),
                "does not fit a Debian package",
            ),
            ("no summary", deb, ("--version", "1"), "needs --summary"),
            (
                "summary of two lines",
                deb,
                ("--version", "1", "--summary", "a\nb"),
                "must be one line",
            ),
            (
                "inside the installation",
                os.path.join(installation, "self.zip"),
                (),
                "inside the installation",
            ),
            (
                "inside, named like a parent",
                os.path.join(installation, "..self.tar.gz"),
                (),
                "inside the installation",
            ),
            (
                "no such directory",
                os.path.join(self.workspace, "missing", "a.tar.gz"),
                (),
                "no writable directory",
            ),
            (
                "SOURCE_DATE_EPOCH not a number",
                os.path.join(self.workspace, "t.tar.gz"),
                (),
                "SOURCE_DATE_EPOCH",
            ),
        ]
        for name, output, options, message in cases:
            with self.subTest(name):
                epoch = "yesterday" if "SOURCE_DATE_EPOCH" in message else EPOCH
                result = self.pack(output, *options, installation=installation, epoch=epoch)
                self.assertEqual(1, result.returncode)
                self.assertIn(message, result.stderr)
                self.assertEqual(1, len(result.stderr.splitlines()), result.stderr)
                self.assertFalse(os.path.exists(output))
                self.assertEqual(installed, snapshot(installation), "nothing was packed")
        self.assertEqual(before, sorted(os.listdir(self.workspace)))
        self.assertEqual([], [n for n in os.listdir(installation) if n.endswith(".part")])


@unittest.skipUnless(os.geteuid() == 0, "installing a Debian package needs root")
class DebianPackage(PackingFixture):
    def setUp(self):
        self.package = "quorvel-test-%d" % os.getpid()

    def dpkg(self, *args):
        """dpkg, waiting while another package tool holds the lock."""
        deadline = time.monotonic() + 300
        while True:
            result = run(["dpkg", *args], env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
            if "lock" not in result.stderr or time.monotonic() > deadline:
                return result
            time.sleep(2)

    def identity_app(self):
        """The application with its identity in pyproject.toml and an icon."""
        app = os.path.join(self.workspace, "identity-%s" % self.package)
        shutil.copytree(self.app, app)
        with open(os.path.join(app, "pyproject.toml"), "w") as out:
            out.write(
                "[project]\n"
                f'name = "{self.package}"\n'
                'version = "2.0~rc1"\n'
                'description = "Greets whoever starts it"\n'
                'authors = [{name = "Ada Example", email = "ada@example.org"}]\n'
                'license = {file = "COPYING"}\n'
                "[tool.quorvel]\n"
                'icon = "greeter.png"\n'
            )
        with open(os.path.join(app, "COPYING"), "w") as out:
            out.write("Greeter's licence\n")
        Image.new("RGBA", (512, 512), (200, 60, 30, 255)).save(os.path.join(app, "greeter.png"))
        return app

    def test_installed_package_runs_and_is_removed_entirely(self):
        archive = self.packed(os.path.join(self.workspace, "greeter.deb"), app=self.identity_app())
        fields = run(["dpkg-deb", "--field", archive], check=True).stdout
        for field in (
            f"Package: {self.package}",
            "Version: 2.0~rc1",
            "Description: Greets whoever starts it",
            "Maintainer: Ada Example <ada@example.org>",
        ):
            self.assertIn(field, fields.splitlines())
        self.assertIn("Depends: ", fields)
        depends = fields.split("Depends: ", 1)[1].splitlines()[0]
        self.assertIn("libc6", depends)
        self.assertNotIn("libpython", depends, "the bundled runtime is not a dependency")
        self.assertNotIn("libblas", depends, "bundled libraries are not dependencies")

        self.addCleanup(self.dpkg, "--purge", self.package)
        installed = self.dpkg("-i", archive)
        self.assertEqual(0, installed.returncode, installed.stderr)
        # Everything the package owns, and only that, has its name in its path.
        files = [f for f in self.dpkg("-L", self.package).stdout.splitlines() if self.package in f]
        opt = f"/opt/{self.package}"
        self.assertIn(f"{opt}/lib/liblinesearch.so.3", files)
        self.assertIn(f"{opt}/quorvel-dialog", files)
        self.assertNotIn(f"{opt}/quorvel", files)
        self.check_runs("/usr/bin/" + self.package)
        self.assertEqual(f"{opt}/{self.package}", os.readlink("/usr/bin/" + self.package))
        with open(f"{opt}/licenses/INDEX.txt") as index:
            self.assertIn(f"{self.package}\t2.0~rc1\t{self.package}/COPYING\n", index.read())

        entry = f"/usr/share/applications/{self.package}.desktop"
        self.assertEqual("", validate(entry))
        keys = read_entry(entry)
        self.assertEqual(
            (
                self.package,
                "Greets whoever starts it",
                [f"/usr/bin/{self.package}", "%F"],
                self.package,
                "false",
            ),
            (
                keys["Name"],
                keys["Comment"],
                exec_arguments(keys["Exec"]),
                keys["Icon"],
                keys["Terminal"],
            ),
        )
        for size in (16, 32, 48, 64, 96, 128, 256):
            icon = f"/usr/share/icons/hicolor/{size}x{size}/apps/{self.package}.png"
            self.assertIn(icon, files)
            with Image.open(icon) as image:
                self.assertEqual(
                    ((size, size), (200, 60, 30, 255)),
                    (image.size, image.getpixel((size // 2, size // 2))),
                )

        removed = self.dpkg("-r", self.package)
        self.assertEqual(0, removed.returncode, removed.stderr)
        self.assertEqual([], [f for f in files if os.path.lexists(f)])
        self.assertFalse(os.path.lexists(opt))


def main():
    global BUILD, SOURCE
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", required=True)
    options, rest = parser.parse_known_args()
    BUILD, SOURCE = options.build, options.source
    unittest.main(argv=[sys.argv[0], *rest])


if __name__ == "__main__":
    main()
