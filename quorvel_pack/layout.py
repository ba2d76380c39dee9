"""Names of the files in an installation that packing reads or writes, and
where an application may lie relative to the installation."""

import os

from . import PackError, fs

PROGRAM = "quorvel"  # the launcher of a Linux installation
WINDOWS_PROGRAM = "quorvel.exe"
ARCHIVE = "library.zip"  # in lib/, first on the module search path
RUNTIME_RECORD = "quorvel-runtime.json"  # in lib/, written by cmake --install
MANIFEST = ".quorvel-pack.json"  # in lib/, what the last pack placed
STAGING_PREFIX = ".quorvel-pack-"  # the new lib/ is built in a directory so named


def check_apart(app_dir: str, installation: str) -> None:
    """Refuses an installation inside the application (it would be shipped
    into itself) and an application inside the installation's lib/ (the
    exchange would take it away)."""
    if fs.inside(installation, app_dir):
        raise PackError(
            "%s: the installation lies inside the application directory %s"
            % (installation, app_dir)
        )
    if fs.inside(app_dir, os.path.join(installation, "lib")):
        raise PackError(
            "%s: the application lies inside the installation's lib/, which "
            "packing replaces" % app_dir
        )
