#!/usr/bin/env python3
"""Checks a built Windows deliverable at the file level.

  check_pe.py library linesearch.dll --exports linesearch.exports
  check_pe.py library blaswrap.dll --exports blaswrap.exports \\
      --imports libblas.dll=blas.routines --imports libcblas.dll=cblas.routines ...
  check_pe.py program quorvel.exe --imports python38.dll=python38.imports \\
      --version X.Y.Z --manifest quorvel.manifest

Every file: PE32+ for x86-64. A library: exactly the exports of its list, and
from each outside DLL exactly the routines of that DLL's list, nothing from
any other DLL but the system's. The program: the image properties of a
windowed program, its system imports, exactly the listed entry points from
each listed DLL, the icon group, the version block of the given version and
the manifest. The lists name one entry a line (a qualifier such as DATA may
follow the name; lines beginning with # are comments).

Runs as a unittest suite and exits with 1 if any check fails.
"""

import argparse
import struct
import sys
import unittest
import xml.etree.ElementTree as ElementTree
from typing import Dict, List, Optional, Tuple

import pefile

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
LANG_NEUTRAL, LANG_EN_US = 0, 1033

# File header characteristics.
RELOCS_STRIPPED, EXECUTABLE_IMAGE, LARGE_ADDRESS_AWARE, DLL = 0x0001, 0x0002, 0x0020, 0x2000
# Optional header DllCharacteristics of the program: high-entropy VA, dynamic
# base, NX compatible, terminal-server aware, and nothing else (no CFG).
PROGRAM_DLL_CHARACTERISTICS = 0x0020 | 0x0040 | 0x0100 | 0x8000

LIBRARY_SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll"}

# The system entry points quorvel.exe needs, by DLL. The program runs on the
# Universal CRT (reached through its api-ms-win-crt-* contract DLLs), like
# python38.dll; the runtime's own start-up adds more from it and kernel32.
UCRT_PREFIX = "api-ms-win-crt-"
PROGRAM_SYSTEM_IMPORTS = {
    "kernel32.dll": ["GetModuleFileNameW", "SetDllDirectoryW"],
    "shlwapi.dll": ["PathRemoveFileSpecW", "PathCombineW"],
    "user32.dll": ["MessageBoxA", "MessageBoxW"],
    UCRT_PREFIX + "runtime-l1-1-0.dll": ["__p___argc", "__p___wargv", "exit"],
}

ICON_SIZES = [256, 128, 96, 64, 48, 32, 16]
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"

VERSION_KEYS = [
    "Comments",
    "CompanyName",
    "FileDescription",
    "FileVersion",
    "InternalName",
    "LegalCopyright",
    "LegalTrademarks",
    "OriginalFilename",
    "ProductName",
    "ProductVersion",
]
STRING_TABLE_KEY = "040904E4"
TRANSLATION = struct.pack("<HH", 0x0409, 1252)

MANIFEST_LENGTH = 381
MANIFEST_DECLARATION = b'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>'
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
# (tag, attributes, children): the whole element tree, nesting included.
MANIFEST_TREE = (
    ASM_V1 + "assembly",
    {"manifestVersion": "1.0"},
    [
        (
            ASM_V3 + "trustInfo",
            {},
            [
                (
                    ASM_V3 + "security",
                    {},
                    [
                        (
                            ASM_V3 + "requestedPrivileges",
                            {},
                            [
                                (
                                    ASM_V3 + "requestedExecutionLevel",
                                    {"level": "asInvoker", "uiAccess": "false"},
                                    [],
                                ),
                            ],
                        ),
                    ],
                ),
            ],
        ),
    ],
)


def read_names(path: str) -> List[str]:
    """The names of a list file: the first word of each line that is not a comment."""
    with open(path, encoding="ascii") as listing:
        return [line.split()[0] for line in listing if line.strip() and not line.startswith("#")]


def four_part_version(version: str) -> Tuple[int, int, int, int]:
    parts = [int(part) for part in version.split(".")]
    if not 1 <= len(parts) <= 4:
        raise ValueError(f"version {version!r} has more than four parts")
    return tuple(parts + [0] * (4 - len(parts)))


def imports_by_dll(pe: pefile.PE) -> Dict[str, List[str]]:
    table: Dict[str, List[str]] = {}
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        names = [i.name.decode() if i.name else f"#{i.ordinal}" for i in entry.imports]
        table.setdefault(entry.dll.decode().lower(), []).extend(names)
    return table


def export_names(pe: pefile.PE) -> List[str]:
    directory = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
    if directory is None:
        return []
    return [s.name.decode() if s.name else f"#{s.ordinal}" for s in directory.symbols]


def resources(pe: pefile.PE) -> dict:
    """{type id: {name id: {language: bytes}}}."""
    table: dict = {}
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for kind in root.entries if root else []:
        for name in kind.directory.entries:
            for lang in name.directory.entries:
                data = pe.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size)
                kind_key = kind.id if kind.name is None else str(kind.name)
                name_key = name.id if name.name is None else str(name.name)
                table.setdefault(kind_key, {}).setdefault(name_key, {})[lang.id] = data
    return table


def element_tree(element: ElementTree.Element) -> tuple:
    return (element.tag, dict(element.attrib), [element_tree(child) for child in element])


def bitmap_size(size: int) -> int:
    return 40 + 4 * size * size + size * ((size + 31) // 32 * 32) // 8


def check_icon_group(test: unittest.TestCase, table: dict) -> List[bytes]:
    """Checks the icon group and its images; returns the images, largest first."""
    images = []
    group = table.get(RT_GROUP_ICON, {}).get(1, {}).get(LANG_NEUTRAL)
    test.assertIsNotNone(group)
    test.assertEqual(len(group), 6 + 14 * len(ICON_SIZES))
    test.assertEqual(struct.unpack_from("<HHH", group), (0, 1, len(ICON_SIZES)))
    for index, size in enumerate(ICON_SIZES):
        ident = index + 1
        with test.subTest(size=size):
            entry = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * index)
            width, height, colours, reserved, planes, bits, length, image_id = entry
            dim = 0 if size == 256 else size
            test.assertEqual(
                (width, height, colours, reserved, planes, bits, image_id),
                (dim, dim, 0, 0, 1, 32, ident),
            )
            image = table.get(RT_ICON, {}).get(ident, {}).get(LANG_NEUTRAL)
            test.assertIsNotNone(image)
            test.assertEqual(length, len(image))
            images.append(image)
            if size == 256:
                test.assertEqual(image[:8], PNG_SIGNATURE)
                test.assertEqual(
                    struct.unpack_from(">4sIIBB", image, 12), (b"IHDR", 256, 256, 8, 6)
                )
            else:
                test.assertEqual(len(image), bitmap_size(size))
                test.assertEqual(
                    struct.unpack_from("<IiiHHII", image),
                    (40, size, 2 * size, 1, 32, 0, size * size * 4),
                )
    return images


def check_fixed_version(test: unittest.TestCase, pe: pefile.PE, version: str) -> None:
    """The fixed part of the version block: the version, an application, no flags."""
    major, minor, patch, build = four_part_version(version)
    infos = getattr(pe, "VS_FIXEDFILEINFO", None)
    test.assertTrue(infos, "no fixed version information")
    expected = {
        "Signature": 0xFEEF04BD,
        "StrucVersion": 0x00010000,
        "FileVersionMS": major << 16 | minor,
        "FileVersionLS": patch << 16 | build,
        "ProductVersionMS": major << 16 | minor,
        "ProductVersionLS": patch << 16 | build,
        "FileFlagsMask": 0x3F,
        "FileFlags": 0,
        "FileOS": 0x00040004,
        "FileType": 1,
        "FileSubtype": 0,
        "FileDateMS": 0,
        "FileDateLS": 0,
    }
    for field, value in expected.items():
        with test.subTest(field=field):
            test.assertEqual(getattr(infos[0], field), value)


def string_tables(pe: pefile.PE) -> List[Tuple[str, List[Tuple[str, str]]]]:
    """(key, [(name, value)...]) of each string table of the version block, in order."""
    return [
        (table.LangID.decode(), [(k.decode(), v.decode()) for k, v in table.entries.items()])
        for info in pe.FileInfo[0]
        for table in getattr(info, "StringTable", [])
    ]


def check_translation(test: unittest.TestCase, pe: pefile.PE) -> None:
    """The version block's variable part holds exactly one translation pair."""
    variables = [var for info in pe.FileInfo[0] for var in getattr(info, "Var", [])]
    test.assertEqual([list(var.entry) for var in variables], [[b"Translation"]])
    # The header, the key "Translation" with its terminator in UTF-16 and
    # padding to a 4-byte boundary; then the value, one pair per 4 bytes.
    start = variables[0].get_file_offset()
    key_end = start + variables[0].sizeof() + len("Translation\0") * 2
    value_start = key_end + (-(key_end - start) % 4)
    test.assertEqual(variables[0].ValueLength, len(TRANSLATION))
    test.assertEqual(variables[0].Length, value_start - start + len(TRANSLATION))
    test.assertEqual(pe.__data__[value_start : value_start + len(TRANSLATION)], TRANSLATION)


class Deliverable(unittest.TestCase):
    """Base of the checks: the file and the options, set once by main()."""

    options: argparse.Namespace
    pe: pefile.PE

    def listed_imports(self) -> Dict[str, List[str]]:
        return {dll: read_names(path) for dll, path in self.options.imports}


class ImageFormat(Deliverable):
    def test_pe32_plus_for_x86_64(self):
        self.assertEqual(self.pe.OPTIONAL_HEADER.Magic, 0x20B)
        self.assertEqual(self.pe.FILE_HEADER.Machine, 0x8664)

    def test_dll_flag_matches_the_kind(self):
        is_dll = bool(self.pe.FILE_HEADER.Characteristics & DLL)
        self.assertEqual(is_dll, self.options.kind == "library")


class LibraryTables(Deliverable):
    def test_exports_exactly_the_list(self):
        self.assertEqual(sorted(export_names(self.pe)), sorted(read_names(self.options.exports)))

    def test_imports_only_from_the_system_and_the_listed_dlls(self):
        allowed = LIBRARY_SYSTEM_DLLS | {dll for dll, _ in self.options.imports}
        self.assertEqual(sorted(set(imports_by_dll(self.pe)) - allowed), [])

    def test_takes_exactly_the_listed_routines_from_each_outside_dll(self):
        imports = imports_by_dll(self.pe)
        for dll, routines in self.listed_imports().items():
            with self.subTest(dll=dll):
                self.assertEqual(sorted(imports.get(dll, [])), sorted(routines))


class ProgramImage(Deliverable):
    def test_windowed_subsystem_6_0(self):
        header = self.pe.OPTIONAL_HEADER
        self.assertEqual(header.Subsystem, 2)
        self.assertEqual((header.MajorSubsystemVersion, header.MinorSubsystemVersion), (6, 0))
        self.assertEqual(
            (header.MajorOperatingSystemVersion, header.MinorOperatingSystemVersion), (6, 0)
        )

    def test_image_flags_exactly(self):
        flags = self.pe.OPTIONAL_HEADER.DllCharacteristics
        self.assertEqual(hex(flags), hex(PROGRAM_DLL_CHARACTERISTICS))

    def test_file_header_flags(self):
        flags = self.pe.FILE_HEADER.Characteristics
        for bit, present in [
            (EXECUTABLE_IMAGE, True),
            (LARGE_ADDRESS_AWARE, True),
            (RELOCS_STRIPPED, False),
            (DLL, False),
        ]:
            with self.subTest(bit=hex(bit)):
                self.assertEqual(bool(flags & bit), present, hex(flags))

    def test_relocatable_with_base_relocations(self):
        directory = self.pe.OPTIONAL_HEADER.DATA_DIRECTORY[
            pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]
        ]
        self.assertGreater(directory.Size, 0, "no base relocation directory")
        self.assertTrue(
            getattr(self.pe, "DIRECTORY_ENTRY_BASERELOC", None), "empty base relocation directory"
        )

    def test_stack_reserve_and_commit(self):
        header = self.pe.OPTIONAL_HEADER
        self.assertEqual((header.SizeOfStackReserve, header.SizeOfStackCommit), (1 << 20, 4096))


class ProgramImports(Deliverable):
    def test_imports_only_the_system_the_universal_crt_and_the_listed_dlls(self):
        allowed = set(PROGRAM_SYSTEM_IMPORTS) | {dll for dll, _ in self.options.imports}
        unexpected = [
            dll
            for dll in imports_by_dll(self.pe)
            if dll not in allowed and not dll.startswith(UCRT_PREFIX)
        ]
        self.assertEqual(unexpected, [])

    def test_takes_the_system_routines_it_calls(self):
        imports = imports_by_dll(self.pe)
        for dll, routines in PROGRAM_SYSTEM_IMPORTS.items():
            with self.subTest(dll=dll):
                self.assertEqual(sorted(set(routines) - set(imports.get(dll, []))), [])

    def test_takes_exactly_the_listed_entry_points_from_each_listed_dll(self):
        imports = imports_by_dll(self.pe)
        for dll, names in self.listed_imports().items():
            with self.subTest(dll=dll):
                self.assertEqual(sorted(imports.get(dll, [])), sorted(names))


class ProgramResources(Deliverable):
    table: dict

    @classmethod
    def setUpClass(cls):
        cls.table = resources(cls.pe)

    def resource(self, kind: int, name: int, language: int) -> Optional[bytes]:
        return self.table.get(kind, {}).get(name, {}).get(language)

    def test_resource_types_and_languages(self):
        self.assertEqual(sorted(self.table), [RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST])
        expected = {
            RT_ICON: {ident: [LANG_NEUTRAL] for ident in range(1, 8)},
            RT_GROUP_ICON: {1: [LANG_NEUTRAL]},
            RT_VERSION: {1: [LANG_NEUTRAL]},
            RT_MANIFEST: {1: [LANG_EN_US]},
        }
        for kind, names in expected.items():
            with self.subTest(kind=kind):
                actual = {name: list(langs) for name, langs in self.table.get(kind, {}).items()}
                self.assertEqual(actual, names)

    def test_icon_group_lists_the_seven_images_largest_first(self):
        check_icon_group(self, self.table)

    def test_version_block_fixed_part(self):
        check_fixed_version(self, self.pe, self.options.version)

    def test_string_table_keys_and_values(self):
        tables = string_tables(self.pe)
        self.assertEqual([key for key, _ in tables], [STRING_TABLE_KEY])
        entries = tables[0][1]
        self.assertEqual([key for key, _ in entries], VERSION_KEYS)
        version = ".".join(str(part) for part in four_part_version(self.options.version))
        values = dict(entries)
        expected = {
            "Comments": "",
            "CompanyName": "",
            "FileVersion": version,
            "InternalName": "quorvel.exe",
            "LegalTrademarks": "",
            "OriginalFilename": "quorvel.exe",
            "ProductName": "quorvel",
            "ProductVersion": version,
        }
        for key, value in expected.items():
            with self.subTest(key=key):
                self.assertEqual(values[key], value)
        for key in ("FileDescription", "LegalCopyright"):
            with self.subTest(key=key):
                self.assertTrue(values[key], "empty")

    def test_exactly_one_translation_pair(self):
        check_translation(self, self.pe)

    def manifest(self) -> bytes:
        data = self.resource(RT_MANIFEST, 1, LANG_EN_US)
        self.assertIsNotNone(data, "no manifest")
        return data

    def test_manifest_is_the_source_file(self):
        data = self.manifest()
        with open(self.options.manifest, "rb") as source:
            self.assertEqual(data, source.read())
        self.assertEqual(len(data), MANIFEST_LENGTH)

    def test_manifest_line_ends_are_crlf(self):
        data = self.manifest()
        self.assertTrue(data.endswith(b"\r\n"))
        for lone, rest in [
            (b"\n", data.replace(b"\r\n", b"")),
            (b"\r", data.replace(b"\r\n", b"")),
        ]:
            with self.subTest(lone=lone):
                self.assertNotIn(lone, rest)

    def test_manifest_declaration_and_tree(self):
        data = self.manifest()
        self.assertTrue(data.startswith(MANIFEST_DECLARATION), data[:60])
        self.assertEqual(element_tree(ElementTree.fromstring(data)), MANIFEST_TREE)


def parse_options(argv: List[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("kind", choices=["library", "program"])
    parser.add_argument("file")
    parser.add_argument("--exports", help="list of the library's exports")
    parser.add_argument(
        "--imports",
        action="append",
        default=[],
        metavar="DLL=LIST",
        help="list of what the file takes from DLL (repeatable)",
    )
    parser.add_argument("--version", help="the program's version, up to four parts")
    parser.add_argument("--manifest", help="the manifest source that the program must embed")
    options = parser.parse_args(argv)
    pairs = []
    for item in options.imports:
        dll, sep, path = item.partition("=")
        if not sep or not dll or not path:
            parser.error(f"--imports takes DLL=LIST, not {item!r}")
        pairs.append((dll.lower(), path))
    options.imports = pairs
    if options.kind == "library" and not options.exports:
        parser.error("a library needs --exports")
    if options.kind == "program" and not (options.version and options.manifest):
        parser.error("the program needs --version and --manifest")
    return options


def main(argv: List[str]) -> int:
    options = parse_options(argv)
    Deliverable.options = options
    Deliverable.pe = pefile.PE(options.file)
    cases = [ImageFormat]
    if options.kind == "library":
        cases.append(LibraryTables)
    else:
        cases += [ProgramImage, ProgramImports, ProgramResources]
    loader = unittest.TestLoader()
    suite = unittest.TestSuite(loader.loadTestsFromTestCase(case) for case in cases)
    print(f"checking {options.file}", file=sys.stderr)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
