"""What a pack places beside lib/ in a Linux installation: the program under
the application's name, its icons, and the licences in licenses/.

The runtime's own program (`quorvel`, which cmake --install writes) stays:
it is the source of the named copy. These files are written into the pack's
staging directory first and moved into place once the new lib/ is in, each
in one step; what the previous pack placed and this one does not is then
removed. The record of lib/ lists them, so nothing else is ever removed.
"""

import os
import shutil
from typing import Dict, List, NamedTuple, Optional, Tuple

from . import PackError, fs, icons, licences
from .identity import Identity, program_name
from .layout import PROGRAM

ICON = "share/icons/hicolor/%dx%d/apps/%s.png"


class Entry(NamedTuple):
    """A file beside lib/: copied from source, or holding data."""

    source: Optional[str]
    data: bytes
    executable: bool


def plan(
    installation: str, identity: Identity, licence_files: Dict[str, bytes]
) -> Dict[str, Entry]:
    """Every file beside lib/ that this pack places, by its relative path."""
    planned: Dict[str, Entry] = {}
    program = program_name(identity)
    if program != PROGRAM:
        planned[program] = Entry(os.path.join(installation, PROGRAM), b"", True)
        if identity.icon is not None:
            for size, data in icons.hicolor_icons(identity.icon).items():
                planned[ICON % (size, size, program)] = Entry(None, data, False)
    for relative, data in licence_files.items():
        planned[licences.DIRECTORY + "/" + relative] = Entry(None, data, False)
    return planned


def recorded(planned: Dict[str, Entry]) -> List[str]:
    """The entries that the record of lib/ lists: licenses/ as a whole."""
    inside = licences.DIRECTORY + "/"
    return sorted({licences.DIRECTORY if p.startswith(inside) else p for p in planned})


def check_program_name(installation: str, program: str, previous: List[str]) -> None:
    """Refuses a name that the installation already holds for something a
    pack did not place there."""
    if program == licences.DIRECTORY:
        raise PackError(
            "%s: the name of the licences' directory beside lib/; choose another name with "
            "--name" % program
        )
    if program == PROGRAM or program in previous:
        return
    if os.path.lexists(os.path.join(installation, program)):
        raise PackError(
            "%s: the installation already holds %s, which pack-app did not place; "
            "choose another name with --name" % (program, os.path.join(installation, program))
        )


def write(stage: str, planned: Dict[str, Entry]) -> None:
    """Writes the planned files under the staging directory."""
    for relative, entry in sorted(planned.items()):
        target = os.path.join(stage, *relative.split("/"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        if entry.source is not None:
            shutil.copyfile(entry.source, target)
        else:
            with open(target, "wb") as f:
                f.write(entry.data)
        os.chmod(target, 0o755 if entry.executable else 0o644)


def archived(
    installation: str, stage: str, planned: Dict[str, Entry], previous: List[str]
) -> Tuple[Tuple[str, ...], Tuple[Tuple[str, str], ...]]:
    """What commit() will change, for an archive written before it: the
    entries it removes, and (relative path, staged path) of what it puts in,
    by the outermost directory the installation lacks."""
    entries = recorded(planned)
    removed = tuple(p for p in previous if p not in entries and p != PROGRAM)
    replaced: Dict[str, str] = {}
    for relative in entries:
        parts = relative.split("/")
        for depth in range(1, len(parts) + 1):
            if depth == len(parts) or not os.path.isdir(os.path.join(installation, *parts[:depth])):
                replaced["/".join(parts[:depth])] = os.path.join(stage, *parts[:depth])
                break
    return removed, tuple(replaced.items())


def _exchange_or_rename(source: str, target: str) -> None:
    """Puts the directory source at target in one step."""
    if os.path.lexists(target):
        fs.exchange(source, target)
    else:
        os.rename(source, target)


def commit(installation: str, stage: str, planned: Dict[str, Entry], previous: List[str]) -> None:
    """Moves the staged files into the installation and removes what the
    previous pack placed that this one does not."""
    entries = recorded(planned)
    for relative in entries:
        staged = os.path.join(stage, *relative.split("/"))
        target = os.path.join(installation, *relative.split("/"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        if os.path.isdir(staged):
            _exchange_or_rename(staged, target)
        else:
            os.replace(staged, target)
    for relative in previous:
        if relative in entries or relative == PROGRAM or ".." in relative.split("/"):
            continue
        path = os.path.join(installation, *relative.split("/"))
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path, ignore_errors=True)
        elif os.path.lexists(path):
            os.unlink(path)
