"""The third-party distributions installed in a directory: which top-level
modules each owns, its metadata directory, and what its metadata requires.

Metadata comes in two forms, both read: `.dist-info` (wheels) and
`.egg-info` (a directory, or a single file, as setuptools and Debian leave
it). A top-level module that no metadata claims is a distribution of its
own, without metadata."""

import importlib.machinery
import importlib.metadata
import os
import pathlib
import re
from typing import Dict, FrozenSet, Iterable, List, NamedTuple, Optional, Set, Tuple

from packaging.markers import UndefinedEnvironmentName
from packaging.requirements import InvalidRequirement, Requirement

METADATA_SUFFIXES = (".dist-info", ".egg-info")
EXTENSION_SUFFIXES = importlib.machinery.EXTENSION_SUFFIXES


class Distribution(NamedTuple):
    name: str  # as its metadata spells it
    site: str  # the directory it is installed in
    metadata: Optional[str]  # its metadata directory or file, relative to site
    tops: FrozenSet[str]  # the top-level modules it owns
    requires: Tuple[str, ...]  # its Requires-Dist entries, markers and all


def normalised(name: str) -> str:
    """A project name as package indexes compare it."""
    return re.sub(r"[-_.]+", "-", name).lower()


def _top_of(entry: str) -> Optional[str]:
    """The top-level module a path in an installed-files list belongs to,
    None for one outside the directory or for metadata."""
    first = entry.strip().split("/")[0]
    if not first or first in ("..", "__pycache__") or first.endswith(METADATA_SUFFIXES):
        return None
    if first.endswith(".pth"):
        return None
    return first.split(".")[0]


def _read(path: pathlib.Path, name: str) -> Optional[str]:
    try:
        return (path / name).read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError):
        return None


def _tops(path: pathlib.Path, dist: importlib.metadata.Distribution) -> FrozenSet[str]:
    listed = _read(path, "top_level.txt")
    if listed is not None:
        return frozenset(line.strip().replace("/", ".") for line in listed.split() if line)
    tops = set()
    for entry in dist.files or ():
        top = _top_of(str(entry))
        if top:
            tops.add(top)
    return frozenset(tops)


def _from_metadata(site: str, entry: str) -> Distribution:
    path = pathlib.Path(site, entry)
    fallback = entry.split("-", 1)[0].rsplit(".", 1)[0]
    if path.is_file():
        # A single-file .egg-info holds the PKG-INFO text only.
        text = _read(path.parent, path.name) or ""
        found = re.search(r"^Name:\s*(\S+)", text, re.MULTILINE)
        name = found.group(1) if found else fallback
        return Distribution(name, site, entry, frozenset({normalised(name).replace("-", "_")}), ())
    dist = importlib.metadata.Distribution.at(path)
    name = dist.metadata["Name"] or fallback
    return Distribution(name, site, entry, _tops(path, dist), tuple(dist.requires or ()))


def installed(site: str) -> List[Distribution]:
    """Every distribution installed in site, including the top-level
    modules that no metadata claims (as distributions without metadata)."""
    found = [
        _from_metadata(site, entry)
        for entry in sorted(os.listdir(site))
        if entry.endswith(METADATA_SUFFIXES)
    ]
    claimed = {top for dist in found for top in dist.tops}
    for entry in sorted(os.listdir(site)):
        top = entry.split(".", 1)[0]
        if entry.endswith(METADATA_SUFFIXES) or not top.isidentifier() or top in claimed:
            continue
        if os.path.isdir(os.path.join(site, entry)) or entry.endswith((".py", ".so")):
            found.append(Distribution(top, site, None, frozenset({top}), ()))
            claimed.add(top)
    return found


def top_files(site: str, top: str) -> List[str]:
    """A top-level module's own files in site: top.py or its extension module."""
    return [
        name
        for name in os.listdir(site)
        if name == top + ".py"
        or (name.startswith(top + ".") and name.endswith(tuple(EXTENSION_SUFFIXES)))
    ]


def owners(distributions: Iterable[Distribution]) -> Dict[str, Distribution]:
    """top-level module -> the distribution that owns it; the first one
    where several claim it (as the import system finds the first)."""
    owned: Dict[str, Distribution] = {}
    for dist in distributions:
        for top in sorted(dist.tops):
            owned.setdefault(top, dist)
    return owned


def required_names(dist: Distribution, extras: Set[str]) -> List[Tuple[str, Set[str]]]:
    """(normalised name, extras asked for) of what dist requires on this
    interpreter and platform, with the extras given; the markers are
    evaluated here. Entries that cannot be read are skipped."""
    required = []
    for text in dist.requires:
        try:
            requirement = Requirement(text)
        except InvalidRequirement:
            continue
        marker = requirement.marker
        try:
            applies = marker is None or any(
                marker.evaluate({"extra": extra}) for extra in [""] + sorted(extras)
            )
        except UndefinedEnvironmentName:
            applies = False
        if applies:
            required.append((normalised(requirement.name), set(requirement.extras)))
    return required
