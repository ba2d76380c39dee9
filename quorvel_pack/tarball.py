"""A packed installation as a reproducible gzipped tar."""

import gzip
import os
import tarfile
from typing import IO, Collection, cast

from . import fs
from .members import (
    check_not_linked_directory,
    link_inside,
    members,
    normal_mode,
    source_date_epoch,
)


def write_tar_gz(folder: str, output: str, top: str, left_out: Collection[str] = ()) -> None:
    """folder as a gzipped tar with the single top-level directory top.
    Symbolic links that stay inside folder are kept as links."""
    epoch = source_date_epoch()

    def info(member: str, kind: bytes, mode: int) -> tarfile.TarInfo:
        entry = tarfile.TarInfo(top + "/" + member if member else top)
        entry.type, entry.mode, entry.mtime = kind, mode, epoch
        entry.uid = entry.gid = 0
        entry.uname = entry.gname = "root"
        return entry

    # The gzip header holds no name and no time.
    with fs.replacing_file(output) as partial, open(partial, "wb") as raw, gzip.GzipFile(
        filename="", mode="wb", fileobj=raw, mtime=0, compresslevel=9
    ) as zipped, tarfile.open(
        fileobj=cast(IO[bytes], zipped), mode="w", format=tarfile.PAX_FORMAT
    ) as tar:
        tar.addfile(info("", tarfile.DIRTYPE, 0o755))
        for member, path in members(folder, left_out):
            target = link_inside(folder, path) if os.path.islink(path) else None
            if target is not None:
                entry = info(member, tarfile.SYMTYPE, 0o777)
                entry.linkname = target
                tar.addfile(entry)
            elif os.path.isdir(path):
                check_not_linked_directory(path)
                tar.addfile(info(member, tarfile.DIRTYPE, 0o755))
            else:
                entry = info(member, tarfile.REGTYPE, normal_mode(os.stat(path).st_mode))
                entry.size = os.path.getsize(path)
                with open(path, "rb") as content:
                    tar.addfile(entry, content)
