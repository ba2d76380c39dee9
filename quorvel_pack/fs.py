"""Writing beside a target and swapping it in, so that a failed or
interrupted run leaves the target as it was, and what a killed run left
removed by the next; the lock that keeps a second run out; the one test of
whether a path lies inside a folder; and walking, making, copying and
removing trees of any depth (the standard library's walk, makedirs and
rmtree recurse, and end near 1,000 levels)."""

import contextlib
import ctypes
import errno
import fcntl
import os
import re
import shutil
import signal
import stat
import tempfile
from typing import Callable, Iterator, List, Set, Tuple

from . import PackError


def inside(path: str, folder: str) -> bool:
    """Whether path is folder or lies below it, links resolved (a name like
    ..x inside folder is inside)."""
    relative = os.path.relpath(os.path.realpath(path), os.path.realpath(folder))
    return relative != os.pardir and not relative.startswith(os.pardir + os.sep)


# ---- trees of any depth ---------------------------------------------------------


def walk(top: str) -> Iterator[Tuple[str, List[str], List[str]]]:
    """os.walk(top), top-down, without recursion: (directory, names of its
    subdirectories, names of its other entries); the subdirectories may be
    pruned in place. Links to directories are listed, not entered."""
    pending = [top]
    while pending:
        directory = pending.pop()
        try:
            entries = sorted(os.scandir(directory), key=lambda entry: entry.name)
        except OSError:
            continue
        dirs = [e.name for e in entries if e.is_dir()]
        files = [e.name for e in entries if not e.is_dir()]
        yield directory, dirs, files
        for name in reversed(dirs):
            path = os.path.join(directory, name)
            if not os.path.islink(path):
                pending.append(path)


def files_following_links(top: str, left_out: Callable[[str], bool]) -> List[Tuple[str, str]]:
    """(path relative to top, path) of every file below the directory top,
    depth first in name order, without recursion; links are followed (one
    back to a directory being read is refused as a loop), dangling ones and
    the names left_out passes over."""
    found: List[Tuple[str, str]] = []
    # The directories being read, innermost last: (names left, path, relative path, real path).
    reading: List[Tuple[Iterator[str], str, str, str]] = []
    entered: Set[str] = set()

    def enter(directory: str, relative: str) -> None:
        real = os.path.realpath(directory)
        if real in entered:
            raise PackError("%s: symlinks form a loop" % directory)
        entered.add(real)
        reading.append((iter(sorted(os.listdir(directory))), directory, relative, real))

    enter(top, "")
    while reading:
        names, directory, relative, real = reading[-1]
        name = next(names, None)
        if name is None:
            reading.pop()
            entered.discard(real)
        elif not left_out(name):
            path = os.path.join(directory, name)
            if os.path.isdir(path):
                enter(path, relative + name + "/")
            elif os.path.isfile(path):
                found.append((relative + name, path))
    return found


def make_dirs(path: str) -> None:
    """os.makedirs(path, exist_ok=True) without recursion."""
    missing = []
    while path and not os.path.isdir(path):
        missing.append(path)
        path = os.path.dirname(path)
    for directory in reversed(missing):
        with contextlib.suppress(FileExistsError):
            os.mkdir(directory)


def remove_tree(path: str) -> None:
    """Removes path and everything below it, as far as it can (another run
    may be removing the same tree)."""
    if os.path.islink(path) or not os.path.isdir(path):
        with contextlib.suppress(OSError):
            os.unlink(path)
        return
    directories = []
    for directory, dirs, files in walk(path):
        directories.append(directory)
        linked = [d for d in dirs if os.path.islink(os.path.join(directory, d))]
        for name in files + linked:
            with contextlib.suppress(OSError):
                os.unlink(os.path.join(directory, name))
    for directory in reversed(directories):  # each after what lies below it
        with contextlib.suppress(OSError):
            os.rmdir(directory)


def copy_file(source: str, target: str) -> None:
    """Copies the bytes of source to a new file target, leaving its holes
    unwritten: a sparse file stays sparse."""
    with open(source, "rb") as reader, open(target, "wb") as writer:
        size = os.fstat(reader.fileno()).st_size
        offset = 0
        while offset < size:
            try:
                start = os.lseek(reader.fileno(), offset, os.SEEK_DATA)
            except OSError as error:
                if error.errno != errno.ENXIO:  # ENXIO: only a hole remains
                    raise
                break
            end = os.lseek(reader.fileno(), start, os.SEEK_HOLE)
            while start < end:
                block = os.pread(reader.fileno(), min(end - start, 1 << 20), start)
                if not block:
                    break
                os.pwrite(writer.fileno(), block, start)
                start += len(block)
            offset = end
        writer.truncate(size)


# ---- the lock ---------------------------------------------------------------------


@contextlib.contextmanager
def locked(directory: str) -> Iterator[None]:
    """Holds directory for the block; refuses a concurrent run. A run that
    opened the directory just before another swapped a new one into its
    place holds the old one: it is refused too."""
    fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as error:
            if error.errno in (errno.EWOULDBLOCK, errno.EAGAIN):
                raise PackError("%s: another pack-app is packing into it" % directory)
            raise
        held, named = os.fstat(fd), os.stat(directory)
        if (held.st_dev, held.st_ino) != (named.st_dev, named.st_ino):
            raise PackError("%s: another pack-app is packing into it" % directory)
        yield
    finally:
        os.close(fd)


# ---- writing beside and swapping in ------------------------------------------------


@contextlib.contextmanager
def replacing_file(output: str) -> Iterator[str]:
    """The path of a new file beside output to write to; renamed to output
    when the block completes, removed when it fails. The partial files of
    output that killed runs left are removed first; a live run's is not, as
    it holds a lock on it until it is renamed."""
    directory = os.path.dirname(os.path.abspath(output))
    prefix = ".%s." % os.path.basename(output)
    partial_name = re.compile(re.escape(prefix) + r"[^.]+\.part")
    for name in os.listdir(directory):
        if partial_name.fullmatch(name):
            _remove_unlocked(os.path.join(directory, name))
    descriptor, partial = _new_partial(directory, prefix)
    try:
        yield partial
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(partial, 0o666 & ~umask)
        os.replace(partial, output)
    except BaseException:
        os.unlink(partial)
        raise
    finally:
        os.close(descriptor)


def _new_partial(directory: str, prefix: str) -> Tuple[int, str]:
    """A new partial file, locked: one that another run removed as stale
    between its making and its locking is made again."""
    while True:
        descriptor, partial = tempfile.mkstemp(dir=directory, prefix=prefix, suffix=".part")
        fcntl.flock(descriptor, fcntl.LOCK_EX)
        with contextlib.suppress(FileNotFoundError):
            if os.path.samestat(os.fstat(descriptor), os.stat(partial)):
                return descriptor, partial
        os.close(descriptor)


def _remove_unlocked(path: str) -> None:
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW)
    except OSError:
        return
    try:
        if stat.S_ISREG(os.fstat(fd).st_mode):
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            os.unlink(path)
    except OSError:
        pass  # held by a live run, or gone already
    finally:
        os.close(fd)


def exchange(a: str, b: str) -> None:
    """Swaps two directories in one step (Linux renameat2 RENAME_EXCHANGE)."""
    libc = ctypes.CDLL(None, use_errno=True)
    at_fdcwd, rename_exchange = -100, 2
    if libc.renameat2(at_fdcwd, os.fsencode(a), at_fdcwd, os.fsencode(b), rename_exchange) != 0:
        code = ctypes.get_errno()
        raise OSError(code, "cannot exchange %s and %s: %s" % (a, b, os.strerror(code)))


@contextlib.contextmanager
def committing() -> Iterator[Callable[[], None]]:
    """SIGINT and SIGTERM for the block: until the function it gives is
    called they interrupt (KeyboardInterrupt), so that the work is undone;
    from then on they wait for the block to end, so that it completes."""
    committed: List[bool] = []
    deferred: List[int] = []

    def interrupt(signum: int, frame: object) -> None:
        if not committed:
            raise KeyboardInterrupt
        deferred.append(signum)

    previous = {s: signal.signal(s, interrupt) for s in (signal.SIGINT, signal.SIGTERM)}
    try:
        yield lambda: committed.append(True)
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
    if deferred:
        signal.raise_signal(deferred[0])


def _no_op() -> None:
    pass


@contextlib.contextmanager
def replacing_directory(
    target: str, staging_parent: str, prefix: str, before_swap: Callable[[], None] = _no_op
) -> Iterator[str]:
    """The path of a new directory, not yet made, to build in target's
    place; when the block completes it takes target's mode and is exchanged
    with target in one step (before_swap runs just before). It lies in a
    staging directory whose name starts with prefix, made in staging_parent
    (on target's filesystem), which is removed in the end with whatever it
    then holds: the old directory, or the unfinished new one."""
    staging = tempfile.mkdtemp(prefix=prefix, dir=staging_parent)
    try:
        new = os.path.join(staging, os.path.basename(os.path.abspath(target)))
        yield new
        shutil.copymode(target, new)
        before_swap()
        exchange(new, target)
    finally:
        remove_tree(staging)


def remove_staging(parent: str, prefix: str) -> None:
    """Removes the staging directories that interrupted runs left in parent:
    prefix and a name without dots (another target's prefix may begin with
    this one, as .App.new-x.new- begins with .App.new-)."""
    for name in os.listdir(parent):
        if name.startswith(prefix) and "." not in name[len(prefix) :]:
            remove_tree(os.path.join(parent, name))
