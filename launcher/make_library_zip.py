"""Packs the interpreter's standard library, compiled to bytecode, into the
archive that the launcher puts first on the module search path.

Usage: make_library_zip.py STDLIB_DIR OUTPUT_ZIP

Run it with the interpreter that the launcher embeds (the bytecode must
match it), with the source root on PYTHONPATH for the packing tool's package. Only compiled modules go in (no sources), in a fixed order with
fixed dates, so the same library gives the same archive.
"""

import os
import sys
import zipfile

from quorvel_pack import fs
from quorvel_pack.members import FIXED_DATE_TIME
from quorvel_pack.analysis import pyc_contents

# Packages and modules an embedded application has no use for: test suites,
# GUI toolkits it does not ship, installers and the interactive help's data.
LEFT_OUT = {
    "test",
    "tests",
    "idlelib",
    "tkinter",
    "turtledemo",
    "turtle.py",
    "ensurepip",
    "lib2to3",
    "distutils",
    "venv",
    "pydoc_data",
    "site-packages",
    "dist-packages",
    "lib-dynload",
    "__pycache__",
    "__phello__",
    "__hello__.py",
    "antigravity.py",
    "this.py",
    "sitecustomize.py",
    "_distutils_system_mod.py",
}
LEFT_OUT_PREFIXES = ("config-",)


def kept(name):
    return name not in LEFT_OUT and not name.startswith(LEFT_OUT_PREFIXES)


def sources(stdlib):
    for root, dirs, files in os.walk(stdlib):
        dirs[:] = sorted(d for d in dirs if kept(d))
        for name in sorted(files):
            if name.endswith(".py") and kept(name):
                path = os.path.join(root, name)
                yield path, os.path.relpath(path, stdlib).replace(os.sep, "/")


def main(stdlib, output):
    if not os.path.isfile(os.path.join(stdlib, "os.py")):
        sys.exit("%s: not a standard library directory" % stdlib)
    # A half-written archive must not be taken for a finished one.
    with fs.replacing_file(output) as partial, zipfile.ZipFile(
        partial, "w", zipfile.ZIP_DEFLATED
    ) as archive:
        for path, relative in sources(stdlib):
            with open(path, "rb") as source:
                code = compile(source.read(), relative, "exec", dont_inherit=True)
            entry = zipfile.ZipInfo(relative[:-3] + ".pyc", date_time=FIXED_DATE_TIME)
            entry.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(entry, pyc_contents(code))


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
