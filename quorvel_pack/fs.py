"""Writing beside a target and swapping it in, so that a failed or
interrupted run leaves the target as it was; and the one test of whether a
path lies inside a folder."""

import contextlib
import ctypes
import os
import shutil
import tempfile
from typing import Callable, Iterator


def inside(path: str, folder: str) -> bool:
    """Whether path is folder or lies below it, links resolved (a name like
    ..x inside folder is inside)."""
    relative = os.path.relpath(os.path.realpath(path), os.path.realpath(folder))
    return relative != os.pardir and not relative.startswith(os.pardir + os.sep)


@contextlib.contextmanager
def replacing_file(output: str) -> Iterator[str]:
    """The path of a new file beside output to write to; renamed to output
    when the block completes, removed when it fails."""
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


def exchange(a: str, b: str) -> None:
    """Swaps two directories in one step (Linux renameat2 RENAME_EXCHANGE)."""
    libc = ctypes.CDLL(None, use_errno=True)
    at_fdcwd, rename_exchange = -100, 2
    if libc.renameat2(at_fdcwd, os.fsencode(a), at_fdcwd, os.fsencode(b), rename_exchange) != 0:
        code = ctypes.get_errno()
        raise OSError(code, "cannot exchange %s and %s: %s" % (a, b, os.strerror(code)))


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
        shutil.rmtree(staging, ignore_errors=True)


def remove_staging(parent: str, prefix: str) -> None:
    """Removes the staging directories that interrupted runs left in parent."""
    for name in os.listdir(parent):
        if name.startswith(prefix):
            shutil.rmtree(os.path.join(parent, name), ignore_errors=True)
