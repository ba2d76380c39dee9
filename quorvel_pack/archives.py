"""Distributable archives of a packed installation: .tar.gz, .zip, .deb.

The same inputs give the same bytes: members in sorted order, one fixed
time for all (SOURCE_DATE_EPOCH when set), owner root and permissions
0755/0644 by whether the file is executable, a gzip header without name or
time. Caches of compiled modules are left out: the interpreter rewrites them
at will. The archive is written beside its destination and renamed into
place only when complete.
"""

import argparse
import contextlib
import gzip
import os
import stat
import tarfile
import tempfile
import time
import zipfile

from . import FIXED_DATE_TIME, PackError

# Earliest time a zip header can hold; also the default for tar members.
DEFAULT_EPOCH = 315532800  # 1980-01-01 00:00:00 UTC
# The installation's own desktop entry names the folder where cmake
# installed it, which is wrong anywhere the archive is unpacked.
LEFT_OUT_OF_INSTALLATIONS = ("share/applications",)
LEFT_OUT_EVERYWHERE = ("__pycache__",)

assert time.gmtime(DEFAULT_EPOCH)[:6] == FIXED_DATE_TIME


def check_request(installation: str, output: str, args: argparse.Namespace) -> str:
    """Refuses an archive that could not be written, before anything is
    packed; returns the application's name."""
    if not outside(output, installation):
        raise PackError("%s: the archive cannot be written inside the installation" % output)
    directory = os.path.dirname(os.path.abspath(output))
    if not os.path.isdir(directory) or not os.access(directory, os.W_OK | os.X_OK):
        raise PackError("%s: no writable directory to hold the archive" % output)
    name = application_name(args)
    if not output.lower().endswith((".tar.gz", ".zip", ".deb")):
        raise PackError("%s: unknown archive type; name it .tar.gz, .zip or .deb" % output)
    source_date_epoch()
    if output.lower().endswith(".deb"):
        from . import debian

        debian.check_fields(name, args.version, args.summary)
    return name


def write_archive(installation: str, output: str, args: argparse.Namespace) -> None:
    """Writes the installation as the archive that output's suffix names."""
    if not os.path.isdir(installation):
        raise PackError("%s: no such installation directory" % installation)
    name = check_request(installation, output, args)
    lower = output.lower()
    if lower.endswith(".tar.gz"):
        write_tar_gz(installation, output, name, LEFT_OUT_OF_INSTALLATIONS)
    elif lower.endswith(".zip"):
        write_zip(installation, output, name, LEFT_OUT_OF_INSTALLATIONS)
    else:
        from . import debian

        debian.write_deb(installation, output, name, args.version, args.summary)


def outside(path: str, folder: str) -> bool:
    """True when path lies outside folder (a name like ..x inside it does not)."""
    relative = os.path.relpath(os.path.realpath(path), os.path.realpath(folder))
    return relative == os.pardir or relative.startswith(os.pardir + os.sep)


def application_name(args: argparse.Namespace) -> str:
    """--name, or else the application directory's name."""
    name = args.name
    if name is None:
        name = os.path.basename(os.path.normpath(os.path.abspath(args.app_dir)))
    if name in ("", ".", "..") or "/" in name or "\0" in name:
        raise PackError("%r: not usable as the application's name; choose one with --name" % name)
    return name


def source_date_epoch() -> int:
    """The time of every member: SOURCE_DATE_EPOCH when set."""
    value = os.environ.get("SOURCE_DATE_EPOCH")
    if value is None or value == "":
        return DEFAULT_EPOCH
    if not value.isdigit():
        raise PackError("SOURCE_DATE_EPOCH=%s: not a number of seconds" % value)
    return int(value)


def normal_mode(mode: int) -> int:
    """0755 for directories and executables, 0644 for everything else."""
    return 0o755 if stat.S_ISDIR(mode) or mode & 0o111 else 0o644


def members(folder: str, left_out=()):
    """(relative path with /, full path) of everything under folder, sorted,
    parents before their contents; left_out names relative paths to skip,
    with everything under them."""
    found = []

    def visit(directory, relative):
        for entry in sorted(os.listdir(directory)):
            path = os.path.join(directory, entry)
            member = relative + "/" + entry if relative else entry
            if member in left_out or entry in LEFT_OUT_EVERYWHERE:
                continue
            found.append((member, path))
            if os.path.isdir(path) and not os.path.islink(path):
                visit(path, member)

    visit(folder, "")
    return found


def link_inside(folder: str, path: str):
    """The target of the symbolic link path when it is relative and stays
    inside folder; None for a link to take as a copy of what it names."""
    target = os.readlink(path)
    if os.path.isabs(target):
        return None
    resolved = os.path.realpath(path)
    if outside(resolved, folder) or not os.path.exists(resolved):
        return None
    return target


@contextlib.contextmanager
def replacing(output: str):
    """The path of a new file beside output to write the archive to; renamed
    to output when the block completes, removed when it fails."""
    directory = os.path.dirname(os.path.abspath(output))
    descriptor, partial = tempfile.mkstemp(
        dir=directory, prefix=".%s." % os.path.basename(output), suffix=".part"
    )
    os.close(descriptor)
    try:
        yield partial
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(partial, 0o666 & ~umask)
        os.replace(partial, output)
    except BaseException:
        os.unlink(partial)
        raise


def write_tar_gz(folder: str, output: str, top: str, left_out=()) -> None:
    """folder as a gzipped tar with the single top-level directory top.
    Symbolic links that stay inside folder are kept as links."""
    epoch = source_date_epoch()

    def info(member, kind, mode):
        entry = tarfile.TarInfo(top + "/" + member if member else top)
        entry.type, entry.mode, entry.mtime = kind, mode, epoch
        entry.uid = entry.gid = 0
        entry.uname = entry.gname = "root"
        return entry

    with replacing(output) as partial, open(partial, "wb") as raw, gzip.GzipFile(
        filename="", mode="wb", fileobj=raw, mtime=0, compresslevel=9
    ) as zipped, tarfile.open(fileobj=zipped, mode="w", format=tarfile.PAX_FORMAT) as tar:
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


def check_not_linked_directory(path: str) -> None:
    if os.path.islink(path):
        raise PackError("%s: a link to a directory outside the folder cannot be archived" % path)


def write_zip(folder: str, output: str, top: str = "", left_out=()) -> None:
    """folder as a zip archive, under the top-level directory top (none when
    empty). Symbolic links are stored as copies of the files they name, which
    every unzip restores. Unix permissions are recorded for unzip to apply."""
    when = time.gmtime(max(source_date_epoch(), DEFAULT_EPOCH))[:6]
    prefix = top + "/" if top else ""

    def info(member, mode):
        entry = zipfile.ZipInfo(prefix + member, date_time=when)
        entry.create_system = 3  # Unix: the permission bits below are meaningful
        entry.external_attr = mode << 16
        return entry

    with replacing(output) as partial, zipfile.ZipFile(partial, "w") as archive:
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
                    while True:
                        block = source.read(1 << 20)
                        if not block:
                            break
                        target.write(block)
