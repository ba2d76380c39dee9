"""What every distributable archive shares: its members in a fixed order,
their normalised modes and time, and which links stay links."""

import os
import re
import stat
import time
from typing import Callable, Collection, Iterator, List, NamedTuple, Optional, Tuple

from . import PackError, fs

# Timestamp of every archive member the tool writes, so that the same inputs
# give the same bytes: the earliest date a zip header can hold.
FIXED_DATE_TIME = (1980, 1, 1, 0, 0, 0)
# The same moment in seconds; also the default time of tar members.
DEFAULT_EPOCH = 315532800  # 1980-01-01 00:00:00 UTC
# The installation's own desktop entry names the folder where cmake
# installed it, which is wrong anywhere the archive is unpacked.
LEFT_OUT_OF_INSTALLATIONS = ("share/applications",)
# Caches of compiled modules: the interpreter rewrites them at will.
LEFT_OUT_EVERYWHERE = ("__pycache__",)
# Characters that a name shown on one line, or unpacked by unzip, cannot hold.
CONTROL_CHARACTER = re.compile(r"[\x00-\x1f\x7f]")

assert time.gmtime(DEFAULT_EPOCH)[:6] == FIXED_DATE_TIME


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


class Tree(NamedTuple):
    """A folder as an archive holds it: relative paths left out (with
    everything under them), and entries read from elsewhere, in place of the
    folder's or added to it (what a run is about to move in)."""

    folder: str
    left_out: Tuple[str, ...] = ()
    replaced: Tuple[Tuple[str, str], ...] = ()  # (relative path, path read instead)


def members(folder: str, left_out: Collection[str] = ()) -> List[Tuple[str, str]]:
    """(relative path with /, full path) of everything under folder, sorted,
    parents before their contents; left_out names relative paths to skip,
    with everything under them."""
    return tree_members(Tree(folder, tuple(left_out)))


def tree_members(tree: Tree) -> List[Tuple[str, str]]:
    """members() of a tree, at any depth."""
    replaced = dict(tree.replaced)

    def children(directory: str, relative: str) -> Iterator[Tuple[str, str]]:
        added = {m.rpartition("/")[2] for m in replaced if m.rpartition("/")[0] == relative}
        for entry in sorted(added.union(os.listdir(directory))):
            member = relative + "/" + entry if relative else entry
            if member not in tree.left_out and entry not in LEFT_OUT_EVERYWHERE:
                yield member, replaced.get(member, os.path.join(directory, entry))

    found = []
    pending = [children(tree.folder, "")]
    while pending:
        item = next(pending[-1], None)
        if item is None:
            pending.pop()
            continue
        found.append(item)
        member, path = item
        if os.path.isdir(path) and not os.path.islink(path):
            pending.append(children(path, member))
    return found


def check_names(
    found: List[Tuple[str, str]], unfit: Callable[[str], Optional[str]], archive: str
) -> None:
    """Refuses the first member whose name an archive cannot carry: unfit
    tells why, or None."""
    for member, _ in found:
        reason = unfit(member)
        if reason:
            raise PackError("%r: a file name with %s cannot go into %s" % (member, reason, archive))


def link_inside(folder: str, path: str) -> Optional[str]:
    """The target of the symbolic link path when it is relative and stays
    inside folder; None for a link to take as a copy of what it names."""
    target = os.readlink(path)
    if os.path.isabs(target):
        return None
    resolved = os.path.realpath(path)
    if not fs.inside(resolved, folder) or not os.path.exists(resolved):
        return None
    return target


def check_not_linked_directory(path: str) -> None:
    if os.path.islink(path):
        raise PackError("%s: a link to a directory outside the folder cannot be archived" % path)
