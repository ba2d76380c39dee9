"""pack-app end to end with the application's identity: the program named
after the application, its icons, the licences of what the installation
redistributes, and the identities that are refused."""

import io
import json
import os
import subprocess
import unittest

from PIL import Image

from boxes import without_display
from files import snapshot, write_files
from installation import BUILD_DIR, DEMO_APP, PackingCase, pack, run_quorvel

SIZES = (16, 32, 48, 64, 96, 128, 256)
WHO_RUNS = "import os, sys\ndef run():\n    print(os.path.basename(sys.executable), sys.argv[1:])\n"
PYPROJECT = """\
[project]
name = "greeter"
version = "2.1"
description = "Greets whoever starts it"
license = {file = "LICENSE"}

[tool.quorvel]
icon = "greeter.png"
"""


def png(size, colour=(40, 160, 90, 255)):
    out = io.BytesIO()
    Image.new("RGBA", (size, size), colour).save(out, "PNG")
    return out.getvalue()


def read_index(installation):
    """(component, version, licence file) rows of licenses/INDEX.txt."""
    with open(os.path.join(installation, "licenses", "INDEX.txt"), encoding="utf-8") as f:
        lines = f.read().splitlines()
    assert lines[0] == "component\tversion\tlicence", lines[0]
    return [tuple(line.split("\t")) for line in lines[1:]]


def icon_paths(installation, name):
    return [
        os.path.join(
            installation, "share", "icons", "hicolor", "%dx%d" % (s, s), "apps", name + ".png"
        )
        for s in SIZES
    ]


class AppIdentityTest(PackingCase):
    def app(self, name, files, pyproject=PYPROJECT):
        if pyproject:
            files = dict({"LICENSE": "Greeter licence\n", "pyproject.toml": pyproject}, **files)
        root = super().app(name, files)
        with open(os.path.join(root, "greeter.png"), "wb") as f:
            f.write(png(300))
        return root

    def run_program(self, program, *args, **options):
        result = subprocess.run(
            [program, *args],
            capture_output=True,
            text=True,
            timeout=120,
            env=options.pop("env", without_display()),
            **options,
        )
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout

    def test_named_program_runs_from_anywhere(self):
        app_dir = self.app(
            "greeter",
            {
                "__startup__.py": WHO_RUNS,
                # Data of any name is shipped: only modules shadow modules.
                "LICENSE": "Greeter licence\n",
                "README.txt": "",
            },
        )
        result = self.packed(app_dir)
        self.assertIn("not shipped: pyproject.toml", result.stdout)
        program = os.path.join(self.installation, "greeter")
        with open(program, "rb") as named, open(
            os.path.join(self.installation, "quorvel"), "rb"
        ) as own:
            self.assertTrue(named.read() == own.read(), "the program is the launcher's copy")
        self.assertTrue(os.access(program, os.X_OK))
        self.assertTrue(os.path.isfile(os.path.join(self.installation, "lib", "LICENSE")))

        elsewhere = os.path.join(self.tmp.name, "elsewhere")
        os.makedirs(elsewhere)
        os.symlink(program, os.path.join(elsewhere, "hello-link"))
        path = dict(without_display(), PATH=self.installation + os.pathsep + os.environ["PATH"])
        self.assertEqual(
            "greeter ['a b']\n", self.run_program("greeter", "a b", cwd=elsewhere, env=path)
        )
        self.assertEqual("greeter ['x']\n", self.run_program("./hello-link", "x", cwd=elsewhere))

        for path, size in zip(icon_paths(self.installation, "greeter"), SIZES):
            with Image.open(path) as icon:
                self.assertEqual(("PNG", (size, size)), (icon.format, icon.size))

        rows = read_index(self.installation)
        self.assertEqual(("greeter", "2.1", "greeter/LICENSE"), rows[0])
        self.assertEqual(("quorvel", "3.7.0", "(not found)"), rows[-1])
        # The interpreter and the libraries copied for the runtime's own
        # libraries (BLAS and what it needs), each with its Debian copyright.
        self.assertEqual("python", rows[1][0])
        self.assertIn("libblas3", [r[0] for r in rows])
        for _, _, licence in rows[1:-1]:
            self.assertEqual("copyright", licence.split("/")[-1])
            self.assertTrue(os.path.isfile(os.path.join(self.installation, "licenses", licence)))
        with open(os.path.join(self.installation, "licenses", "greeter", "LICENSE")) as f:
            self.assertEqual("Greeter licence\n", f.read())
        with open(os.path.join(self.installation, "lib", ".quorvel-pack.json")) as f:
            self.assertEqual("greeter", json.load(f)["program"])

    def test_repacked_under_other_names_and_reinstalled(self):
        self.packed(self.app("greeter", {"__startup__.py": WHO_RUNS}))
        first_index = read_index(self.installation)
        result = self.packed(self.app("renamed", {"__startup__.py": WHO_RUNS}), "--name", "hello")
        # The libraries the first pack copied are found where they came
        # from again, with their licences, not in the installation.
        self.assertNotIn("licence", result.stderr)
        self.assertEqual(first_index[1:], read_index(self.installation)[1:])
        self.assertFalse(os.path.lexists(os.path.join(self.installation, "greeter")))
        self.assertEqual(
            [], [p for p in icon_paths(self.installation, "greeter") if os.path.exists(p)]
        )
        self.assertEqual("hello []\n", self.run_program(os.path.join(self.installation, "hello")))
        self.assertEqual(
            icon_paths(self.installation, "hello"),
            [p for p in icon_paths(self.installation, "hello") if os.path.exists(p)],
        )

        # Without an identity the launcher's own name stays, and the
        # previous program goes.
        self.packed(self.app("plain", {"__startup__.py": WHO_RUNS}, pyproject=None))
        self.assertFalse(os.path.lexists(os.path.join(self.installation, "hello")))
        self.assertEqual(
            [], [p for p in icon_paths(self.installation, "hello") if os.path.exists(p)]
        )
        self.assertEqual("quorvel []\n", run_quorvel(self.installation).stdout)
        rows = read_index(self.installation)
        self.assertEqual(("python", "quorvel"), (rows[0][0], rows[-1][0]))

        # The runtime installed again over a packed installation: the named
        # program still runs the application.
        self.packed(self.app("greeter", {"__startup__.py": WHO_RUNS}))
        subprocess.run(
            ["cmake", "--install", BUILD_DIR, "--prefix", self.installation],
            check=True,
            stdout=subprocess.DEVNULL,
        )
        self.assertEqual(
            "greeter []\n", self.run_program(os.path.join(self.installation, "greeter"))
        )
        self.packed(self.app("renamed", {"__startup__.py": WHO_RUNS}), "--name", "hello")
        self.assertFalse(os.path.lexists(os.path.join(self.installation, "greeter")))

    def test_refused_identities_change_nothing(self):
        good = {"__startup__.py": WHO_RUNS}
        with open(os.path.join(self.tmp.name, "small.png"), "wb") as f:
            f.write(png(128))
        wide = os.path.join(self.tmp.name, "wide.png")
        Image.new("RGBA", (512, 256)).save(wide)
        not_png = os.path.join(self.tmp.name, "icon.png")
        Image.new("RGB", (256, 256)).save(not_png, "JPEG")
        cases = [
            ("space", ["--name", "Greeter 2"], "not a portable file name"),
            ("slash", ["--name", "a/b"], "not a portable file name"),
            ("leading dash", ["--name=-x"], "not a portable file name"),
            ("hidden", ["--name", ".greeter"], "not a portable file name"),
            ("trailing dot", ["--name", "greeter."], "not a portable file name"),
            ("too long", ["--name", "g" * 65], "not a portable file name"),
            ("non-ASCII", ["--name", "grüßer"], "not a portable file name"),
            ("Windows device", ["--name", "Aux.app"], "a device name on Windows"),
            ("an entry of the installation", ["--name", "share"], "share"),
            ("the licences' directory", ["--name", "licenses"], "licences' directory"),
            ("space in the version", ["--version", "1 0"], "not a version"),
            ("empty version", ["--version", ""], "not a version"),
            ("summary of two lines", ["--summary", "a\nb"], "one line"),
            ("icon too small", ["--icon", os.path.join(self.tmp.name, "small.png")], "128x128"),
            ("icon not square", ["--icon", wide], "512x256"),
            ("icon not a PNG", ["--icon", not_png], "not a PNG"),
            ("icon missing", ["--icon", os.path.join(self.tmp.name, "none.png")], "none.png"),
        ]
        self.packed(self.app("first", good))
        before = snapshot(self.tmp.name)
        for what, options, message in cases:
            with self.subTest(what):
                result = pack(self.app("first", good), self.installation, *options)
                self.assertEqual(1, result.returncode, result.stdout)
                self.assertEqual(1, result.stderr.count("\n"), result.stderr)
                self.assertIn(message, result.stderr)
                self.assertEqual(before, snapshot(self.tmp.name))
        self.assertEqual(
            "greeter []\n", self.run_program(os.path.join(self.installation, "greeter"))
        )

    def test_licences_of_third_party_code_and_native_libraries(self):
        # Debian's PyYAML: a distribution whose licence files Debian keeps in
        # its copyright file, an extension module that needs libyaml.
        site = os.path.join(self.tmp.name, "site")
        write_files(
            site,
            {
                "licensed/__init__.py": "",
                "licensed-1.0.dist-info/METADATA": "Metadata-Version: 2.4\nName: licensed\n"
                "Version: 1.0\nLicense-File: LICENSE.txt\n",
                "licensed-1.0.dist-info/licenses/LICENSE.txt": "licensed's licence\n",
                "licensed-1.0.dist-info/RECORD": "licensed/__init__.py,,\n",
                "anonymous/__init__.py": "",
            },
        )
        app_dir = self.app(
            "third",
            {"__startup__.py": "import yaml, licensed, anonymous\n" + WHO_RUNS},
            pyproject=None,
        )
        result = self.packed(app_dir, "--path", site, "--path", "/usr/lib/python3/dist-packages")
        rows = read_index(self.installation)
        components = {r[0]: r for r in rows}
        self.assertEqual("libyaml-0-2", components["libyaml-0-2"][0], rows)
        self.assertEqual("libyaml-0-2/copyright", components["libyaml-0-2"][2])
        self.assertEqual(("PyYAML", "6.0", "PyYAML/copyright"), components["PyYAML"])
        self.assertEqual(("licensed", "1.0", "licensed/LICENSE.txt"), components["licensed"])
        self.assertEqual(("anonymous", "", "(not found)"), components["anonymous"])
        self.assertIn(
            "pack-app: warning: no licence found for anonymous (%s)"
            % os.path.join(site, "anonymous"),
            result.stderr.splitlines(),
        )
        for _, _, licence in rows:
            if licence != "(not found)":
                self.assertTrue(
                    os.path.isfile(os.path.join(self.installation, "licenses", licence))
                )
        self.assertEqual("quorvel []\n", run_quorvel(self.installation).stdout)

    def test_demo_application_licences(self):
        result = self.packed(DEMO_APP)
        self.assertNotIn("licence", result.stderr)
        rows = read_index(self.installation)
        self.assertEqual(
            ["linesearch-demo", "python"], [r[0] for r in rows if r[0] != "quorvel"][:2]
        )
        for component, _, licence in rows:
            if component != "quorvel":
                self.assertTrue(
                    os.path.isfile(os.path.join(self.installation, "licenses", licence)), licence
                )
        self.assertTrue(os.access(os.path.join(self.installation, "linesearch-demo"), os.X_OK))


if __name__ == "__main__":
    unittest.main()
