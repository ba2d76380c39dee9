"""The built quorvel.exe given an application's identity: read back with
pefile, compared with the built file, rewritten again, and run under the
emulator on the recording interpreter stand-in.

Environment: PYTHONPATH (the source tree and tests/windows),
QUORVEL_SOURCE_DIR, QUORVEL_PROGRAM (the built quorvel.exe),
QUORVEL_FAKE_PYTHON (the recording python38.dll), QUORVEL_EMULATOR (the
command that runs a Windows program, its words separated by |), QUORVEL_WORK
(a directory for the run).
"""

import io
import os
import random
import unittest
from typing import Dict, List, Tuple

import pefile
from PIL import Image

import check_pe
import run_launcher
from quorvel_pack import PackError, ico, pe_resources
from quorvel_pack.pe_resources import VersionInfo, check_version, with_identity

SOURCE_DIR = os.environ["QUORVEL_SOURCE_DIR"]

with open(os.environ["QUORVEL_PROGRAM"], "rb") as built_file:
    BUILT = built_file.read()
BUILT_PE = pefile.PE(data=BUILT)
BUILT_TABLE = check_pe.resources(BUILT_PE)
RESOURCE_DIRECTORY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]

COLOUR = (200, 30, 60, 255)
SAMPLE = VersionInfo(
    product_name="Sample",
    description="Sample, an application that tests its packing",
    version="2.1",
    program="Sample",
    company="Sample Makers",
    copyright="Copyright (C) 2026 Sample Makers",
)
# No company or rights notice; all four parts.
OTHER = VersionInfo("Ötherwise", "Another one", "10.20.30.40", "Other")


def png(image: Image.Image) -> bytes:
    out = io.BytesIO()
    image.save(out, format="PNG")
    return out.getvalue()


def half_icon(size: int = 512) -> bytes:
    """The left half opaque in COLOUR, the right half transparent."""
    image = Image.new("RGBA", (size, size), (0, 0, 0, 0))
    image.paste(COLOUR, (0, 0, size // 2, size))
    return png(image)


def noise_icon(seed: int) -> bytes:
    """Noise compresses badly: a much larger PNG than the built one."""
    generator = random.Random(seed)
    return png(Image.frombytes("RGBA", (300, 300), generator.randbytes(300 * 300 * 4)))


def bitmap_pixel(image: bytes, size: int, x: int, y: int) -> Tuple[Tuple[int, ...], bool]:
    """(r, g, b, a) of an icon bitmap at x, y from the top, and whether its
    mask bit (transparent) is set."""
    row = size - 1 - y
    blue, green, red, alpha = image[40 + 4 * (row * size + x) : 40 + 4 * (row * size + x) + 4]
    mask_start = 40 + 4 * size * size + row * ((size + 31) // 32 * 4)
    return (red, green, blue, alpha), bool(image[mask_start + x // 8] & (0x80 >> x % 8))


def resource_section(pe: pefile.PE) -> pefile.SectionStructure:
    return pe.get_section_by_rva(
        pe.OPTIONAL_HEADER.DATA_DIRECTORY[RESOURCE_DIRECTORY].VirtualAddress
    )


def header_fields(structure: pefile.Structure, changing: List[str]) -> Dict[str, int]:
    fields = structure.dump_dict()
    return {name: fields[name]["Value"] for name in fields if name not in changing + ["Structure"]}


def expected_strings(identity: VersionInfo, file_version: str) -> List[Tuple[str, str]]:
    return [
        ("Comments", ""),
        ("CompanyName", identity.company),
        ("FileDescription", identity.description),
        ("FileVersion", file_version),
        ("InternalName", identity.program),
        ("LegalCopyright", identity.copyright),
        ("LegalTrademarks", ""),
        ("OriginalFilename", identity.program + ".exe"),
        ("ProductName", identity.product_name),
        ("ProductVersion", identity.version),
    ]


class Refusals(unittest.TestCase):
    def assert_refused(self, call, *args) -> None:
        with self.assertRaises(PackError) as caught:
            call(*args)
        message = str(caught.exception)
        self.assertTrue(message)
        self.assertNotIn("\n", message)

    def test_versions_the_block_cannot_hold(self):
        for version in [
            "",
            "2.",
            ".2",
            "2..1",
            "1.2.3.4.5",
            "2.1rc1",
            "2.1.0.dev3",
            "v2",
            "2.1-1",
            "+1",
            " 2",
            "\u0662",  # a digit, but not an ASCII one
            "65536",
            "1.2.3.70000",
        ]:
            with self.subTest(version=version):
                self.assert_refused(check_version, version)
                self.assert_refused(with_identity, BUILT, None, SAMPLE._replace(version=version))

    def test_versions_the_block_holds(self):
        for version, numbers in [
            ("2", (2, 0, 0, 0)),
            ("2.1", (2, 1, 0, 0)),
            ("2.1.0", (2, 1, 0, 0)),
            ("1.2.3.4", (1, 2, 3, 4)),
            ("65535.0.0.65535", (65535, 0, 0, 65535)),
            ("007.010", (7, 10, 0, 0)),
        ]:
            with self.subTest(version=version):
                self.assertEqual(check_version(version), numbers)

    def test_icons_that_cannot_be_drawn(self):
        jpeg = io.BytesIO()
        Image.new("RGB", (512, 512)).save(jpeg, format="JPEG")
        for name, icon in [
            ("not an image", b"not an image"),
            ("truncated", half_icon()[:200]),
            ("JPEG", jpeg.getvalue()),
            ("not square", png(Image.new("RGBA", (512, 256)))),
            ("too small", png(Image.new("RGBA", (128, 128)))),
        ]:
            with self.subTest(name):
                self.assert_refused(with_identity, BUILT, icon, SAMPLE)


class RewrittenProgram(unittest.TestCase):
    """quorvel.exe with the icon and SAMPLE, against the built file."""

    image: bytes
    pe: pefile.PE
    table: dict

    @classmethod
    def setUpClass(cls):
        cls.image = with_identity(BUILT, half_icon(), SAMPLE)
        cls.pe = pefile.PE(data=cls.image)
        cls.table = check_pe.resources(cls.pe)

    def test_same_resource_types_names_and_languages(self):
        def shape(table: dict) -> dict:
            return {
                kind: {name: list(langs) for name, langs in names.items()}
                for kind, names in table.items()
            }

        self.assertEqual(shape(self.table), shape(BUILT_TABLE))

    def test_icon_group_shows_the_application_icon(self):
        images = check_pe.check_icon_group(self, self.table)
        for size, image in zip(check_pe.ICON_SIZES, images):
            with self.subTest(size=size):
                if size == 256:
                    drawn = Image.open(io.BytesIO(image))
                    self.assertEqual(drawn.getpixel((0, 128)), COLOUR)
                    self.assertEqual(drawn.getpixel((255, 128))[3], 0)
                else:
                    self.assertEqual(bitmap_pixel(image, size, 0, size // 2), (COLOUR, False))
                    pixel, masked = bitmap_pixel(image, size, size - 1, size // 2)
                    self.assertEqual((pixel[3], masked), (0, True))

    def test_bitmaps_are_laid_out_like_the_launchers_own(self):
        # The launcher's icon bitmaps were made from the committed PNGs of
        # its artwork; drawing those again must give the same bytes.
        images = check_pe.check_icon_group(self, BUILT_TABLE)
        for size, image in zip(check_pe.ICON_SIZES, images):
            if size == 256:
                continue
            with self.subTest(size=size):
                path = os.path.join(SOURCE_DIR, "launcher", "resources", "icons")
                source = Image.open(os.path.join(path, f"quorvel-{size}.png")).convert("RGBA")
                self.assertEqual(ico.bitmap_bytes(source), image)

    def test_manifest_bytes_and_language_unchanged(self):
        self.assertEqual(self.table[check_pe.RT_MANIFEST], BUILT_TABLE[check_pe.RT_MANIFEST])

    def test_image_properties_unchanged(self):
        for structure, changing in [
            ("FILE_HEADER", ["NumberOfSections"]),
            ("OPTIONAL_HEADER", ["SizeOfImage", "CheckSum"]),
            ("DOS_HEADER", []),
        ]:
            with self.subTest(structure):
                self.assertEqual(
                    header_fields(getattr(self.pe, structure), changing),
                    header_fields(getattr(BUILT_PE, structure), changing),
                )
        for index, built in enumerate(BUILT_PE.OPTIONAL_HEADER.DATA_DIRECTORY):
            if index != RESOURCE_DIRECTORY:
                with self.subTest(directory=built.name):
                    directory = self.pe.OPTIONAL_HEADER.DATA_DIRECTORY[index]
                    self.assertEqual(
                        (directory.VirtualAddress, directory.Size),
                        (built.VirtualAddress, built.Size),
                    )

    def test_imports_and_base_relocations_unchanged(self):
        self.assertEqual(check_pe.imports_by_dll(self.pe), check_pe.imports_by_dll(BUILT_PE))

        def relocations(pe: pefile.PE) -> list:
            return [
                (block.struct.VirtualAddress, [(entry.rva, entry.type) for entry in block.entries])
                for block in pe.DIRECTORY_ENTRY_BASERELOC
            ]

        self.assertTrue(relocations(BUILT_PE))
        self.assertEqual(relocations(self.pe), relocations(BUILT_PE))

    def test_only_the_headers_and_the_old_resources_change_in_the_built_bytes(self):
        old = resource_section(BUILT_PE)
        start, end = old.PointerToRawData, old.PointerToRawData + old.SizeOfRawData
        headers = BUILT_PE.OPTIONAL_HEADER.SizeOfHeaders
        self.assertEqual(self.image[headers:start], BUILT[headers:start])
        self.assertEqual(self.image[end : len(BUILT)], BUILT[end:])
        # The old resources are gone, the launcher's own texts with them.
        self.assertEqual(self.image[start:end], bytes(end - start))
        launcher_text = "a desktop application for data analysis".encode("utf-16-le")
        self.assertIn(launcher_text, BUILT)
        self.assertNotIn(launcher_text, self.image)

    def test_sections_keep_their_headers_and_the_resources_come_last(self):
        def headers(pe: pefile.PE) -> list:
            return [
                (s.Name, s.VirtualAddress, s.Misc_VirtualSize, s.PointerToRawData, s.SizeOfRawData)
                for s in pe.sections
            ]

        self.assertEqual(headers(self.pe)[:-1], headers(BUILT_PE))
        last = self.pe.sections[-1]
        self.assertIs(resource_section(self.pe), last)
        header = self.pe.OPTIONAL_HEADER
        directory = header.DATA_DIRECTORY[RESOURCE_DIRECTORY]
        built = resource_section(BUILT_PE)
        self.assertEqual((last.Name, last.Characteristics), (built.Name, built.Characteristics))
        self.assertEqual(
            (directory.VirtualAddress, directory.Size), (last.VirtualAddress, last.Misc_VirtualSize)
        )
        self.assertEqual(last.VirtualAddress, BUILT_PE.OPTIONAL_HEADER.SizeOfImage)
        self.assertEqual(last.SizeOfRawData % header.FileAlignment, 0)
        self.assertEqual(last.PointerToRawData + last.SizeOfRawData, len(self.image))
        self.assertEqual(
            header.SizeOfImage,
            -(-(last.VirtualAddress + last.Misc_VirtualSize) // header.SectionAlignment)
            * header.SectionAlignment,
        )

    def test_checksum_is_valid(self):
        self.assertNotEqual(self.pe.OPTIONAL_HEADER.CheckSum, BUILT_PE.OPTIONAL_HEADER.CheckSum)
        self.assertTrue(self.pe.verify_checksum())


class VersionBlock(unittest.TestCase):
    def test_fixed_part_strings_and_translation(self):
        for identity, icon, file_version in [
            (SAMPLE, half_icon(), "2.1.0.0"),
            (OTHER, None, "10.20.30.40"),
        ]:
            with self.subTest(identity.product_name):
                pe = pefile.PE(data=with_identity(BUILT, icon, identity))
                check_pe.check_fixed_version(self, pe, identity.version)
                self.assertEqual(
                    check_pe.string_tables(pe),
                    [(check_pe.STRING_TABLE_KEY, expected_strings(identity, file_version))],
                )
                check_pe.check_translation(self, pe)

    def test_layout_reads_and_writes_back_to_the_same_bytes(self):
        block = BUILT_TABLE[check_pe.RT_VERSION][1][check_pe.LANG_NEUTRAL]
        node, end = pe_resources.read_node(block)
        self.assertEqual(end, len(block))
        self.assertEqual(pe_resources.node_bytes(node), block)

    def test_without_an_icon_the_built_icon_stays(self):
        table = check_pe.resources(pefile.PE(data=with_identity(BUILT, None, OTHER)))
        for kind in (check_pe.RT_ICON, check_pe.RT_GROUP_ICON, check_pe.RT_MANIFEST):
            with self.subTest(kind=kind):
                self.assertEqual(table[kind], BUILT_TABLE[kind])


class RewritingAgain(unittest.TestCase):
    def test_rewriting_twice_gives_the_bytes_of_rewriting_once(self):
        large, small = (noise_icon(1), SAMPLE), (half_icon(), OTHER)
        for first, second in [(large, small), (small, large), (small, small)]:
            with self.subTest(first=first[1].product_name, second=second[1].product_name):
                once = with_identity(BUILT, *second)
                twice = with_identity(with_identity(BUILT, *first), *second)
                self.assertEqual(len(twice), len(once))
                self.assertEqual(twice, once)


class RenamedProgramRuns(unittest.TestCase):
    def test_reaches_the_interpreter_and_exits_0(self):
        work = os.environ["QUORVEL_WORK"]
        os.makedirs(work, exist_ok=True)
        program = os.path.join(work, "Sample.exe")
        with open(program, "wb") as out:
            out.write(with_identity(BUILT, half_icon(), SAMPLE))
        case = run_launcher.Case("identity", None, 0, run_launcher.RETURNED, program="Sample.exe")
        emulator = os.environ["QUORVEL_EMULATOR"].split("|")
        fake_python = os.environ["QUORVEL_FAKE_PYTHON"]
        self.assertEqual(*run_launcher.run_case(case, program, fake_python, work, emulator))


if __name__ == "__main__":
    unittest.main()
