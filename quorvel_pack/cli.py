"""The command line of tools/pack-app."""

import argparse
import sys
from typing import List, Union

from . import PackError, archives, identity, install, windows, windows_identity
from .layout import ARCHIVE
from .members import CONTROL_CHARACTER
from .options import ArchiveOptions, PackOptions, WindowsOptions
from .planning import Report

DESCRIPTION = """Add an application to a quorvel installation.

APP_DIR holds __startup__.py, whose run() the launcher calls, and the rest of
the application: modules, packages (with or without __init__.py), extension
modules and data files, all shipped as they are laid out. The modules they
import are found, from the standard library and from the directories given
with --path (a site-packages, a virtual environment's); the installation then
holds exactly those, compiled to bytecode, with the shared libraries the
extension modules need. What cannot be found is listed as a warning.

Run it with the interpreter that the installation embeds (the one whose
version lib/quorvel-runtime.json records). Packing again replaces the
previous application as a whole; the runtime's own files stay untouched. An
interrupted run changes nothing.
"""

IDENTITY = """The application's name, version, description, authors and licence
come from APP_DIR/pyproject.toml ([project]), its icon, company and
copyright from [tool.quorvel]; the options below override them. Without a
name the program keeps the launcher's name, icon and version.
"""

EPILOG = """examples:
  pack-app examples/startup_app demo
  pack-app --path venv/lib/python3.11/site-packages myapp demo
  pack-app --entry myapp.main:start --include json myapp demo
"""


def parse_arguments(argv: List[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="pack-app",
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("app_dir", help="directory holding __startup__.py and the rest")
    parser.add_argument("installation", help="installation directory (made by cmake --install)")
    analysis_group = parser.add_argument_group("what is shipped")
    analysis_group.add_argument(
        "--path",
        metavar="DIR",
        action="append",
        default=[],
        help="also find imported modules here (repeatable)",
    )
    analysis_group.add_argument(
        "--include",
        metavar="MODULE",
        action="append",
        default=[],
        help="ship MODULE and what it imports (repeatable)",
    )
    analysis_group.add_argument(
        "--exclude",
        metavar="MODULE",
        action="append",
        default=[],
        help="never ship MODULE or its submodules (repeatable)",
    )
    analysis_group.add_argument(
        "--whole-stdlib", action="store_true", help="ship the whole standard library"
    )
    analysis_group.add_argument(
        "--entry",
        metavar="MODULE:FUNCTION",
        help="what the launcher runs (default: __startup__:run)",
    )
    analysis_group.add_argument(
        "--source",
        action="store_true",
        help="ship the application's sources, not bytecode " "(tracebacks then show source lines)",
    )
    analysis_group.add_argument(
        "-v",
        "--verbose",
        action="store_true",
        help="tell why each module, distribution and library ships (the chain of imports "
        "that reached it), and every import left out or not found",
    )
    analysis_group.add_argument(
        "--no-gc-freeze",
        dest="freeze_gc",
        action="store_false",
        help="leave the objects made at start-up to the cyclic " "garbage collector",
    )
    shipping = parser.add_argument_group("shipping")
    shipping.add_argument(
        "--archive",
        metavar="FILE",
        help="also write the installation as FILE (.tar.gz, .zip or .deb)",
    )
    identity_group = parser.add_argument_group("the application's identity", IDENTITY)
    identity_group.add_argument(
        "--name", help="the program's and the packages' name (archives: default APP_DIR's name)"
    )
    identity_group.add_argument("--version", help="the application's version")
    identity_group.add_argument("--summary", help="one-line description")
    identity_group.add_argument(
        "--icon", metavar="PNG", help="the application's icon: a square PNG, 256 pixels or more"
    )
    windows_group = parser.add_argument_group("Windows")
    windows_group.add_argument(
        "--runtime",
        metavar="EMBED.zip",
        help="the interpreter's embeddable package: DIR is a Windows "
        "installation made by cmake --install build-windows",
    )
    windows_group.add_argument(
        "--native-path",
        metavar="DIR",
        action="append",
        default=[],
        help="where the outside DLLs are found (repeatable)",
    )
    return parser.parse_args(argv)


def identity_of(args: argparse.Namespace) -> identity.Identity:
    return identity.of_application(args.app_dir, args.name, args.version, args.summary, args.icon)


def pack_options(args: argparse.Namespace, found: identity.Identity) -> PackOptions:
    return PackOptions(
        entry=args.entry,
        as_source=args.source,
        paths=tuple(args.path),
        includes=tuple(args.include),
        excludes=tuple(args.exclude),
        whole_stdlib=args.whole_stdlib,
        freeze_gc=args.freeze_gc,
        verbose=args.verbose,
        identity=found,
    )


def windows_options(args: argparse.Namespace, found: identity.Identity) -> WindowsOptions:
    """The options of --runtime; refuses those that do not apply to it."""
    given = [
        option
        for option, value in (
            ("--path", args.path),
            ("--include", args.include),
            ("--exclude", args.exclude),
        )
        if value
    ]
    if given:
        raise PackError(
            "%s does not apply with --runtime: the application goes into lib/%s "
            "beside the package's whole standard library" % (given[0], ARCHIVE)
        )
    if args.archive and not args.archive.endswith(".zip"):
        raise PackError("%s: a Windows folder is shipped as a .zip archive" % args.archive)
    windows_identity.check(found)
    return WindowsOptions(
        runtime=args.runtime,
        native_paths=tuple(args.native_path),
        entry=args.entry,
        as_source=args.source,
        freeze_gc=args.freeze_gc,
        identity=found,
    )


def archive_options(args: argparse.Namespace, found: identity.Identity) -> ArchiveOptions:
    return ArchiveOptions(output=args.archive, app_dir=args.app_dir, identity=found)


def print_report(report: Report, installation: str) -> None:
    for relative in report.not_shipped:
        print("pack-app: not shipped: %s" % relative)
    for line in report.details:
        print("pack-app: %s" % line)
    for warning in report.warnings:
        print("pack-app: warning: %s" % warning, file=sys.stderr)
    print(
        "pack-app: %d modules (%d of the application), %d extension modules, %d libraries, "
        "%d data files; lib/ holds %.1f MB in %s"
        % (
            report.modules,
            report.app_modules,
            report.extensions,
            report.libraries,
            report.data_files,
            report.total_bytes / 1e6,
            installation,
        )
    )


def one_line(message: str) -> str:
    """message with its control characters escaped (file names may hold
    line feeds): a refusal is one line."""
    return CONTROL_CHARACTER.sub(lambda match: repr(match.group())[1:-1], message)


def main(argv: List[str]) -> int:
    args = parse_arguments(argv)
    try:
        # Refusals first, so that a refused run packs nothing.
        found = identity_of(args)
        operation: Union[PackOptions, WindowsOptions] = (
            windows_options(args, found) if args.runtime else pack_options(args, found)
        )
        archive = archive_options(args, found) if args.archive else None
        if archive:
            archives.check_request(args.installation, archive)
        if isinstance(operation, WindowsOptions):
            account, warnings = windows.assemble(
                args.app_dir, args.installation, operation, archive
            )
            for warning in warnings:
                print("pack-app: warning: %s" % warning, file=sys.stderr)
            print("pack-app: %s" % account)
        else:
            report = install.pack(args.app_dir, args.installation, operation, archive)
            print_report(report, args.installation)
    except (PackError, OSError) as error:
        print("pack-app: %s" % one_line(str(error)), file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        # Before its last step a pack is undone; once there, it completes
        # first, so the installation holds the old or the new application.
        print("pack-app: interrupted", file=sys.stderr)
        return 130
    return 0
