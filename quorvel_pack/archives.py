"""Distributable archives of a packed installation: .tar.gz, .zip, .deb.

The same inputs give the same bytes: members in sorted order, one fixed
time for all (SOURCE_DATE_EPOCH when set), owner root and permissions
0755/0644 by whether the file is executable, a gzip header without name or
time. Caches of compiled modules are left out: the interpreter rewrites them
at will. The archive is written beside its destination, from the tree the
run is about to swap in and under its lock, and renamed into place once
that tree is in place; names an archive cannot carry are refused first.
"""

import contextlib
import os
from typing import Callable, Iterator, Optional

from . import PackError, debian, fs, tarball, zipball
from .identity import program_name
from .layout import PROGRAM, WINDOWS_PROGRAM
from .members import CONTROL_CHARACTER, Tree, source_date_epoch
from .options import ArchiveOptions


def check_request(installation: str, options: ArchiveOptions) -> str:
    """Refuses an archive that could not be written, before anything is
    packed; returns the application's name."""
    output = options.output
    if fs.inside(output, installation):
        raise PackError("%s: the archive cannot be written inside the installation" % output)
    directory = os.path.dirname(os.path.abspath(output))
    if not os.path.isdir(directory) or not os.access(directory, os.W_OK | os.X_OK):
        raise PackError("%s: no writable directory to hold the archive" % output)
    name = application_name(options)
    if not output.lower().endswith((".tar.gz", ".zip", ".deb")):
        raise PackError("%s: unknown archive type; name it .tar.gz, .zip or .deb" % output)
    source_date_epoch()
    if output.lower().endswith(".deb"):
        debian.check_fields(name, options.identity.version, options.identity.summary)
    return name


def write_archive(tree: Tree, path: str, options: ArchiveOptions) -> None:
    """Writes tree to path as the archive that the output's suffix names."""
    name = application_name(options)
    lower = options.output.lower()
    if lower.endswith(".tar.gz"):
        tarball.write_tar_gz(shipped(tree, options), path, name)
    elif lower.endswith(".zip"):
        zipball.write_zip(shipped(tree, options), path, name)
    else:
        debian.write_deb(shipped(tree, options), path, name, options.identity)


def shipped(tree: Tree, options: ArchiveOptions) -> Tree:
    """tree without the runtime's program once the application's named copy
    stands in for it: that is the source of the copy for the next pack, and
    nothing a user needs."""
    if program_name(options.identity) == PROGRAM:
        return tree
    return tree._replace(left_out=tree.left_out + (PROGRAM, WINDOWS_PROGRAM))


@contextlib.contextmanager
def publishing(options: Optional[ArchiveOptions]) -> Iterator[Callable[[Tree], None]]:
    """A function that writes a tree as the archive asked for, beside its
    output: the caller writes it from what it is about to swap in, under
    its lock. The archive takes the output's place when the block completes
    (after the caller's swap), and is removed when the block fails. Without
    an archive asked for, the function does nothing."""
    if options is None:
        yield lambda tree: None
        return
    requested: ArchiveOptions = options
    with fs.replacing_file(requested.output) as partial:
        yield lambda tree: write_archive(tree, partial, requested)


def application_name(options: ArchiveOptions) -> str:
    """The application's name, or else the application directory's."""
    name = options.identity.name
    if name is None:
        name = os.path.basename(os.path.normpath(os.path.abspath(options.app_dir)))
    if name in ("", ".", "..") or "/" in name or CONTROL_CHARACTER.search(name):
        raise PackError("%r: not usable as the application's name; choose one with --name" % name)
    return name
