"""The little of a Windows executable (PE) file that packing needs: the
machine it was built for and the DLLs it imports, at load time or delayed."""

import struct
from typing import Any, List, NamedTuple, Tuple

MACHINES = {0x8664: "x86-64", 0x14C: "32-bit x86", 0xAA64: "ARM64", 0x1C4: "32-bit ARM"}
X86_64 = 0x8664

IMPORT_DIRECTORY = 1
DELAY_IMPORT_DIRECTORY = 13


class PEFormatError(ValueError):
    """The bytes are not a PE image this reader understands."""


# (virtual address, virtual size, raw offset, raw size) of a section
Section = Tuple[int, int, int, int]


class Image(NamedTuple):
    machine: int
    imports: Tuple[str, ...]  # DLL names as written in the file, load-time then delayed


def machine_name(machine: int) -> str:
    return MACHINES.get(machine, "machine 0x%04X" % machine)


def _unpack(fmt: str, data: bytes, offset: int) -> Tuple[Any, ...]:
    if offset < 0 or offset + struct.calcsize(fmt) > len(data):
        raise PEFormatError("truncated at offset %d" % offset)
    return struct.unpack_from(fmt, data, offset)


def _sections(data: bytes, table: int, count: int) -> List[Section]:
    sections = []
    for index in range(count):
        _, virtual_size, address, raw_size, raw_offset = _unpack(
            "<8sIIII", data, table + 40 * index
        )
        sections.append((address, max(virtual_size, raw_size), raw_offset, raw_size))
    return sections


def _file_offset(sections: List[Section], rva: int) -> int:
    for address, size, raw_offset, raw_size in sections:
        if address <= rva < address + size:
            if rva - address >= raw_size:
                break
            return raw_offset + rva - address
    raise PEFormatError("address 0x%X lies in no section's data" % rva)


def _string(data: bytes, sections: List[Section], rva: int) -> str:
    start = _file_offset(sections, rva)
    end = data.find(b"\0", start)
    if end < 0:
        raise PEFormatError("unterminated name at 0x%X" % rva)
    return data[start:end].decode("ascii", "replace")


def _directory_names(
    data: bytes,
    sections: List[Section],
    directory: Tuple[int, int],
    entry_size: int,
    name_field: int,
    image_base: int = 0,
) -> List[str]:
    """Names of the DLLs in an import table whose entries are entry_size
    bytes, with the name's address at name_field; ends at a zero entry."""
    address, size = directory
    if address == 0 or size == 0:
        return []
    names: List[str] = []
    offset = _file_offset(sections, address)
    while True:
        entry = data[offset : offset + entry_size]
        if len(entry) < entry_size:
            raise PEFormatError("import table runs past the end of the file")
        if entry == bytes(entry_size):
            return names
        (attributes,) = _unpack("<I", entry, 0)
        (name_address,) = _unpack("<I", entry, name_field)
        # Delay-load entries of the oldest form hold addresses, not RVAs.
        if entry_size == 32 and not attributes & 1:
            name_address -= image_base
        names.append(_string(data, sections, name_address))
        offset += entry_size


def parse(data: bytes) -> Image:
    """Machine and imported DLL names of a PE image held in data."""
    if data[:2] != b"MZ":
        raise PEFormatError("no MZ header")
    (header,) = _unpack("<I", data, 0x3C)
    if data[header : header + 4] != b"PE\0\0":
        raise PEFormatError("no PE signature")
    machine, section_count, _, _, _, optional_size, _ = _unpack("<HHIIIHH", data, header + 4)
    optional = header + 24
    (magic,) = _unpack("<H", data, optional)
    if magic == 0x20B:
        (image_base,) = _unpack("<Q", data, optional + 24)
        directories = optional + 112
    elif magic == 0x10B:
        (image_base,) = _unpack("<I", data, optional + 28)
        directories = optional + 96
    else:
        raise PEFormatError("unknown optional header 0x%X" % magic)
    (directory_count,) = _unpack("<I", data, directories - 4)

    def directory(index: int) -> Tuple[int, int]:
        if index >= directory_count:
            return (0, 0)
        address, size = _unpack("<II", data, directories + 8 * index)
        return address, size

    sections = _sections(data, optional + optional_size, section_count)
    imports = _directory_names(data, sections, directory(IMPORT_DIRECTORY), 20, 12)
    delayed = _directory_names(data, sections, directory(DELAY_IMPORT_DIRECTORY), 32, 4, image_base)
    return Image(machine, tuple(imports + delayed))


def read(path: str) -> Image:
    with open(path, "rb") as f:
        return parse(f.read())
