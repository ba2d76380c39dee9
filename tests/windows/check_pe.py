#!/usr/bin/env python3
"""Checks a built Windows deliverable at the file level.

  check_pe.py quorvel    quorvel.exe --manifest quorvel.manifest
  check_pe.py linesearch linesearch.dll
  check_pe.py blaswrap   blaswrap.dll
  check_pe.py cblassub   cblassub.dll

Every file: PE32+ for x86-64, and exactly the DLLs it may import. Libraries:
exactly their exports, and from each outside numerical library exactly the
routines they use. quorvel.exe: the image properties of a windowed program,
its system imports, the icon group, the version block and the manifest.
Prints every failure found and exits with 1 if there was any.
"""

import argparse
import re
import struct
import sys
import xml.etree.ElementTree as ElementTree

import pefile

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
LANG_NEUTRAL, LANG_EN_US = 0, 1033

SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll"}

BRIDGES = ["acc_cdotc_sub_", "acc_cdotu_sub_", "acc_zdotc_sub_", "acc_zdotu_sub_"]
CBLAS = ["cblas_cdotc_sub", "cblas_cdotu_sub", "cblas_zdotc_sub", "cblas_zdotu_sub"]
BLAS = ["sdot_", "ddot_", "snrm2_", "dnrm2_", "scnrm2_", "dznrm2_", "sasum_", "dasum_",
        "scasum_", "dzasum_"]
SUBROUTINE_WRAPPERS = ["f2pywrap" + name for name in [
    "sdot_", "ddot_", "cdotu_", "zdotu_", "cdotc_", "zdotc_", "snrm2_", "scnrm2_", "dnrm2_",
    "dznrm2_", "sasum_", "scasum_", "dasum_", "dzasum_"]]

# What each library exports, and what it takes by name from which outside DLL.
LIBRARIES = {
    "linesearch": {"exports": ["dcsrch_", "dcstep_"], "outside": {}},
    "cblassub": {"exports": BRIDGES, "outside": {"libcblas.dll": CBLAS}},
    "blaswrap": {
        "exports": BRIDGES + ["wcdotc_", "wcdotu_", "wzdotc_", "wzdotu_", "wcladiv_", "wzladiv_"]
        + SUBROUTINE_WRAPPERS,
        "outside": {"libblas.dll": BLAS, "libcblas.dll": CBLAS,
                    "liblapack.dll": ["sladiv_", "dladiv_"]},
    },
}

# The entry points quorvel.exe needs, by DLL. The program runs on the
# Universal CRT (reached through its api-ms-win-crt-* contract DLLs), like
# python38.dll; the runtime's own start-up adds more from it and kernel32.
UCRT_RUNTIME = "api-ms-win-crt-runtime-l1-1-0.dll"
PROGRAM_IMPORTS = {
    "kernel32.dll": ["GetModuleFileNameW", "SetDllDirectoryW"],
    "shlwapi.dll": ["PathRemoveFileSpecW", "PathCombineW"],
    "user32.dll": ["MessageBoxA", "MessageBoxW"],
    UCRT_RUNTIME: ["__p___argc", "__p___wargv", "exit"],
    "python38.dll": [
        "Py_NoSiteFlag", "Py_FrozenFlag", "Py_IgnoreEnvironmentFlag", "Py_SetProgramName",
        "Py_SetPath", "Py_DecodeLocale", "PyMem_RawMalloc", "PyMem_RawFree", "PyOS_snprintf",
        "Py_Initialize", "PySys_SetArgvEx", "PyList_Insert", "PyUnicode_FromWideChar",
        "Py_Finalize", "Py_FinalizeEx", "Py_Exit", "PyImport_ImportModule",
        "PyObject_GetAttrString", "PyObject_CallObject", "PySys_GetObject",
        "PyErr_ExceptionMatches", "PyExc_SystemExit", "PyErr_Fetch", "PyErr_NormalizeException",
        "PyErr_Clear", "PyTuple_New", "PyUnicode_FromString", "PyUnicode_Join",
        "PyUnicode_Format", "PyUnicode_AsWideCharString", "PyObject_Str", "PyLong_AsLong",
        "PyMem_Free", "_Py_NoneStruct"],
}

ICON_SIZES = [256, 128, 96, 64, 48, 32, 16]

VERSION_FIXED = {
    "Signature": 0xFEEF04BD, "StrucVersion": 0x00010000,
    "FileVersionMS": 0x00030007, "FileVersionLS": 0, "ProductVersionMS": 0x00030007,
    "ProductVersionLS": 0, "FileFlagsMask": 0x3F, "FileFlags": 0, "FileOS": 0x00040004,
    "FileType": 1, "FileSubtype": 0, "FileDateMS": 0, "FileDateLS": 0,
}
VERSION_KEYS = ["Comments", "CompanyName", "FileDescription", "FileVersion", "InternalName",
                "LegalCopyright", "LegalTrademarks", "OriginalFilename", "ProductName",
                "ProductVersion"]
VERSION_VALUES = {"Comments": "", "CompanyName": "", "FileVersion": "3.7.0.0",
                  "InternalName": "quorvel.exe", "LegalTrademarks": "",
                  "OriginalFilename": "quorvel.exe", "ProductName": "quorvel",
                  "ProductVersion": "3.7.0.0"}

MANIFEST_ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
MANIFEST_ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"


class Report:
    def __init__(self):
        self.failures = []

    def expect(self, condition, message):
        if not condition:
            self.failures.append(message)
        return condition

    def equal(self, what, actual, expected):
        return self.expect(actual == expected, f"{what}: {actual!r}, expected {expected!r}")


def imports_by_dll(pe):
    table = {}
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        names = [i.name.decode() if i.name else f"#{i.ordinal}" for i in entry.imports]
        table.setdefault(entry.dll.decode().lower(), []).extend(names)
    return table


def export_names(pe):
    directory = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
    if directory is None:
        return []
    return [s.name.decode() if s.name else f"#{s.ordinal}" for s in directory.symbols]


def check_image_format(report, pe, is_dll):
    report.equal("optional header magic (PE32+)", pe.OPTIONAL_HEADER.Magic, 0x20B)
    report.equal("machine (x86-64)", pe.FILE_HEADER.Machine, 0x8664)
    dll_flag = bool(pe.FILE_HEADER.Characteristics & 0x2000)
    report.equal("DLL flag", dll_flag, is_dll)


def check_library(report, pe, name):
    spec = LIBRARIES[name]
    exports = export_names(pe)
    report.equal("export list", sorted(exports), sorted(spec["exports"]))
    imports = imports_by_dll(pe)
    allowed = SYSTEM_DLLS | set(spec["outside"])
    report.equal("imported DLLs", sorted(set(imports) - allowed), [])
    for dll, routines in spec["outside"].items():
        report.equal(f"routines imported from {dll}", sorted(imports.get(dll, [])), sorted(routines))


def check_program_image(report, pe):
    header = pe.OPTIONAL_HEADER
    report.equal("subsystem (Windows GUI)", header.Subsystem, 2)
    report.equal("subsystem version", (header.MajorSubsystemVersion, header.MinorSubsystemVersion),
                 (6, 0))
    report.equal("operating-system version",
                 (header.MajorOperatingSystemVersion, header.MinorOperatingSystemVersion), (6, 0))
    flags = header.DllCharacteristics
    for bit, what in [(0x0020, "high-entropy VA"), (0x0040, "dynamic base"),
                      (0x0100, "NX compatible"), (0x8000, "terminal-server aware")]:
        report.expect(flags & bit, f"DllCharacteristics 0x{flags:04X} lacks {what}")
    report.expect(not flags & 0x4000, f"DllCharacteristics 0x{flags:04X} has the CFG flag")
    report.expect(pe.FILE_HEADER.Characteristics & 0x0020,
                  "file header lacks large-address-aware")
    report.equal("stack reserve", header.SizeOfStackReserve, 1 << 20)
    report.equal("stack commit", header.SizeOfStackCommit, 4096)


def check_program_imports(report, pe):
    imports = imports_by_dll(pe)
    unexpected = [dll for dll in imports
                  if dll not in PROGRAM_IMPORTS and not dll.startswith("api-ms-win-crt-")]
    report.equal("imported DLLs beyond the system, the Universal CRT and Python", unexpected, [])
    for dll, routines in PROGRAM_IMPORTS.items():
        missing = sorted(set(routines) - set(imports.get(dll, [])))
        report.equal(f"routines missing from the imports of {dll}", missing, [])


def resources(pe):
    """{type id: {name id: {language: bytes}}}, integer identifiers only."""
    table = {}
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for kind in root.entries if root else []:
        for name in kind.directory.entries:
            for lang in name.directory.entries:
                data = pe.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size)
                table.setdefault(kind.id if kind.name is None else str(kind.name), {}).setdefault(
                    name.id if name.name is None else str(name.name), {})[lang.id] = data
    return table


def bitmap_size(size):
    return 40 + 4 * size * size + size * ((size + 31) // 32 * 32) // 8


def check_icons(report, table):
    report.equal("icon groups", list(table.get(RT_GROUP_ICON, {})), [1])
    group = table.get(RT_GROUP_ICON, {}).get(1, {})
    if not report.equal("icon group languages", list(group), [LANG_NEUTRAL]):
        return
    data = group[LANG_NEUTRAL]
    if not report.equal("icon group length", len(data), 6 + 14 * 7):
        return
    report.equal("icon group header", struct.unpack_from("<HHH", data), (0, 1, 7))
    images = table.get(RT_ICON, {})
    report.equal("icon image identifiers", sorted(images), list(range(1, 8)))
    for index, size in enumerate(ICON_SIZES):
        ident = index + 1
        width, height, colours, reserved, planes, bits, length, image_id = struct.unpack_from(
            "<BBBBHHIH", data, 6 + 14 * index)
        dim = 0 if size == 256 else size
        report.equal(f"icon entry {ident}", (width, height, colours, reserved, planes, bits, image_id),
                     (dim, dim, 0, 0, 1, 32, ident))
        image = images.get(ident, {})
        if not report.equal(f"icon image {ident} languages", list(image), [LANG_NEUTRAL]):
            continue
        blob = image[LANG_NEUTRAL]
        report.equal(f"icon image {ident}: recorded size", length, len(blob))
        if size == 256:
            report.equal("256-pixel image signature", blob[:8], b"\x89PNG\r\n\x1a\n")
            report.equal("256-pixel image PNG header (chunk, width, height, depth, colour type)",
                         struct.unpack_from(">4sIIBB", blob, 12), (b"IHDR", 256, 256, 8, 6))
        else:
            report.equal(f"{size}-pixel image length", len(blob), bitmap_size(size))
            report.equal(f"{size}-pixel bitmap header",
                         struct.unpack_from("<IiiHHII", blob),
                         (40, size, 2 * size, 1, 32, 0, size * size * 4))


def check_version(report, pe, table):
    report.equal("version resources", {k: list(v) for k, v in table.get(RT_VERSION, {}).items()},
                 {1: [LANG_NEUTRAL]})
    fixed = pe.VS_FIXEDFILEINFO[0] if getattr(pe, "VS_FIXEDFILEINFO", None) else None
    if not report.expect(fixed is not None, "no fixed version information"):
        return
    for field, value in VERSION_FIXED.items():
        report.equal(f"version field {field}", getattr(fixed, field), value)
    tables, translations = [], []
    for info in pe.FileInfo[0]:
        for string_table in getattr(info, "StringTable", []):
            tables.append((string_table.LangID.decode(),
                           [(k.decode(), v.decode()) for k, v in string_table.entries.items()]))
        for var in getattr(info, "Var", []):
            translations.append(var.entry)
    if not report.equal("string table keys", [key for key, _ in tables], ["040904E4"]):
        return
    entries = tables[0][1]
    report.equal("string table keys in order", [k for k, _ in entries], VERSION_KEYS)
    values = dict(entries)
    for key, value in VERSION_VALUES.items():
        report.equal(f"string {key}", values.get(key), value)
    for key in ("FileDescription", "LegalCopyright"):
        report.expect(values.get(key), f"string {key} is empty")
    report.equal("translation", translations, [{b"Translation": "0x0409 0x04e4"}])


def check_manifest(report, table, expected_bytes):
    report.equal("manifest resources", {k: list(v) for k, v in table.get(RT_MANIFEST, {}).items()},
                 {1: [LANG_EN_US]})
    data = table.get(RT_MANIFEST, {}).get(1, {}).get(LANG_EN_US)
    if data is None:
        return
    report.equal("manifest length", len(data), 381)
    report.equal("manifest bytes equal the source", data, expected_bytes)
    report.expect(data.endswith(b"\r\n") and b"\n" not in data.replace(b"\r\n", b"")
                  and b"\r" not in data.replace(b"\r\n", b""), "manifest line ends are not CRLF")
    text = data.decode("utf-8")
    report.expect(re.match(r'<\?xml version="1\.0" encoding="UTF-8" standalone="yes"\?>', text),
                  "manifest XML declaration")
    root = ElementTree.fromstring(data)
    report.equal("manifest root", (root.tag, root.attrib),
                 (MANIFEST_ASM_V1 + "assembly", {"manifestVersion": "1.0"}))
    shape = []
    for element in root.iter():
        shape.append((element.tag, dict(element.attrib)))
    report.equal("manifest elements", shape, [
        (MANIFEST_ASM_V1 + "assembly", {"manifestVersion": "1.0"}),
        (MANIFEST_ASM_V3 + "trustInfo", {}),
        (MANIFEST_ASM_V3 + "security", {}),
        (MANIFEST_ASM_V3 + "requestedPrivileges", {}),
        (MANIFEST_ASM_V3 + "requestedExecutionLevel", {"level": "asInvoker", "uiAccess": "false"}),
    ])


def check(kind, path, manifest):
    report = Report()
    pe = pefile.PE(path)
    check_image_format(report, pe, kind != "quorvel")
    if kind == "quorvel":
        check_program_image(report, pe)
        check_program_imports(report, pe)
        table = resources(pe)
        report.equal("resource types", sorted(table), [RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST])
        check_icons(report, table)
        check_version(report, pe, table)
        with open(manifest, "rb") as f:
            check_manifest(report, table, f.read())
    else:
        check_library(report, pe, kind)
    return report.failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("kind", choices=["quorvel"] + sorted(LIBRARIES))
    parser.add_argument("file")
    parser.add_argument("--manifest", help="the manifest source that quorvel.exe must embed")
    args = parser.parse_args()
    if args.kind == "quorvel" and not args.manifest:
        parser.error("quorvel needs --manifest")
    failures = check(args.kind, args.file, args.manifest)
    for failure in failures:
        print(f"{args.file}: {failure}")
    if not failures:
        print(f"{args.file}: all checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
