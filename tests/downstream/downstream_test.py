"""Downstream C projects built against an installation of the libraries.

The installation is made by cmake --install and then moved, so nothing may
depend on where it was first put. A CMake project finds it with
find_package(quorvel CONFIG ...), a Makefile project with pkg-config; both
programs must link the libraries by their versioned sonames and run.

Libraries of a sanitizer build need the sanitizers' runtime in the program
that loads them: with --sanitize, the downstream programs are built with
the same sanitizers.

usage: downstream_test.py --build DIR --version X.Y.Z [--sanitize] [unittest options]
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = None
VERSION = None
SANITIZE_FLAGS = ""
TIMEOUT = 300
LIBRARIES = ("linesearch", "blaswrap", "cblassub")


def run(*command, **options):
    return subprocess.run(command, capture_output=True, text=True, timeout=TIMEOUT, **options)


def needed(program):
    dynamic = run("readelf", "--dynamic", program, check=True).stdout
    return re.findall(r"\(NEEDED\)\s+Shared library: \[(.*)\]", dynamic)


class Downstream(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.workspace = tempfile.mkdtemp(prefix="quorvel-downstream-")
        first = os.path.join(cls.workspace, "first")
        installed = run("cmake", "--install", BUILD, "--prefix", first)
        if installed.returncode != 0:
            raise RuntimeError(installed.stdout + installed.stderr)
        cls.installation = os.path.join(cls.workspace, "moved")
        os.rename(first, cls.installation)
        cls.sources = os.path.join(cls.workspace, "sources")
        shutil.copytree(HERE, cls.sources)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.workspace, ignore_errors=True)

    def check_consumer(self, program):
        # By soname, never by the unversioned link name. blaswrap exports the
        # bridges too, so a linker dropping unneeded libraries may leave out
        # cblassub.
        prefixes = tuple(f"lib{lib}." for lib in LIBRARIES)
        ours = [n for n in needed(program) if n.startswith(prefixes)]
        major = VERSION.split(".")[0]
        self.assertTrue(all(re.fullmatch(rf"lib\w+\.so\.{major}", n) for n in ours), ours)
        self.assertTrue({f"liblinesearch.so.{major}", f"libblaswrap.so.{major}"} <= set(ours))
        result = run(program, cwd=self.workspace)
        self.assertEqual(0, result.returncode, result.stdout + result.stderr)
        self.assertIn("CONVERGENCE", result.stdout)

    def configure(self, build, *components):
        return run(
            "cmake",
            "-S",
            os.path.join(self.sources, "cmake_project"),
            "-B",
            build,
            f"-DCMAKE_PREFIX_PATH={self.installation}",
            "-DCMAKE_BUILD_TYPE=Release",
            f"-DCMAKE_C_FLAGS={SANITIZE_FLAGS}",
            *components,
        )

    def test_cmake_project_finds_the_package(self):
        build = os.path.join(self.workspace, "cmake-build")
        configured = self.configure(build)
        self.assertEqual(0, configured.returncode, configured.stdout + configured.stderr)
        built = run("cmake", "--build", build)
        self.assertEqual(0, built.returncode, built.stdout + built.stderr)
        self.check_consumer(os.path.join(build, "consumer"))

    def test_cmake_package_refuses_unknown_components_and_versions(self):
        project = os.path.join(self.workspace, "wrong")
        os.makedirs(project)
        major = int(VERSION.split(".")[0])
        cases = [
            ("unknown component", "COMPONENTS linesearch lapack", "has no library lapack"),
            ("next major version", f"{major + 1}.0 COMPONENTS linesearch", VERSION),
        ]
        for name, arguments, message in cases:
            with self.subTest(name):
                with open(os.path.join(project, "CMakeLists.txt"), "w") as out:
                    out.write(
                        "cmake_minimum_required(VERSION 3.16)\nproject(wrong LANGUAGES C)\n"
                        f"find_package(quorvel {arguments} CONFIG REQUIRED)\n"
                    )
                result = run(
                    "cmake",
                    "-S",
                    project,
                    "-B",
                    os.path.join(project, "build"),
                    f"-DCMAKE_PREFIX_PATH={self.installation}",
                )
                self.assertNotEqual(0, result.returncode)
                self.assertIn(message, result.stderr)
                shutil.rmtree(os.path.join(project, "build"))

    def test_makefile_project_uses_pkg_config(self):
        environment = dict(
            os.environ,
            CFLAGS=SANITIZE_FLAGS,
            LDFLAGS=SANITIZE_FLAGS,
            PKG_CONFIG_PATH=os.path.join(self.installation, "lib", "pkgconfig"),
        )
        for name in LIBRARIES:
            version = run("pkg-config", "--modversion", name, env=environment)
            self.assertEqual(VERSION, version.stdout.strip(), version.stderr)
        project = os.path.join(self.sources, "makefile_project")
        built = run("make", "-C", project, env=environment)
        self.assertEqual(0, built.returncode, built.stdout + built.stderr)
        self.check_consumer(os.path.join(project, "consumer"))


def main():
    global BUILD, VERSION, SANITIZE_FLAGS
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--sanitize", action="store_true")
    options, rest = parser.parse_known_args()
    BUILD, VERSION = options.build, options.version
    if options.sanitize:
        SANITIZE_FLAGS = "-fsanitize=address,undefined"
    unittest.main(argv=[sys.argv[0], *rest])


if __name__ == "__main__":
    main()
