"""A packed installation, or a Windows folder, as a reproducible zip."""

import os
import shutil
import stat
import time
import zipfile
from typing import Collection

from . import fs
from .members import (
    DEFAULT_EPOCH,
    check_not_linked_directory,
    members,
    normal_mode,
    source_date_epoch,
)


def write_zip(folder: str, output: str, top: str = "", left_out: Collection[str] = ()) -> None:
    """folder as a zip archive, under the top-level directory top (none when
    empty). Symbolic links are stored as copies of the files they name, which
    every unzip restores. Unix permissions are recorded for unzip to apply."""
    when = time.gmtime(max(source_date_epoch(), DEFAULT_EPOCH))[:6]
    prefix = top + "/" if top else ""

    def info(member: str, mode: int) -> zipfile.ZipInfo:
        entry = zipfile.ZipInfo(prefix + member, date_time=when)
        entry.create_system = 3  # Unix: the permission bits below are meaningful
        entry.external_attr = mode << 16
        return entry

    with fs.replacing_file(output) as partial, zipfile.ZipFile(partial, "w") as archive:
        if top:
            archive.writestr(info("", stat.S_IFDIR | 0o755), b"")
        for member, path in members(folder, left_out):
            if os.path.isdir(path):
                check_not_linked_directory(path)
                archive.writestr(info(member + "/", stat.S_IFDIR | 0o755), b"")
            else:
                mode = stat.S_IFREG | normal_mode(os.stat(path).st_mode)
                entry = info(member, mode)
                entry.compress_type = zipfile.ZIP_DEFLATED
                with open(path, "rb") as source, archive.open(entry, "w") as target:
                    shutil.copyfileobj(source, target, 1 << 20)
