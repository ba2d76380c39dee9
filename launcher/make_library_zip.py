"""Packs the interpreter's standard library, compiled to bytecode, into the
archive that the launcher puts first on the module search path.

Usage: make_library_zip.py STDLIB_DIR OUTPUT_ZIP

Run it with the interpreter that the launcher embeds (the bytecode must
match it), with the source root on PYTHONPATH for the packing tool's
package. Only compiled modules go in (no sources), in a fixed order with
fixed dates, so the same library gives the same archive; the parts an
embedded application has no use for are left out (the rule list
quorvel_pack/data/stdlib_left_out.json).
"""

import os
import sys
import zipfile
from typing import Iterator, Tuple

from quorvel_pack import PackError, fs, rules
from quorvel_pack.members import FIXED_DATE_TIME
from quorvel_pack.analysis import pyc_contents


def kept(name: str) -> bool:
    return not rules.left_out_of_stdlib(name)


def sources(stdlib: str) -> Iterator[Tuple[str, str]]:
    for root, dirs, files in os.walk(stdlib):
        dirs[:] = sorted(d for d in dirs if kept(d))
        for name in sorted(files):
            if name.endswith(".py") and kept(name):
                path = os.path.join(root, name)
                yield path, os.path.relpath(path, stdlib).replace(os.sep, "/")


def main(stdlib: str, output: str) -> None:
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
    try:
        main(sys.argv[1], sys.argv[2])
    except PackError as error:
        sys.exit(str(error))
