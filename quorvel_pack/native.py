"""The shared libraries that shipped binaries need, found the way the
dynamic loader finds them; the platform's base libraries (a rule list) are
left out."""

import os
import struct
import subprocess
from typing import Dict, Iterable, List, NamedTuple, Optional, Tuple

from . import PackError, rules

DEFAULT_DIRS = (
    "/lib/x86_64-linux-gnu",
    "/usr/lib/x86_64-linux-gnu",
    "/lib64",
    "/usr/lib64",
    "/lib",
    "/usr/lib",
)

DT_NEEDED, DT_STRTAB, DT_SONAME, DT_RPATH, DT_RUNPATH = 1, 5, 14, 15, 29


class ElfInfo(NamedTuple):
    needed: List[str]
    soname: Optional[str]
    rpath: List[str]
    runpath: List[str]
    path_entries: List[int]  # file offsets of the DT_RPATH and DT_RUNPATH entries


def is_elf(path: str) -> bool:
    try:
        with open(path, "rb") as f:
            return f.read(4) == b"\x7fELF"
    except OSError:
        return False


def _segments(data: bytes) -> Tuple[List[Tuple[int, int, int]], Optional[Tuple[int, int]]]:
    """(address, offset, size) of each loaded segment, and (offset, size)
    of the dynamic section if there is one."""
    (phoff,) = struct.unpack_from("<Q", data, 0x20)
    phentsize, phnum = struct.unpack_from("<HH", data, 0x36)
    loads: List[Tuple[int, int, int]] = []
    dynamic = None
    for index in range(phnum):
        p_type, _, p_offset, p_vaddr, _, p_filesz = struct.unpack_from(
            "<IIQQQQ", data, phoff + index * phentsize
        )
        if p_type == 1:  # PT_LOAD
            loads.append((p_vaddr, p_offset, p_filesz))
        elif p_type == 2:  # PT_DYNAMIC
            dynamic = (p_offset, p_filesz)
    return loads, dynamic


def read_elf(path: str) -> ElfInfo:
    """The dynamic section of a 64-bit little-endian ELF file."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] != b"\x7fELF" or data[4] != 2 or data[5] != 1:
        raise PackError("%s: not a 64-bit little-endian ELF file" % path)
    loads, dynamic = _segments(data)
    if dynamic is None:
        return ElfInfo([], None, [], [], [])

    def file_offset(address: int) -> int:
        for vaddr, offset, size in loads:
            if vaddr <= address < vaddr + size:
                return address - vaddr + offset
        raise PackError("%s: damaged dynamic section" % path)

    entries = []
    for position in range(dynamic[0], dynamic[0] + dynamic[1], 16):
        tag, value = struct.unpack_from("<qQ", data, position)
        if tag == 0:
            break
        entries.append((tag, value, position))
    strtab = file_offset(next(v for t, v, _ in entries if t == DT_STRTAB))

    def text(offset: int) -> str:
        end = data.index(b"\0", strtab + offset)
        return data[strtab + offset : end].decode("utf-8", "surrogateescape")

    def paths(tag: int) -> List[str]:
        return [p for t, v, _ in entries if t == tag for p in text(v).split(":") if p]

    sonames = [text(v) for t, v, _ in entries if t == DT_SONAME]
    return ElfInfo(
        [text(v) for t, v, _ in entries if t == DT_NEEDED],
        sonames[0] if sonames else None,
        paths(DT_RPATH),
        paths(DT_RUNPATH),
        [position for t, _, position in entries if t in (DT_RPATH, DT_RUNPATH)],
    )


def loader_cache() -> Dict[str, str]:
    """soname -> path for the machine's 64-bit libraries, from ldconfig."""
    for ldconfig in ("/sbin/ldconfig", "/usr/sbin/ldconfig"):
        if os.path.exists(ldconfig):
            break
    else:
        return {}
    listing = subprocess.run([ldconfig, "-p"], capture_output=True, text=True, timeout=60).stdout
    cache: Dict[str, str] = {}
    for line in listing.splitlines()[1:]:
        name, _, rest = line.strip().partition(" (")
        flags, _, path = rest.partition(") => ")
        if "x86-64" in flags and name not in cache:
            cache[name] = path
    return cache


def _expand(directory: str, origin_dir: str) -> str:
    return directory.replace("$ORIGIN", origin_dir).replace("${ORIGIN}", origin_dir)


def find_library(
    soname: str, needed_by: str, info: ElfInfo, cache: Dict[str, str], passed_over: str = ""
) -> Optional[str]:
    """Where the loader would find soname for needed_by, on this machine,
    leaving out the directory passed_over."""
    origin_dir = os.path.dirname(os.path.realpath(needed_by))
    directories = [_expand(d, origin_dir) for d in info.rpath if not info.runpath]
    directories += [_expand(d, origin_dir) for d in info.runpath]
    for directory in directories:
        if passed_over and os.path.realpath(directory) == os.path.realpath(passed_over):
            continue
        candidate = os.path.join(directory, soname)
        if os.path.isfile(candidate):
            return candidate
    if soname in cache and os.path.isfile(cache[soname]):
        return cache[soname]
    for directory in DEFAULT_DIRS:
        candidate = os.path.join(directory, soname)
        if os.path.isfile(candidate):
            return candidate
    return None


def needed_libraries(
    binaries: Iterable[Tuple[str, str]], available: Iterable[str], lib_dir: str = ""
) -> Tuple[Dict[str, str], List[Tuple[str, str]]]:
    """The libraries to copy for binaries, transitively.

    binaries: (label, path) of each shipped binary; available: sonames the
    installation already holds in lib/ for good. The other libraries in
    lib_dir are copies that an earlier pack made: each is found again where
    it came from, so that it is the system's current file, known to the
    system's package records. Returns ({soname: real file}, [(missing
    soname, label of the binary that needs it)]). A library selected among
    alternatives is its real file, copied under the soname that is asked for.
    """
    base = rules.linux_base_libraries()
    cache = loader_cache()
    have = set(available)
    copies: Dict[str, str] = {}
    missing: List[Tuple[str, str]] = []
    pending = list(binaries)
    while pending:
        label, path = pending.pop()
        info = read_elf(path)
        for soname in info.needed:
            if soname in base or soname in have or soname in copies:
                continue
            found = find_library(soname, path, info, cache, lib_dir)
            if found is None:
                missing.append((soname, label))
                have.add(soname)
                continue
            copies[soname] = os.path.realpath(found)
            pending.append((soname, copies[soname]))
    return copies, missing


def clear_search_paths(path: str) -> bool:
    """Empties a copied library's own DT_RPATH and DT_RUNPATH, in place.

    A library's own run path names directories of the machine it came from,
    searched before the installation's lib/; and a DT_RUNPATH would also
    make the loader search that library's dependencies without the
    program's DT_RPATH. Each entry becomes a DT_RPATH naming the empty
    string (offset 0 of the string table), which adds no directory. Returns
    whether the file changed.
    """
    info = read_elf(path)
    if not info.path_entries:
        return False
    with open(path, "r+b") as f:
        for position in info.path_entries:
            f.seek(position)
            f.write(struct.pack("<qQ", DT_RPATH, 0))
    return True
