"""The shared libraries that shipped binaries need, found the way the
dynamic loader finds them; the platform's base libraries (a rule list) are
left out.

ELF files are read with pyelftools; what the loader would refuse to map, or
would pass over as built for another machine, is found here first."""

import os
import struct
import subprocess
from typing import Dict, Iterable, List, NamedTuple, Optional, Set, Tuple

from elftools.elf.dynamic import DynamicSegment  # type: ignore[import]
from elftools.elf.elffile import ELFFile  # type: ignore[import]

from . import PackError, rules

DEFAULT_DIRS = (
    "/lib/x86_64-linux-gnu",
    "/usr/lib/x86_64-linux-gnu",
    "/lib64",
    "/usr/lib64",
    "/lib",
    "/usr/lib",
)

DT_RPATH = 15
# Names of machines in messages, where the reader's differ from common use.
MACHINE_NAMES = {"x64": "x86-64", "x86": "32-bit x86"}


class Machine(NamedTuple):
    """What the loader compares before it maps a file: machine, word size, byte order."""

    code: str  # e_machine, as the reader names it ("EM_X86_64")
    bits: int
    little_endian: bool
    name: str  # for messages


class ElfInfo(NamedTuple):
    machine: Machine
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


def read_elf(path: str) -> ElfInfo:
    """The machine and the dynamic section of an ELF file; a file the loader
    could not map is refused, naming it."""
    with open(path, "rb") as f:
        if f.read(4) != b"\x7fELF":
            raise PackError("%s: not an ELF file" % path)
        try:
            return _read_elf(ELFFile(f), os.fstat(f.fileno()).st_size)
        except Exception as error:  # the reader fails in many ways on damaged input
            raise PackError("%s: damaged ELF file (%s)" % (path, error or type(error).__name__))


def _read_elf(elf: ELFFile, size: int) -> ElfInfo:
    arch = elf.get_machine_arch()
    machine = Machine(
        elf["e_machine"], elf.elfclass, elf.little_endian, MACHINE_NAMES.get(arch, arch)
    )
    dynamic = None
    for segment in elf.iter_segments():
        if segment["p_type"] == "PT_LOAD" and segment["p_offset"] + segment["p_filesz"] > size:
            raise ValueError("a loadable segment runs past the end of the file")
        if isinstance(segment, DynamicSegment):
            dynamic = segment
    values, path_entries = _dynamic_entries(elf, dynamic) if dynamic else ({}, [])

    def paths(kind: str) -> List[str]:
        return [p for value in values.get(kind, []) for p in value.split(":") if p]

    return ElfInfo(
        machine,
        values.get("DT_NEEDED", []),
        next(iter(values.get("DT_SONAME", [])), None),
        paths("DT_RPATH"),
        paths("DT_RUNPATH"),
        path_entries,
    )


def _dynamic_entries(
    elf: ELFFile, dynamic: DynamicSegment
) -> Tuple[Dict[str, List[str]], List[int]]:
    """The string values of the dynamic section's entries by tag, and the
    file offsets of its run path entries; read no further than the segment."""
    values: Dict[str, List[str]] = {}
    path_entries = []
    if dynamic["p_filesz"] and dynamic.get_table_offset("DT_STRTAB")[1] is None:
        raise ValueError("no dynamic string table")
    entry_size = elf.structs.Elf_Dyn.sizeof()
    for index, tag in enumerate(dynamic.iter_tags()):
        if index * entry_size >= dynamic["p_filesz"]:
            break
        kind = tag.entry.d_tag
        if kind in ("DT_NEEDED", "DT_SONAME", "DT_RPATH", "DT_RUNPATH"):
            values.setdefault(kind, []).append(getattr(tag, kind[3:].lower()))
        if kind in ("DT_RPATH", "DT_RUNPATH"):
            path_entries.append(dynamic["p_offset"] + index * entry_size)
    return values, path_entries


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


class Binary(NamedTuple):
    label: str  # the name messages give it
    path: str
    # Loaded by what the application imports; otherwise shipped only because
    # its package is shipped whole.
    reached: bool


class Problem(NamedTuple):
    message: str
    reached: bool  # whether the binary concerned is one the application loads
    unusable: Optional[str]  # label of a binary the loader cannot map; None: a missing library


class Libraries(NamedTuple):
    copies: Dict[str, str]  # soname -> the real file to copy
    problems: List[Problem]


def read_loadable(path: str, machine: Machine) -> ElfInfo:
    """read_elf, also refusing a file built for another machine."""
    info = read_elf(path)
    if info.machine != machine:
        raise PackError("%s: built for %s, not %s" % (path, info.machine.name, machine.name))
    return info


def find_library(
    soname: str,
    needed_by: str,
    info: ElfInfo,
    cache: Dict[str, str],
    machine: Machine,
    left_out: str = "",
) -> Tuple[Optional[str], List[str]]:
    """Where the loader would find soname for needed_by on this machine,
    leaving out the directory left_out, and why it passes over the files of
    that name before it (damaged, or built for another machine)."""
    origin_dir = os.path.dirname(os.path.realpath(needed_by))
    directories = [_expand(d, origin_dir) for d in info.rpath if not info.runpath]
    directories += [_expand(d, origin_dir) for d in info.runpath]
    if left_out:
        directories = [d for d in directories if os.path.realpath(d) != os.path.realpath(left_out)]
    candidates = [os.path.join(d, soname) for d in directories]
    candidates += [cache[soname]] if soname in cache else []
    candidates += [os.path.join(d, soname) for d in DEFAULT_DIRS]
    passed_over: List[str] = []
    for candidate in dict.fromkeys(candidates):
        if not os.path.isfile(candidate):
            continue
        try:
            read_loadable(candidate, machine)
        except PackError as error:
            passed_over.append(str(error))
            continue
        return candidate, passed_over
    return None, passed_over


def needed_libraries(
    binaries: Iterable[Binary], available: Iterable[str], machine: Machine, lib_dir: str = ""
) -> Libraries:
    """The libraries to copy for binaries, transitively, and what stands in
    the way: binaries the loader cannot map for machine, libraries not found.

    available: sonames the installation already holds in lib/ for good. The
    other libraries in lib_dir are copies that an earlier pack made: each is
    found again where it came from, so that it is the system's current file,
    known to the system's package records. A library selected among
    alternatives is its real file, copied under the soname that is asked
    for. The binaries the application loads go first, so that a library one
    of them needs counts as loaded too.
    """
    base = rules.linux_base_libraries()
    cache = loader_cache()
    have: Set[str] = set(available)
    copies: Dict[str, str] = {}
    problems: List[Problem] = []
    binaries = list(binaries)
    for reached in (True, False):
        pending = [b for b in binaries if b.reached == reached]
        while pending:
            binary = pending.pop()
            try:
                info = read_loadable(binary.path, machine)
            except PackError as error:
                problems.append(Problem(str(error), reached, binary.label))
                continue
            for soname in info.needed:
                if soname in base or soname in have or soname in copies:
                    continue
                found, passed_over = find_library(
                    soname, binary.path, info, cache, machine, lib_dir
                )
                if found is None:
                    notes = "".join("; passed over " + reason for reason in passed_over)
                    message = "library %s not found (needed by %s%s)" % (
                        soname,
                        binary.label,
                        notes,
                    )
                    problems.append(Problem(message, reached, None))
                    have.add(soname)
                    continue
                copies[soname] = os.path.realpath(found)
                pending.append(Binary(soname, copies[soname], reached))
    return Libraries(copies, problems)


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
