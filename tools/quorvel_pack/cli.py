"""The command line of tools/pack-app."""

import argparse
import os
import py_compile
import sys

from . import PackError, archives, install, windows

DESCRIPTION = """Add an application to a quorvel installation.

The application is a directory holding __startup__.py (whose run() the
launcher calls), further modules (*.py) and packages (directories with an
__init__.py). Its modules go either beside the launcher's runtime, into
DIR/lib, or into the module archive DIR/lib/library.zip, as bytecode or as
source. Modules of the same names already in the other place are removed,
so the one just packed is the one that imports.

The archive is rewritten into a new file beside it and renamed over the old
one, so an interrupted run leaves the installation as it was.
"""


def parse_arguments(argv: list) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="pack-app", description=DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="Examples: pack-app examples/startup_app demo  (bytecode into the archive); "
        "pack-app --lib examples/startup_app demo  (sources into demo/lib).")
    parser.add_argument("app_dir", help="directory holding __startup__.py and its modules")
    parser.add_argument("installation", help="installation directory (holds lib/library.zip)")
    place = parser.add_mutually_exclusive_group()
    place.add_argument("--lib", action="store_true",
                       help="copy the sources into DIR/lib instead of the archive")
    place.add_argument("--source", action="store_true",
                       help="put sources, not bytecode, into the archive "
                       "(tracebacks then show source lines)")
    shipping = parser.add_argument_group("shipping")
    shipping.add_argument("--archive", metavar="FILE",
                          help="also write the installation as FILE (.tar.gz, .zip or .deb)")
    shipping.add_argument("--name", help="the application's name (default: APP_DIR's name)")
    shipping.add_argument("--version", help="the package version (.deb)")
    shipping.add_argument("--summary", help="one-line description (.deb)")
    windows_group = parser.add_argument_group("Windows")
    windows_group.add_argument("--runtime", metavar="EMBED.zip",
                               help="the interpreter's embeddable package: DIR is a Windows "
                               "installation made by cmake --install build-windows")
    windows_group.add_argument("--native-path", metavar="DIR", action="append", default=[],
                               help="where the outside DLLs are found (repeatable)")
    return parser.parse_args(argv)


def main(argv: list) -> int:
    args = parse_arguments(argv)
    try:
        if args.runtime:
            entries = windows.assemble(args.app_dir, args.installation, args)
        else:
            entries = install.pack(args.app_dir, args.installation, not args.lib, args.source)
        if args.archive:
            archives.write_archive(args.installation, args.archive, args)
    except (PackError, OSError, py_compile.PyCompileError) as error:
        print("pack-app: %s" % error, file=sys.stderr)
        return 1
    where = os.path.join(args.installation, "lib", "" if args.lib else install.ARCHIVE)
    print("pack-app: %s -> %s" % (", ".join(entries), where))
    return 0
