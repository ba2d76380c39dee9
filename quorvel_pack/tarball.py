"""A packed installation as a reproducible gzipped tar."""

import gzip
import os
import tarfile
from typing import IO, cast

from .members import (
    Tree,
    check_not_linked_directory,
    link_inside,
    normal_mode,
    source_date_epoch,
    tree_members,
)


def write_tar_gz(tree: Tree, path: str, top: str) -> None:
    """tree as a gzipped tar, written to path, with the single top-level
    directory top. Symbolic links that stay inside the folder are kept as
    links. A tar member carries any name."""
    epoch = source_date_epoch()
    found = tree_members(tree)

    def info(member: str, kind: bytes, mode: int) -> tarfile.TarInfo:
        entry = tarfile.TarInfo(top + "/" + member if member else top)
        entry.type, entry.mode, entry.mtime = kind, mode, epoch
        entry.uid = entry.gid = 0
        entry.uname = entry.gname = "root"
        return entry

    # The gzip header holds no name and no time.
    with open(path, "wb") as raw, gzip.GzipFile(
        filename="", mode="wb", fileobj=raw, mtime=0, compresslevel=9
    ) as zipped, tarfile.open(
        fileobj=cast(IO[bytes], zipped), mode="w", format=tarfile.PAX_FORMAT
    ) as tar:
        tar.addfile(info("", tarfile.DIRTYPE, 0o755))
        for member, source in found:
            target = link_inside(tree.folder, source) if os.path.islink(source) else None
            if target is not None:
                entry = info(member, tarfile.SYMTYPE, 0o777)
                entry.linkname = target
                tar.addfile(entry)
            elif os.path.isdir(source):
                check_not_linked_directory(source)
                tar.addfile(info(member, tarfile.DIRTYPE, 0o755))
            else:
                entry = info(member, tarfile.REGTYPE, normal_mode(os.stat(source).st_mode))
                entry.size = os.path.getsize(source)
                with open(source, "rb") as content:
                    tar.addfile(entry, content)
