"""Distributable archives of a packed installation: .tar.gz, .zip, .deb.

The same inputs give the same bytes: members in sorted order, one fixed
time for all (SOURCE_DATE_EPOCH when set), owner root and permissions
0755/0644 by whether the file is executable, a gzip header without name or
time. Caches of compiled modules are left out: the interpreter rewrites them
at will. The archive is written beside its destination and renamed into
place only when complete.
"""

import argparse
import os

from . import PackError, debian, fs, tarball, zipball
from .members import LEFT_OUT_OF_INSTALLATIONS, source_date_epoch


def check_request(installation: str, output: str, args: argparse.Namespace) -> str:
    """Refuses an archive that could not be written, before anything is
    packed; returns the application's name."""
    if fs.inside(output, installation):
        raise PackError("%s: the archive cannot be written inside the installation" % output)
    directory = os.path.dirname(os.path.abspath(output))
    if not os.path.isdir(directory) or not os.access(directory, os.W_OK | os.X_OK):
        raise PackError("%s: no writable directory to hold the archive" % output)
    name = application_name(args)
    if not output.lower().endswith((".tar.gz", ".zip", ".deb")):
        raise PackError("%s: unknown archive type; name it .tar.gz, .zip or .deb" % output)
    source_date_epoch()
    if output.lower().endswith(".deb"):
        debian.check_fields(name, args.version, args.summary)
    return name


def write_archive(installation: str, output: str, args: argparse.Namespace) -> None:
    """Writes the installation as the archive that output's suffix names."""
    if not os.path.isdir(installation):
        raise PackError("%s: no such installation directory" % installation)
    name = check_request(installation, output, args)
    lower = output.lower()
    if lower.endswith(".tar.gz"):
        tarball.write_tar_gz(installation, output, name, LEFT_OUT_OF_INSTALLATIONS)
    elif lower.endswith(".zip"):
        zipball.write_zip(installation, output, name, LEFT_OUT_OF_INSTALLATIONS)
    else:
        debian.write_deb(installation, output, name, args.version, args.summary)


def application_name(args: argparse.Namespace) -> str:
    """--name, or else the application directory's name."""
    name = args.name
    if name is None:
        name = os.path.basename(os.path.normpath(os.path.abspath(args.app_dir)))
    if name in ("", ".", "..") or "/" in name or "\0" in name:
        raise PackError("%r: not usable as the application's name; choose one with --name" % name)
    return name
