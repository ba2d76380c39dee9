"""Distributable archives of a packed installation: .tar.gz, .zip, .deb."""

import argparse

from . import PackError


def write_archive(installation: str, output: str, args: argparse.Namespace) -> None:
    """Writes the installation as the archive that output's suffix names."""
    raise PackError("%s: archives are not supported yet" % output)
