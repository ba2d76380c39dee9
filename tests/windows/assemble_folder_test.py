"""pack-app --runtime: the runnable Windows folder from a Windows installation
and a synthetic embeddable package of stand-ins, and what it refuses.

The imports of the assembled files are read with pefile, independently of
the tool's own reader. Environment: QUORVEL_SOURCE_DIR,
QUORVEL_WINDOWS_INSTALLATION (made by cmake --install), QUORVEL_EMBED_DIR
(the stand-ins, in package/, blas/ and fortran/), QUORVEL_EMULATOR (the
command that runs a Windows program, its words separated by |).
"""

import fcntl
import io
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import unittest
import unittest.mock
import zipfile

import pefile
from PIL import Image

import check_pe
from files import snapshot, write_files
from quorvel_pack import pe, windows
from quorvel_pack.options import WindowsOptions

SOURCE_DIR = os.environ["QUORVEL_SOURCE_DIR"]
INSTALLATION = os.environ["QUORVEL_WINDOWS_INSTALLATION"]
EMBED_DIR = os.environ["QUORVEL_EMBED_DIR"]
EMULATOR = os.environ["QUORVEL_EMULATOR"].split("|")
PACK_APP = os.path.join(SOURCE_DIR, "tools", "pack-app")
PACKAGE_DIR = os.path.join(EMBED_DIR, "package")
BLAS_DIR = os.path.join(EMBED_DIR, "blas")
FORTRAN_DIR = os.path.join(EMBED_DIR, "fortran")
TIMEOUT = 120

STDLIB = {
    "os.pyc": b"os",
    "ntpath.pyc": b"ntpath",
    "encodings/__init__.pyc": b"encodings",
    "encodings/utf_8.pyc": b"utf_8",
}
APP = {
    "__startup__.py": "import helper\ndef run():\n    helper.greet()\n",
    "helper.py": "def greet():\n    print('hello')\n",
    "tools/__init__.py": "",
    "tools/data.json": "{}\n",
    "notes.txt": "not a module\n",
}

# The DLLs that the stand-ins and the built files may take from the system.
SYSTEM = {"kernel32.dll", "msvcrt.dll", "user32.dll", "shlwapi.dll"}

EXPECTED_FOLDER = {
    "quorvel.exe": os.path.join(INSTALLATION, "quorvel.exe"),
    "python38.dll": os.path.join(PACKAGE_DIR, "python38.dll"),
    "python3.dll": os.path.join(PACKAGE_DIR, "python3.dll"),
    "vcruntime140.dll": os.path.join(PACKAGE_DIR, "vcruntime140.dll"),
    "lib/linesearch.dll": os.path.join(INSTALLATION, "lib", "linesearch.dll"),
    "lib/blaswrap.dll": os.path.join(INSTALLATION, "lib", "blaswrap.dll"),
    "lib/cblassub.dll": os.path.join(INSTALLATION, "lib", "cblassub.dll"),
    "lib/_ctypes.pyd": os.path.join(PACKAGE_DIR, "_ctypes.pyd"),
    "lib/select.pyd": os.path.join(PACKAGE_DIR, "select.pyd"),
    "lib/libffi-7.dll": os.path.join(PACKAGE_DIR, "libffi-7.dll"),
    "lib/libblas.dll": os.path.join(BLAS_DIR, "libblas.dll"),
    "lib/libcblas.dll": os.path.join(BLAS_DIR, "libcblas.dll"),
    "lib/liblapack.dll": os.path.join(BLAS_DIR, "liblapack.dll"),
    "lib/libgfortran-5.dll": os.path.join(FORTRAN_DIR, "libgfortran-5.dll"),
    "lib/libquadmath-0.dll": os.path.join(FORTRAN_DIR, "libquadmath-0.dll"),
    "lib/library.zip": None,
    "licenses/INDEX.txt": None,
    "licenses/python/LICENSE.txt": None,
}
# The interpreter's licence is the package's; the stand-ins of the outside
# DLLs were built here, so no package of this system records them.
OUTSIDE_DLLS = [
    "libblas.dll",
    "libcblas.dll",
    "libgfortran-5.dll",
    "liblapack.dll",
    "libquadmath-0.dll",
]
LICENCES_INDEX = (
    "component\tversion\tlicence\n"
    "python\t3.8\tpython/LICENSE.txt\n"
    + "".join("%s\t\t(not found)\n" % dll for dll in OUTSIDE_DLLS)
    + "quorvel\t3.7.0.0\t(not found)\n"
)
IDENTITY = """\
[project]
name = "greeter"
version = "2.1.0"
description = "Greets whoever starts it"
license = {file = "LICENSE"}

[tool.quorvel]
icon = "greeter.png"
company = "Example Ltd"
copyright = "Copyright 2026 Example Ltd"
"""
ICON_COLOUR = (30, 140, 200, 255)


def write_package(path, dll_name="python38.dll", machine=None, drop=()):
    """An embeddable package: the stand-ins, a small standard library, the
    interpreter programs, the ._pth file and the licence text. machine
    rewrites the machine field of the interpreter DLL."""
    stem = os.path.splitext(dll_name)[0]
    stdlib = io.BytesIO()
    with zipfile.ZipFile(stdlib, "w") as library:
        for name, data in STDLIB.items():
            library.writestr(name, data)
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as package:
        for name in sorted(os.listdir(PACKAGE_DIR)):
            with open(os.path.join(PACKAGE_DIR, name), "rb") as f:
                data = f.read()
            if name == "python38.dll":
                name = dll_name
                if machine is not None:
                    header = struct.unpack_from("<I", data, 0x3C)[0]
                    data = data[: header + 4] + struct.pack("<H", machine) + data[header + 6 :]
            package.writestr(name, data)
        package.writestr(stem + ".zip", stdlib.getvalue())
        package.writestr(stem + "._pth", stem + ".zip\n.\n")
        for program in ("python.exe", "pythonw.exe"):
            with open(os.path.join(INSTALLATION, "quorvel.exe"), "rb") as f:
                package.writestr(program, f.read())
        package.writestr("LICENSE.txt", "licence\n")
    if drop:
        with zipfile.ZipFile(path) as old:
            kept = [(i, old.read(i)) for i in old.infolist() if i.filename not in drop]
        with zipfile.ZipFile(path, "w") as new:
            for info, data in kept:
                new.writestr(info, data)


def exports(path):
    image = pefile.PE(path)
    directory = getattr(image, "DIRECTORY_ENTRY_EXPORT", None)
    return {s.name.decode() for s in directory.symbols if s.name} if directory else set()


def imports(path):
    """{DLL name in lower case: imported names} of a PE file."""
    image = pefile.PE(path)
    table = {}
    for entry in getattr(image, "DIRECTORY_ENTRY_IMPORT", []):
        names = {i.name.decode() for i in entry.imports if i.name}
        table.setdefault(entry.dll.decode().lower(), set()).update(names)
    return table


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class AssembleTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.folder = os.path.join(self.tmp.name, "App")
        shutil.copytree(INSTALLATION, self.folder)
        self.app = os.path.join(self.tmp.name, "app")
        write_files(self.app, APP)
        self.package = os.path.join(self.tmp.name, "python-3.8-embed-amd64.zip")
        write_package(self.package)

    def pack(self, *options, app=None, package=None, folder=None):
        return subprocess.run(
            [
                sys.executable,
                PACK_APP,
                "--runtime",
                package or self.package,
                *options,
                app or self.app,
                folder or self.folder,
            ],
            capture_output=True,
            text=True,
            timeout=TIMEOUT,
        )

    def assert_folder_assembled(self):
        files = snapshot(self.folder, directories=False)
        self.assertEqual(sorted(files), sorted(EXPECTED_FOLDER))
        for relative, origin in EXPECTED_FOLDER.items():
            if origin is not None:
                with open(origin, "rb") as f:
                    self.assertEqual(files[relative], f.read(), relative)
        self.assertEqual(files["licenses/python/LICENSE.txt"], b"licence\n")
        self.assertEqual(files["licenses/INDEX.txt"].decode(), LICENCES_INDEX)
        with zipfile.ZipFile(os.path.join(self.folder, "lib", "library.zip")) as library:
            self.assertIsNone(library.testzip())
            members = {n: library.read(n) for n in library.namelist()}
        # The runtime (3.8) differs from this interpreter: sources, not
        # bytecode. The application's __startup__ steps aside for the
        # generated one, which calls its run.
        application = {n: t.encode() for n, t in APP.items()}
        application["__app_startup__.py"] = application.pop("__startup__.py")
        startup = members.pop("__startup__.py", b"")
        self.assertEqual(members, {**STDLIB, **application})
        compile(startup, "__startup__.py", "exec")
        ran = subprocess.run(
            [
                sys.executable,
                "-I",
                "-c",
                "import sys; sys.path.insert(0, sys.argv[1]); "
                "import __startup__; __startup__.run(); print(sys.frozen)",
                os.path.join(self.folder, "lib", "library.zip"),
            ],
            capture_output=True,
            text=True,
            timeout=TIMEOUT,
        )
        self.assertEqual((ran.stdout, ran.stderr), ("hello\nTrue\n", ""))

    def assert_imports_resolve(self):
        """Every import of every shipped PE file names a system DLL or a
        shipped file that exports each name taken from it; what the
        program loads before it names lib/ lies beside it."""
        shipped = {
            os.path.basename(r).lower(): r
            for r in EXPECTED_FOLDER
            if r.endswith((".exe", ".dll", ".pyd"))
        }
        beside_program = set()
        pending = ["quorvel.exe"]
        while pending:
            name = pending.pop()
            if name in beside_program:
                continue
            beside_program.add(name)
            dlls = imports(os.path.join(self.folder, shipped[name]))
            pending += [d for d in dlls if d in shipped]
        for relative in shipped.values():
            for dll, names in imports(os.path.join(self.folder, relative)).items():
                with self.subTest(file=relative, dll=dll):
                    if dll in SYSTEM or dll.startswith("api-ms-win-"):
                        continue
                    self.assertIn(dll, shipped)
                    self.assertLessEqual(names, exports(os.path.join(self.folder, shipped[dll])))
        for name in beside_program:
            self.assertNotIn("/", shipped[name], "%s is needed before lib/ is searched" % name)

    def run_program(self, program="quorvel.exe"):
        work = os.path.join(self.tmp.name, "work")
        os.makedirs(work, exist_ok=True)
        log = os.path.join(work, "interpreter.log")
        if os.path.exists(log):
            os.unlink(log)
        environment = dict(os.environ)
        environment.pop("QUORVEL_FAKE_RUN", None)
        completed = subprocess.run(
            EMULATOR + [os.path.join(self.folder, program)],
            cwd=work,
            env=environment,
            timeout=TIMEOUT,
        )
        with open(log) as f:
            return completed.returncode, f.read().splitlines()

    def test_folder_runs_and_repacks_without_native_path(self):
        packed = self.pack("--native-path", BLAS_DIR, "--native-path", FORTRAN_DIR)
        self.assertEqual(packed.returncode, 0, packed.stderr)
        self.assert_folder_assembled()
        self.assert_imports_resolve()
        for dll in OUTSIDE_DLLS:
            self.assertIn("pack-app: warning: no licence found for %s" % dll, packed.stderr)

        status, calls = self.run_program()
        directory = windows_path(self.folder)
        self.assertIn("path %s\\lib\\library.zip;%s\\lib" % (directory, directory), calls)
        self.assertEqual(calls[-1], "finalize")
        self.assertEqual(status, 0)

        # Again, on the assembled folder: the outside DLLs are found in it.
        packed = self.pack()
        self.assertEqual(packed.returncode, 0, packed.stderr)
        self.assert_folder_assembled()
        self.assertEqual([n for n in os.listdir(self.tmp.name) if n.startswith(".")], [])

    def test_refusals_change_nothing(self):
        not_a_zip = os.path.join(self.tmp.name, "notes.zip")
        with open(not_a_zip, "w") as f:
            f.write("plain text\n")
        wheel = os.path.join(self.tmp.name, "wheel.zip")
        with zipfile.ZipFile(wheel, "w") as archive:
            archive.writestr("python38.zip", b"")
            archive.writestr("tool/__init__.py", "")
        no_stdlib = os.path.join(self.tmp.name, "no-stdlib.zip")
        write_package(no_stdlib, drop=("python38.zip",))
        x86 = os.path.join(self.tmp.name, "python-3.8-embed-win32.zip")
        write_package(x86, machine=0x14C)
        arm = os.path.join(self.tmp.name, "python-3.8-embed-arm64.zip")
        write_package(arm, machine=0xAA64)
        newer = os.path.join(self.tmp.name, "python-3.9-embed-amd64.zip")
        write_package(newer, dll_name="python39.dll")
        shadowing = os.path.join(self.tmp.name, "shadowing")
        write_files(shadowing, {**APP, "ntpath.py": ""})
        too_new = os.path.join(self.tmp.name, "too-new")
        write_files(
            too_new,
            {
                **APP,
                "helper.py": "def greet(x):\n    match x:\n" "        case 1:\n            pass\n",
            },
        )
        native = ["--native-path", BLAS_DIR, "--native-path", FORTRAN_DIR]
        # name, options, package (default: the good one), app, part of the message
        cases = [
            ("not a zip", native, not_a_zip, None, "notes.zip: not a zip file"),
            ("no interpreter DLL", native, wheel, None, "not an embeddable package"),
            ("no standard library", native, no_stdlib, None, "not an embeddable package"),
            ("32-bit", native, x86, None, "a package for 32-bit x86, not x86-64 (python38.dll)"),
            ("ARM64", native, arm, None, "a package for ARM64, not x86-64"),
            ("other version", native, newer, None, "quorvel.exe links python38.dll"),
            (
                "no BLAS",
                [],
                None,
                None,
                "libblas.dll, needed by blaswrap.dll, is not in %s, in %s or in a --native-path "
                "directory (none given)" % (self.package, self.folder),
            ),
            (
                "no BLAS run-time",
                ["--native-path", BLAS_DIR],
                None,
                None,
                "libgfortran-5.dll, needed by libblas.dll, is not in %s, in %s or in a "
                "--native-path directory (%s)" % (self.package, self.folder, BLAS_DIR),
            ),
            (
                "standard-library name",
                native,
                None,
                shadowing,
                "module names taken by the standard library of python38.dll: ntpath",
            ),
            ("syntax of a later Python", native, None, too_new, "for Python 3.8"),
            (
                "folder inside the application",
                native,
                None,
                self.tmp.name,
                "the installation lies inside the application directory",
            ),
            (
                "--path",
                native + ["--path", self.tmp.name],
                None,
                None,
                "--path does not apply with --runtime",
            ),
            (
                "a version the Windows block cannot hold",
                native + ["--name", "greeter", "--version", "2.1rc1"],
                None,
                None,
                "version '2.1rc1' does not fit the Windows version block",
            ),
            (
                "a name that Windows takes for the launcher's",
                native + ["--name", "QUORVEL"],
                None,
                None,
                "QUORVEL.exe: the folder holds a file of that name already",
            ),
            (
                "a package for Linux",
                native + ["--archive", os.path.join(self.tmp.name, "a.deb")],
                None,
                None,
                "a.deb: a Windows folder is shipped as a .zip archive",
            ),
        ]
        before = snapshot(self.folder, directories=False)
        for name, options, package, app, message in cases:
            with self.subTest(name):
                packed = self.pack(*options, package=package, app=app)
                self.assertEqual(packed.returncode, 1)
                self.assertEqual(packed.stderr.count("\n"), 1, packed.stderr)
                self.assertTrue(packed.stderr.startswith("pack-app: "), packed.stderr)
                self.assertIn(message, packed.stderr)
                self.assertEqual(snapshot(self.folder, directories=False), before)
                self.assertEqual([n for n in os.listdir(self.tmp.name) if n.startswith(".")], [])

    def test_archive_is_the_folder_under_one_top_level_folder(self):
        archives = [os.path.join(self.tmp.name, name) for name in ("first.zip", "second.zip")]
        for archive in archives:
            packed = self.pack(
                "--native-path",
                BLAS_DIR,
                "--native-path",
                FORTRAN_DIR,
                "--archive",
                archive,
                "--name",
                "Demo-App",
            )
            self.assertEqual(packed.returncode, 0, packed.stderr)
        with open(archives[0], "rb") as first, open(archives[1], "rb") as second:
            self.assertEqual(first.read(), second.read(), "two packs give the same bytes")
        with zipfile.ZipFile(archives[0]) as archive:
            members = {
                info.filename: archive.read(info)
                for info in archive.infolist()
                if not info.is_dir()
            }
        # The named program stands in for the launcher's, the source of
        # its copy, which stays in the folder only.
        self.assertEqual(
            members,
            {
                "Demo-App/" + relative: data
                for relative, data in snapshot(self.folder, directories=False).items()
                if relative != "quorvel.exe"
            },
        )
        self.assertIn("Demo-App/Demo-App.exe", members)

    def test_named_program_carries_the_applications_identity(self):
        write_files(self.app, {"pyproject.toml": IDENTITY, "LICENSE": "Greeter licence\n"})
        Image.new("RGBA", (512, 512), ICON_COLOUR).save(os.path.join(self.app, "greeter.png"))
        packed = self.pack("--native-path", BLAS_DIR, "--native-path", FORTRAN_DIR)
        self.assertEqual(packed.returncode, 0, packed.stderr)
        files = snapshot(self.folder, directories=False)
        self.assertEqual(
            sorted(files),
            sorted(list(EXPECTED_FOLDER) + ["greeter.exe", "licenses/greeter/LICENSE"]),
        )
        with open(os.path.join(INSTALLATION, "quorvel.exe"), "rb") as f:
            built = pefile.PE(data=f.read())
        self.assertEqual(files["quorvel.exe"], built.__data__, "the launcher stays as built")
        self.assertTrue(
            files["licenses/INDEX.txt"]
            .decode()
            .startswith("component\tversion\tlicence\ngreeter\t2.1.0\tgreeter/LICENSE\n")
        )

        named = pefile.PE(data=files["greeter.exe"])
        table = check_pe.resources(named)
        images = check_pe.check_icon_group(self, table)
        with Image.open(io.BytesIO(images[0])) as largest:
            self.assertEqual(ICON_COLOUR, largest.getpixel((128, 128)))
        check_pe.check_fixed_version(self, named, "2.1.0")
        self.assertEqual(
            check_pe.string_tables(named),
            [
                (
                    check_pe.STRING_TABLE_KEY,
                    [
                        ("Comments", ""),
                        ("CompanyName", "Example Ltd"),
                        ("FileDescription", "Greets whoever starts it"),
                        ("FileVersion", "2.1.0.0"),
                        ("InternalName", "greeter"),
                        ("LegalCopyright", "Copyright 2026 Example Ltd"),
                        ("LegalTrademarks", ""),
                        ("OriginalFilename", "greeter.exe"),
                        ("ProductName", "greeter"),
                        ("ProductVersion", "2.1.0"),
                    ],
                )
            ],
        )
        check_pe.check_translation(self, named)
        built_table = check_pe.resources(built)
        self.assertEqual(table[check_pe.RT_MANIFEST], built_table[check_pe.RT_MANIFEST])
        self.assertEqual(check_pe.imports_by_dll(named), check_pe.imports_by_dll(built))
        for field in ("Subsystem", "DllCharacteristics", "SizeOfStackReserve", "ImageBase"):
            self.assertEqual(
                getattr(named.OPTIONAL_HEADER, field), getattr(built.OPTIONAL_HEADER, field)
            )
        self.assertTrue(named.verify_checksum())

        status, calls = self.run_program("greeter.exe")
        directory = windows_path(self.folder)
        self.assertIn("path %s\\lib\\library.zip;%s\\lib" % (directory, directory), calls)
        self.assertEqual((status, calls[-1]), (0, "finalize"))

        # Packed again under another name, the folder holds that one only.
        packed = self.pack("--name", "hello")
        self.assertEqual(packed.returncode, 0, packed.stderr)
        programs = [n for n in os.listdir(self.folder) if n.endswith(".exe")]
        self.assertEqual(["hello.exe", "quorvel.exe"], sorted(programs))

    def test_demo_application_licences(self):
        demo = os.path.join(SOURCE_DIR, "examples", "startup_app")
        packed = self.pack("--native-path", BLAS_DIR, "--native-path", FORTRAN_DIR, app=demo)
        self.assertEqual(packed.returncode, 0, packed.stderr)
        self.assertTrue(os.path.isfile(os.path.join(self.folder, "linesearch-demo.exe")))
        with open(os.path.join(self.folder, "licenses", "INDEX.txt")) as f:
            rows = [line.split("\t") for line in f.read().splitlines()[1:]]
        self.assertEqual(["linesearch-demo", "python"], [r[0] for r in rows[:2]])
        for component, _, licence in rows:
            if licence != "(not found)":
                path = os.path.join(self.folder, "licenses", licence)
                self.assertTrue(os.path.isfile(path), licence)

    def test_interruption_leaves_the_folder_as_it_was(self):
        # A first assembly, so that there is an old folder to keep.
        self.assertEqual(
            self.pack("--native-path", BLAS_DIR, "--native-path", FORTRAN_DIR).returncode, 0
        )
        before = snapshot(self.folder, directories=False)
        write_files(self.app, {"helper.py": "def greet():\n    print('changed')\n"})

        def interrupted_write(*_):
            raise KeyboardInterrupt

        def exchange_fails(*_):
            raise OSError("no room")

        # name, what is replaced, the replacement, the exception that follows
        cases = [
            (
                "while the archive is written",
                "quorvel_pack.windows.write_library",
                interrupted_write,
                KeyboardInterrupt,
            ),
            (
                "when the new folder moves in",
                "quorvel_pack.fs.exchange",
                exchange_fails,
                OSError,
            ),
        ]
        options = WindowsOptions(runtime=self.package)
        for name, target, replacement, raised in cases:
            with self.subTest(name):
                with unittest.mock.patch(target, replacement), self.assertRaises(raised):
                    windows.assemble(self.app, self.folder, options)
                self.assertEqual(snapshot(self.folder, directories=False), before)
                self.assertEqual([n for n in os.listdir(self.tmp.name) if n.startswith(".")], [])

    def test_bytecode_only_for_the_packing_interpreters_own_version(self):
        here = sys.version_info[:2]
        # runtime version, --source, suffix of the modules in library.zip
        cases = [
            (here, False, ".pyc"),
            (here, True, ".py"),
            ((3, 8) if here != (3, 8) else (3, 9), False, ".py"),
        ]
        for version, as_source, suffix in cases:
            with self.subTest(version=version, source=as_source):
                runtime = windows.Runtime(self.package, version, "python3%d.dll" % version[1], {})
                options = WindowsOptions(runtime=self.package, as_source=as_source)
                members = dict(windows.application_members(self.app, runtime, set(), options))
                modules = {n for n in members if n.endswith((".py", ".pyc"))}
                self.assertEqual(
                    modules,
                    {
                        n + suffix
                        for n in ("__startup__", "__app_startup__", "helper", "tools/__init__")
                    },
                )
                library = os.path.join(self.tmp.name, "library.zip")
                with zipfile.ZipFile(library, "w") as archive:
                    for name, data in members.items():
                        archive.writestr(name, data)
                if version == here:
                    ran = subprocess.run(
                        [
                            sys.executable,
                            "-I",
                            "-c",
                            "import sys; sys.path.insert(0, sys.argv[1]); "
                            "import __startup__; __startup__.run()",
                            library,
                        ],
                        capture_output=True,
                        text=True,
                        timeout=TIMEOUT,
                    )
                    self.assertEqual((ran.stdout, ran.stderr), ("hello\n", ""))

    def test_refuses_a_folder_holding_other_files(self):
        write_files(self.folder, {"lib/settings.ini": "[user]\n"})
        packed = self.pack("--native-path", BLAS_DIR, "--native-path", FORTRAN_DIR)
        self.assertEqual(packed.returncode, 1)
        self.assertIn("lib/settings.ini", packed.stderr)
        self.assertTrue(os.path.isfile(os.path.join(self.folder, "lib", "settings.ini")))

    def test_extension_modules_are_known_by_the_windows_suffixes(self):
        native = ["--native-path", BLAS_DIR, "--native-path", FORTRAN_DIR]
        # files added to the application, whether it is refused
        cases = [
            ({"tables/data.so": "data", "fast.abi3.so": "data"}, False),
            ({"fast.pyd": "MZ"}, True),
            ({"tools/fast.cp38-win_amd64.pyd": "MZ"}, True),
        ]
        for number, (files, refused) in enumerate(cases):
            with self.subTest(sorted(files)):
                app = os.path.join(self.tmp.name, "app%d" % number)
                write_files(app, {**APP, **files})
                packed = self.pack(*native, app=app)
                if refused:
                    self.assertEqual(packed.returncode, 1)
                    self.assertIn("extension modules and DLLs of the application", packed.stderr)
                    continue
                self.assertEqual(packed.returncode, 0, packed.stderr)
                with zipfile.ZipFile(os.path.join(self.folder, "lib", "library.zip")) as library:
                    for name, text in files.items():
                        self.assertEqual(library.read(name), text.encode())

    def test_swapped_in_under_the_lock_whole_at_every_moment(self):
        native = ["--native-path", BLAS_DIR, "--native-path", FORTRAN_DIR]
        self.assertEqual(self.pack(*native).returncode, 0)
        before = snapshot(self.folder, directories=False)
        write_files(self.app, {"helper.py": "def greet():\n    print('changed')\n"})
        reference = os.path.join(self.tmp.name, "reference", "App")
        shutil.copytree(INSTALLATION, reference)
        self.assertEqual(self.pack(*native, folder=reference).returncode, 0)
        after = snapshot(reference, directories=False)
        shutil.rmtree(os.path.dirname(reference))

        # Held by another run: refused, nothing changes.
        held = os.open(self.folder, os.O_RDONLY)
        try:
            fcntl.flock(held, fcntl.LOCK_EX)
            packed = self.pack(*native)
        finally:
            os.close(held)
        self.assertEqual(packed.returncode, 1)
        self.assertIn("another pack-app is packing into it", packed.stderr)
        self.assertEqual(snapshot(self.folder, directories=False), before)

        # Killed at each step that renames: the folder is the old one or the
        # new one, never missing or mixed, and the archive is there only
        # with the new one; the next run removes what the killed one left.
        pristine = os.path.join(self.tmp.name, "pristine")
        shutil.copytree(self.folder, pristine)
        os.makedirs(os.path.join(self.tmp.name, ".Other.new-x1y2z3"))
        archive = os.path.join(self.tmp.name, "App.zip")
        killed_at = [
            "strace",
            "-f",
            "-qq",
            "-o",
            os.devnull,
            "-e",
            "trace=rename,renameat,renameat2",
            "-e",
            "inject=rename,renameat,renameat2:signal=KILL:when=%d",
        ]
        for step in range(1, 20):
            command = killed_at[:-1] + [killed_at[-1] % step, sys.executable, PACK_APP]
            command += ["--runtime", self.package, "--archive", archive, *native]
            killed = subprocess.run(
                command + [self.app, self.folder],
                capture_output=True,
                text=True,
                timeout=TIMEOUT,
            )
            self.assertIn(
                snapshot(self.folder, directories=False),
                (before, after),
                "killed at rename %d" % step,
            )
            if os.path.exists(archive):
                self.assertEqual(snapshot(self.folder, directories=False), after)
            if killed.returncode == 0:
                break
            self.assertEqual(killed.returncode, -signal.SIGKILL, killed.stderr)
            packed = self.pack(*native, "--archive", archive)
            self.assertEqual(packed.returncode, 0, packed.stderr)
            self.assertEqual(snapshot(self.folder, directories=False), after)
            self.assertEqual(
                sorted(n for n in os.listdir(self.tmp.name) if n.startswith(".")),
                [".Other.new-x1y2z3"],
            )
            os.unlink(archive)
            shutil.rmtree(self.folder)
            shutil.copytree(pristine, self.folder)
        self.assertEqual(killed.returncode, 0, "still killed after %d renames" % step)
        self.assertGreater(step, 1)


class PEReaderTest(unittest.TestCase):
    def test_reads_every_built_file(self):
        paths = [
            os.path.join(d, n)
            for d in (
                os.path.join(INSTALLATION, "lib"),
                INSTALLATION,
                PACKAGE_DIR,
                BLAS_DIR,
                FORTRAN_DIR,
            )
            for n in sorted(os.listdir(d))
            if n.endswith((".exe", ".dll", ".pyd"))
        ]
        self.assertIn(os.path.join(INSTALLATION, "quorvel.exe"), paths)
        for path in paths:
            with self.subTest(os.path.basename(path)):
                reference = pefile.PE(path)
                dlls = [e.dll.decode() for e in getattr(reference, "DIRECTORY_ENTRY_IMPORT", [])]
                dlls += [
                    e.dll.decode() for e in getattr(reference, "DIRECTORY_ENTRY_DELAY_IMPORT", [])
                ]
                self.assertEqual(pe.read(path), (reference.FILE_HEADER.Machine, tuple(dlls)))

    def test_refuses_what_is_not_a_pe_image(self):
        with open(os.path.join(INSTALLATION, "quorvel.exe"), "rb") as f:
            program = f.read()
        header = struct.unpack_from("<I", program, 0x3C)[0]
        cases = [
            ("empty", b""),
            ("text", b"plain text, long enough to hold a header offset" * 4),
            ("cut after the DOS header", program[:header]),
            ("no PE signature", program[:header] + b"NE\0\0" + program[header + 4 :]),
            ("cut inside the section table", program[: header + 300]),
            ("cut inside the sections", program[: len(program) // 2]),
        ]
        for name, data in cases:
            with self.subTest(name):
                with self.assertRaises(pe.PEFormatError):
                    pe.parse(data)


if __name__ == "__main__":
    unittest.main()
