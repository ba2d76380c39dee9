"""Distributable archives of a packed installation: .tar.gz, .zip, .deb.

The same inputs give the same bytes: members in sorted order, one fixed
time for all (SOURCE_DATE_EPOCH when set), owner root and permissions
0755/0644 by whether the file is executable, a gzip header without name or
time. Caches of compiled modules are left out: the interpreter rewrites them
at will. The archive is written beside its destination and renamed into
place only when complete.
"""

import os

from typing import Tuple

from . import PackError, debian, fs, tarball, zipball
from .identity import program_name
from .layout import PROGRAM, WINDOWS_PROGRAM
from .members import LEFT_OUT_OF_INSTALLATIONS, source_date_epoch
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


def write_archive(installation: str, options: ArchiveOptions) -> None:
    """Writes the installation as the archive that output's suffix names."""
    if not os.path.isdir(installation):
        raise PackError("%s: no such installation directory" % installation)
    name = check_request(installation, options)
    output = options.output
    lower = output.lower()
    if lower.endswith(".tar.gz"):
        tarball.write_tar_gz(installation, output, name, left_out(options))
    elif lower.endswith(".zip"):
        zipball.write_zip(installation, output, name, left_out(options))
    else:
        debian.write_deb(installation, output, name, options.identity, left_out(options))


def left_out(options: ArchiveOptions) -> Tuple[str, ...]:
    """What the archive does not ship: the runtime's program, once the
    application's named copy stands in for it, is the source of that copy
    for the next pack and nothing a user needs."""
    if program_name(options.identity) == PROGRAM:
        return LEFT_OUT_OF_INSTALLATIONS
    return LEFT_OUT_OF_INSTALLATIONS + (PROGRAM, WINDOWS_PROGRAM)


def application_name(options: ArchiveOptions) -> str:
    """The application's name, or else the application directory's."""
    name = options.identity.name
    if name is None:
        name = os.path.basename(os.path.normpath(os.path.abspath(options.app_dir)))
    if name in ("", ".", "..") or "/" in name or "\0" in name:
        raise PackError("%r: not usable as the application's name; choose one with --name" % name)
    return name
