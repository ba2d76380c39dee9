"""The little of a Windows executable (PE) file that packing needs: the
machine it was built for and the DLLs it imports, at load time or delayed.
Read with pefile; an image the Windows loader could not map, or whose
import tables cannot be read whole, is refused."""

import typing

import pefile  # type: ignore[import]

MACHINES = {0x8664: "x86-64", 0x14C: "32-bit x86", 0xAA64: "ARM64", 0x1C4: "32-bit ARM"}
X86_64 = 0x8664

IMPORT_DIRECTORY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]
DELAY_IMPORT_DIRECTORY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT"]


class PEFormatError(ValueError):
    """The bytes are not a PE image that can be loaded."""


class Image(typing.NamedTuple):
    machine: int
    imports: typing.Tuple[str, ...]  # DLL names as written in the file, load-time then delayed


def machine_name(machine: int) -> str:
    return MACHINES.get(machine, "machine 0x%04X" % machine)


def parse(data: bytes) -> Image:
    """Machine and imported DLL names of a PE image held in data."""
    try:
        image = pefile.PE(data=data, fast_load=True)
        image.parse_data_directories(
            directories=[IMPORT_DIRECTORY, DELAY_IMPORT_DIRECTORY], import_dllnames_only=True
        )
    except pefile.PEFormatError as error:
        raise PEFormatError(error.value)
    for section in image.sections:
        if section.PointerToRawData + section.SizeOfRawData > len(data):
            raise PEFormatError("a section runs past the end of the file")
    # The reader skips what it cannot read of the import tables, and says so.
    damaged = [w for w in image.get_warnings() if "import directory" in w.lower()]
    if damaged:
        raise PEFormatError(damaged[0])
    entries = list(getattr(image, "DIRECTORY_ENTRY_IMPORT", []))
    entries += getattr(image, "DIRECTORY_ENTRY_DELAY_IMPORT", [])
    names = tuple(entry.dll.decode("ascii", "replace") for entry in entries)
    if "*invalid*" in names:
        raise PEFormatError("an imported DLL name is not a file name")
    return Image(image.FILE_HEADER.Machine, names)


def read(path: str) -> Image:
    with open(path, "rb") as f:
        return parse(f.read())
