"""A copy of quorvel.exe that carries the application's identity: its icon,
and its names and version in the version block. The manifest, the code and
data, the imports and every image property stay as built.

The resource tree is read with pefile and written anew. The linker places
the resource section before the base relocations and the debug sections, so
a larger tree cannot grow in place: it goes into a new last section, and the
old section's bytes are zeroed (its header stays, so no address that the
image uses moves). A second rewrite finds the resources in the last section
and rewrites that in place, so rewriting twice gives the bytes of rewriting
once.
"""

import re
import struct
from typing import Any, Dict, List, NamedTuple, Optional, Tuple

import pefile  # type: ignore[import]
from PIL import Image  # type: ignore[import]

from . import PackError, ico

RT_ICON, RT_GROUP_ICON, RT_VERSION = 3, 14, 16
RESOURCE_DIRECTORY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]
SECURITY_DIRECTORY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
GROUP_HEADER = struct.Struct("<HHH")
GROUP_ENTRY = struct.Struct("<BBBBHHIH")
SECTION_HEADER = struct.Struct("<8sIIIIIIHHI")
DIRECTORY_HEADER = struct.Struct("<IIHHHH")
DIRECTORY_ENTRY = struct.Struct("<II")
DATA_ENTRY = struct.Struct("<IIII")
SUBDIRECTORY = 0x80000000
DATA_ALIGNMENT = 8

VERSION_PART = re.compile(r"[0-9]+")
FIXED_INFO_SIGNATURE = 0xFEEF04BD
FIXED_INFO_LENGTH = 52


class VersionInfo(NamedTuple):
    product_name: str
    description: str
    version: str  # the application's, as it writes it: "2.1", "2.1.0"
    program: str  # the program's name without ".exe"
    company: str = ""
    copyright: str = ""


class Resource(NamedTuple):
    data: bytes
    code_page: int


# {type: {name: {language: resource}}}, all numbered
Tree = Dict[int, Dict[int, Dict[int, Resource]]]


def check_version(version: str) -> Tuple[int, int, int, int]:
    """The four numbers of the version block; a missing part is 0."""
    parts = version.split(".")
    if len(parts) > 4 or not all(VERSION_PART.fullmatch(part) for part in parts):
        raise PackError(
            f"version {version!r} does not fit the Windows version block: "
            "it takes one to four numbers separated by dots"
        )
    numbers = [int(part) for part in parts]
    if max(numbers) > 0xFFFF:
        raise PackError(
            f"version {version!r} does not fit the Windows version block: "
            "no part may exceed 65535"
        )
    major, minor, patch, build = numbers + [0] * (4 - len(numbers))
    return major, minor, patch, build


def with_identity(image: bytes, icon_png: Optional[bytes], identity: VersionInfo) -> bytes:
    """The image of quorvel.exe with the application's icon (None keeps the
    built one) and version block."""
    numbers = check_version(identity.version)
    strings = version_strings(identity, numbers)
    source = None if icon_png is None else ico.read_source(icon_png)
    pe = read_image(image)
    tree = read_tree(pe)
    if not tree.get(RT_VERSION):
        raise PackError("quorvel.exe has no version block")
    for languages in tree[RT_VERSION].values():
        for language, resource in languages.items():
            block = version_block(resource.data, numbers, strings)
            languages[language] = resource._replace(data=block)
    if source is not None:
        replace_icons(tree, source)
    return with_resources(pe, image, tree)


def built_version(image: bytes) -> str:
    """The product version of the version block's fixed part, four numbers:
    the launcher's own, kept where the application gives none."""
    fixed = getattr(read_image(image), "VS_FIXEDFILEINFO", [])
    if not fixed:
        raise PackError("quorvel.exe has no version block")
    high, low = fixed[0].ProductVersionMS, fixed[0].ProductVersionLS
    return "%d.%d.%d.%d" % (high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF)


def read_image(image: bytes) -> pefile.PE:
    try:
        pe = pefile.PE(data=image, fast_load=True)
        pe.parse_data_directories(directories=[RESOURCE_DIRECTORY])
    except pefile.PEFormatError as error:
        raise PackError(
            f"quorvel.exe is not a Windows program this tool can read ({error})"
        ) from None
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        raise PackError("quorvel.exe has no resources")
    return pe


def entry_key(entry: pefile.ResourceDirEntryData) -> int:
    if entry.name is not None:
        raise PackError(f"quorvel.exe has a resource named {entry.name}, not numbered")
    return int(entry.id)


def read_tree(pe: pefile.PE) -> Tree:
    tree: Tree = {}
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in kind.directory.entries:
            for language in name.directory.entries:
                entry = language.data.struct
                data = pe.get_data(entry.OffsetToData, entry.Size)
                names = tree.setdefault(entry_key(kind), {})
                names.setdefault(entry_key(name), {})[entry_key(language)] = Resource(
                    data, entry.CodePage
                )
    return tree


# ---- icons -------------------------------------------------------------------


def replace_icons(tree: Tree, source: Image.Image) -> None:
    """Every icon group keeps its sizes, order and image identifiers; each
    image is redrawn from the source in the form (PNG or bitmap) it had."""
    icons = tree.get(RT_ICON, {})
    groups = tree.get(RT_GROUP_ICON, {})
    if not groups:
        raise PackError("quorvel.exe has no icon group")
    for languages in groups.values():
        for language, group in languages.items():
            _, _, count = GROUP_HEADER.unpack_from(group.data)
            entries = bytearray(group.data[: GROUP_HEADER.size])
            for index in range(count):
                width, *_, ident = GROUP_ENTRY.unpack_from(
                    group.data, GROUP_HEADER.size + index * GROUP_ENTRY.size
                )
                if ident not in icons:
                    raise PackError(f"quorvel.exe's icon group names a missing image {ident}")
                image = redrawn(source, width or 256, icons[ident])
                entries += GROUP_ENTRY.pack(width, width, 0, 0, 1, 32, len(image), ident)
            languages[language] = group._replace(data=bytes(entries))


def redrawn(source: Image.Image, size: int, built: Dict[int, Resource]) -> bytes:
    """The image at one size, replacing the built one in every language it has."""
    image = ico.resized(source, size)
    first = next(iter(built.values()))
    if first.data.startswith(PNG_SIGNATURE):
        data = ico.png_bytes(image)
    else:
        data = ico.bitmap_bytes(image)
    for language, resource in built.items():
        built[language] = resource._replace(data=data)
    return data


# ---- the version block ----------------------------------------------------------
# A tree of nodes: length, value length (in characters for text), whether the
# value is text, a NUL-terminated UTF-16 key, then the value and the children,
# each starting on a 4-byte boundary.


class Node(NamedTuple):
    key: str
    text: bool
    value: bytes  # text includes its terminating NUL
    children: Tuple["Node", ...]


NODE_HEADER = struct.Struct("<HHH")


def align(value: int, alignment: int) -> int:
    return -(-value // alignment) * alignment


def read_node(block: bytes, start: int = 0) -> Tuple[Node, int]:
    """The node at start, and where it ends."""
    length, value_length, text = NODE_HEADER.unpack_from(block, start)
    if length < NODE_HEADER.size:
        raise ValueError(f"a node of {length} bytes")
    end = start + length
    key_end = start + NODE_HEADER.size
    while block[key_end : key_end + 2] != b"\0\0":
        key_end += 2
        if key_end >= end:
            raise ValueError("unterminated key")
    key = block[start + NODE_HEADER.size : key_end].decode("utf-16-le")
    value_start = align(key_end + 2, 4)
    value_end = value_start + value_length * (2 if text else 1)
    children = []
    position = align(value_end, 4)
    while position < end:
        child, child_end = read_node(block, position)
        children.append(child)
        position = align(child_end, 4)
    if value_end > end or position > align(end, 4):
        raise ValueError(f"node {key!r} runs past its end")
    return Node(key, bool(text), block[value_start:value_end], tuple(children)), end


def node_bytes(node: Node) -> bytes:
    out = bytearray(NODE_HEADER.size) + (node.key + "\0").encode("utf-16-le")
    out += bytes(align(len(out), 4) - len(out)) + node.value
    for child in node.children:
        out += bytes(align(len(out), 4) - len(out)) + node_bytes(child)
    if len(out) > 0xFFFF:
        raise PackError("the identity is too long for the Windows version block")
    value_length = len(node.value) // 2 if node.text else len(node.value)
    NODE_HEADER.pack_into(out, 0, len(out), value_length, int(node.text))
    return bytes(out)


def version_strings(identity: VersionInfo, numbers: Tuple[int, int, int, int]) -> Dict[str, str]:
    return {
        "CompanyName": identity.company,
        "FileDescription": identity.description,
        # The file version reads like the fixed part; the product version
        # is the application's own.
        "FileVersion": ".".join(str(number) for number in numbers),
        "InternalName": identity.program,
        "LegalCopyright": identity.copyright,
        "OriginalFilename": identity.program + ".exe",
        "ProductName": identity.product_name,
        "ProductVersion": identity.version,
    }


def version_block(
    block: bytes, numbers: Tuple[int, int, int, int], strings: Dict[str, str]
) -> bytes:
    """The block with the given file and product version and string values,
    its layout, keys and translations as they were."""
    try:
        root, _ = read_node(block)
    except (ValueError, struct.error) as error:
        raise PackError(f"quorvel.exe's version block is damaged ({error})") from None
    fixed = bytearray(root.value)
    if len(fixed) != FIXED_INFO_LENGTH or fixed[:4] != struct.pack("<I", FIXED_INFO_SIGNATURE):
        raise PackError("quorvel.exe's version block has no fixed part")
    major, minor, patch, build = numbers
    high, low = major << 16 | minor, patch << 16 | build
    struct.pack_into("<IIII", fixed, 8, high, low, high, low)
    unset = set(strings)
    children = []
    for child in root.children:
        if child.key == "StringFileInfo":
            child = child._replace(children=tuple(with_strings(t, strings) for t in child.children))
            unset -= {string.key for table in child.children for string in table.children}
        children.append(child)
    if unset:
        raise PackError(f"quorvel.exe's version block lacks {', '.join(sorted(unset))}")
    return node_bytes(root._replace(value=bytes(fixed), children=tuple(children)))


def with_strings(table: Node, strings: Dict[str, str]) -> Node:
    values: List[Node] = []
    for string in table.children:
        if string.key in strings:
            string = string._replace(value=(strings[string.key] + "\0").encode("utf-16-le"))
        values.append(string)
    return table._replace(children=tuple(values))


# ---- the resource section --------------------------------------------------------


def padded(data: bytes, alignment: int) -> bytes:
    return data + bytes(align(len(data), alignment) - len(data))


def tree_bytes(tree: Tree, address: int) -> bytes:
    """The resource section's contents at the given address: the
    directories breadth first, each with its entries in ascending order,
    then the data entries, then the data."""
    directories: List[Dict[int, Any]] = [tree]
    leaves: List[Resource] = []
    for directory in directories:  # grows while it is walked
        for ident in sorted(directory):
            child = directory[ident]
            if isinstance(child, dict):
                directories.append(child)
            else:
                leaves.append(child)

    # Where each part goes, from the start of the section.
    offsets: Dict[int, int] = {}
    offset = 0
    for directory in directories:
        offsets[id(directory)] = SUBDIRECTORY | offset
        offset += DIRECTORY_HEADER.size + DIRECTORY_ENTRY.size * len(directory)
    for leaf in leaves:
        offsets[id(leaf)] = offset
        offset += DATA_ENTRY.size
    data_start = align(offset, DATA_ALIGNMENT)

    out = bytearray()
    for directory in directories:
        out += DIRECTORY_HEADER.pack(0, 0, 0, 0, 0, len(directory))
        for ident in sorted(directory):
            out += DIRECTORY_ENTRY.pack(ident, offsets[id(directory[ident])])
    data = bytearray()
    for leaf in leaves:
        out += DATA_ENTRY.pack(address + data_start + len(data), len(leaf.data), leaf.code_page, 0)
        data += padded(leaf.data, DATA_ALIGNMENT)
    return bytes(padded(out, DATA_ALIGNMENT) + data)


def with_resources(pe: pefile.PE, image: bytes, tree: Tree) -> bytes:
    """The image with the tree as its resources, in the last section."""
    header = pe.OPTIONAL_HEADER
    directory = header.DATA_DIRECTORY[RESOURCE_DIRECTORY]
    section = pe.get_section_by_rva(directory.VirtualAddress)
    if section is None or section.VirtualAddress != directory.VirtualAddress:
        raise PackError("quorvel.exe's resources are not a section of their own")
    if header.DATA_DIRECTORY[SECURITY_DIRECTORY].Size:
        raise PackError("quorvel.exe is signed; a signature would not hold for the copy")
    out = bytearray(image)
    last = pe.sections[-1]
    if section is last and section.PointerToRawData + section.SizeOfRawData >= len(image):
        slot = section.get_file_offset()
        address = section.VirtualAddress
        raw = section.PointerToRawData
    else:
        slot = last.get_file_offset() + SECTION_HEADER.size
        if slot + SECTION_HEADER.size > header.SizeOfHeaders:
            raise PackError("quorvel.exe has no room for another section header")
        address = align(header.SizeOfImage, header.SectionAlignment)
        raw = align(len(image), header.FileAlignment)
        start = section.PointerToRawData
        out[start : start + section.SizeOfRawData] = bytes(section.SizeOfRawData)
        set_field(
            out, pe.FILE_HEADER, "NumberOfSections", pe.FILE_HEADER.NumberOfSections + 1, "<H"
        )

    contents = tree_bytes(tree, address)
    del out[raw:]
    out += bytes(raw - len(out)) + padded(contents, header.FileAlignment)
    out[slot : slot + SECTION_HEADER.size] = SECTION_HEADER.pack(
        section.Name,
        len(contents),
        address,
        align(len(contents), header.FileAlignment),
        raw,
        0,
        0,
        0,
        0,
        section.Characteristics,
    )
    set_field(out, header, "SizeOfImage", align(address + len(contents), header.SectionAlignment))
    set_field(out, directory, "VirtualAddress", address)
    set_field(out, directory, "Size", len(contents))
    set_field(out, header, "CheckSum", 0)
    set_field(
        out, header, "CheckSum", pefile.PE(data=bytes(out), fast_load=True).generate_checksum()
    )
    return bytes(out)


def set_field(
    out: bytearray, structure: pefile.Structure, field: str, value: int, form: str = "<I"
) -> None:
    """Writes one field of a header where pefile read it."""
    struct.pack_into(form, out, structure.get_field_absolute_offset(field), value)
