"""A packed installation, or a Windows folder, as a reproducible zip."""

import os
import shutil
import stat
import time
import zipfile
from typing import Optional

from .members import (
    CONTROL_CHARACTER,
    DEFAULT_EPOCH,
    Tree,
    check_names,
    check_not_linked_directory,
    normal_mode,
    source_date_epoch,
    tree_members,
)


def unfit_name(name: str) -> Optional[str]:
    """Why a zip cannot carry a name: unzip drops control characters from
    the names it writes, and zip names are UTF-8."""
    if CONTROL_CHARACTER.search(name):
        return "a control character"
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:
        return "bytes that are not UTF-8"
    return None


def write_zip(tree: Tree, path: str, top: str = "") -> None:
    """tree as a zip archive, written to path, under the top-level directory
    top (none when empty). Symbolic links are stored as copies of the files
    they name, which every unzip restores. Unix permissions are recorded for
    unzip to apply."""
    when = time.gmtime(max(source_date_epoch(), DEFAULT_EPOCH))[:6]
    prefix = top + "/" if top else ""
    found = tree_members(tree)
    check_names(found, unfit_name, "a zip archive")

    def info(member: str, mode: int) -> zipfile.ZipInfo:
        entry = zipfile.ZipInfo(prefix + member, date_time=when)
        entry.create_system = 3  # Unix: the permission bits below are meaningful
        entry.external_attr = mode << 16
        return entry

    with zipfile.ZipFile(path, "w") as archive:
        if top:
            archive.writestr(info("", stat.S_IFDIR | 0o755), b"")
        for member, source in found:
            if os.path.isdir(source):
                check_not_linked_directory(source)
                archive.writestr(info(member + "/", stat.S_IFDIR | 0o755), b"")
            else:
                mode = stat.S_IFREG | normal_mode(os.stat(source).st_mode)
                entry = info(member, mode)
                entry.compress_type = zipfile.ZIP_DEFLATED
                with open(source, "rb") as content, archive.open(entry, "w") as target:
                    shutil.copyfileobj(content, target, 1 << 20)
