"""The licences of what a shipped folder redistributes, in licenses/ with
an index: the interpreter, each third-party distribution, each bundled
native library, the application and this project.

A licence text is taken only from where the component's own records say
it is: a distribution's metadata (License-File entries, else the licence
files in its .dist-info), the system's package records (on Debian, the
package that owns the file and its copyright file), the interpreter's own
licence text, the application's pyproject.toml. A component whose licence
is found nowhere is listed as such and warned about; nothing is guessed.
"""

import email.parser
import os
import re
import subprocess
from typing import Dict, Iterable, List, NamedTuple, Optional, Sequence, Tuple

from . import PackError, fs
from .identity import Identity

DIRECTORY = "licenses"
INDEX = "INDEX.txt"
NOT_FOUND = "(not found)"
PROJECT = "quorvel"
DEBIAN_DOC = "/usr/share/doc"
# Names of the licence files in a .dist-info without License-File entries.
LICENCE_FILE = re.compile(r"(licen[cs]e|copying|notice|authors)([._-].*)?", re.IGNORECASE)
TIMEOUT = 120
# Directories that Debian's merged /usr makes one, as dpkg may record either.
MERGED_DIRECTORIES = ("/bin/", "/sbin/", "/lib/", "/lib32/", "/lib64/", "/libx32/")


class Component(NamedTuple):
    """One thing the folder redistributes and its licence texts, as
    (file name, contents); none when its licence was not found."""

    name: str
    version: str
    texts: Tuple[Tuple[str, bytes], ...]
    origin: str  # where it comes from, for the warning
    warn_if_missing: bool = True


# ---------------------------------------------------------------- the system's records


def _query(command: List[str]) -> str:
    """Standard output of a dpkg query; the entries it does not know are
    reported on standard error and left out of its output."""
    try:
        result = subprocess.run(command, capture_output=True, text=True, timeout=TIMEOUT)
    except FileNotFoundError:
        return ""
    except (OSError, subprocess.TimeoutExpired) as error:
        raise PackError("%s: %s" % (command[0], error))
    return result.stdout


def _recorded_forms(path: str) -> List[str]:
    """The names under which dpkg may know a file: as given, resolved, and
    each with or without /usr in front of the directories merged into it."""
    forms = []
    for candidate in (os.path.abspath(path), os.path.realpath(path)):
        forms.append(candidate)
        if candidate.startswith("/usr/") and candidate[4:].startswith(MERGED_DIRECTORIES):
            forms.append(candidate[4:])
        elif candidate.startswith(MERGED_DIRECTORIES):
            forms.append("/usr" + candidate)
    return list(dict.fromkeys(forms))


def debian_owners(paths: Iterable[str]) -> Dict[str, str]:
    """path -> the Debian package that installed it, for the paths dpkg knows."""
    forms = {form: path for path in paths for form in _recorded_forms(path)}
    if not forms:
        return {}
    owners: Dict[str, str] = {}
    for line in _query(["dpkg-query", "--search", "--", *sorted(forms)]).splitlines():
        packages, separator, recorded = line.partition(": ")
        if not separator or line.startswith("diversion ") or recorded not in forms:
            continue
        owners.setdefault(forms[recorded], packages.split(", ")[0].split(":")[0])
    return owners


def debian_versions(packages: Iterable[str]) -> Dict[str, str]:
    names = sorted(set(packages))
    if not names:
        return {}
    listing = _query(["dpkg-query", "--show", "--showformat=${Package}\\t${Version}\\n", *names])
    return dict(line.split("\t", 1) for line in listing.splitlines() if "\t" in line)


def debian_copyright(package: str) -> Tuple[Tuple[str, bytes], ...]:
    try:
        with open(os.path.join(DEBIAN_DOC, package, "copyright"), "rb") as f:
            return (("copyright", f.read()),)
    except OSError:
        return ()


def debian_packages(paths: Sequence[str]) -> Tuple[List[Component], List[str]]:
    """One component for each Debian package that installed some of the
    paths, with its copyright file; and the paths no package installed."""
    owners = debian_owners(paths)
    versions = debian_versions(owners.values())
    by_package: Dict[str, List[str]] = {}
    for path, package in owners.items():
        by_package.setdefault(package, []).append(path)
    components = [
        Component(
            package,
            versions.get(package, ""),
            debian_copyright(package),
            "Debian package %s (%s)" % (package, ", ".join(sorted(by_package[package]))),
        )
        for package in sorted(by_package)
    ]
    return components, [p for p in paths if p not in owners]


# ---------------------------------------------------------------- the components


def _read(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def interpreter(stdlib_dir: str, version: str) -> Component:
    """The interpreter whose standard library is in stdlib_dir: its system
    package's licence, else its own licence text beside the library."""
    packaged, _ = debian_packages([os.path.join(stdlib_dir, "os.py")])
    texts = packaged[0].texts if packaged else ()
    own = os.path.join(stdlib_dir, "LICENSE.txt")
    if not texts and os.path.isfile(own):
        texts = (("LICENSE.txt", _read(own)),)
    return Component("python", version, texts, stdlib_dir)


def distribution(dist_info: str) -> Component:
    """A third-party distribution from its metadata (a .dist-info, or an
    .egg-info directory or file): the License-File entries that exist, else
    the licence files it holds, else the copyright of the Debian package
    that installed it."""
    is_file = os.path.isfile(dist_info)
    fields = dist_info if is_file else os.path.join(dist_info, _METADATA_FILE[_suffix(dist_info)])
    try:
        with open(fields, encoding="utf-8") as f:
            metadata = email.parser.Parser().parse(f, headersonly=True)
    except (OSError, UnicodeDecodeError):
        metadata = email.parser.Parser().parsestr("")
    stem = os.path.basename(dist_info)[: -len(_suffix(dist_info))]
    name = metadata.get("Name") or stem.split("-")[0]
    version = metadata.get("Version") or (stem.split("-")[1] if "-" in stem else "")
    texts = _license_file_entries(dist_info, metadata.get_all("License-File") or [])
    texts = texts or _licence_files_held(dist_info)
    if not texts:
        packaged, _ = debian_packages([fields])
        texts = list(packaged[0].texts) if packaged else []
    return Component(name, version, tuple(sorted(texts)), dist_info)


# The file of a metadata directory that holds its fields, by the directory's suffix.
_METADATA_FILE = {".dist-info": "METADATA", ".egg-info": "PKG-INFO"}


def _suffix(metadata: str) -> str:
    return ".dist-info" if metadata.endswith(".dist-info") else ".egg-info"


def _license_file_entries(dist_info: str, entries: List[str]) -> List[Tuple[str, bytes]]:
    """The files that License-File entries name and that exist, relative to
    the licenses/ directory (since metadata 2.4) or to the .dist-info."""
    texts = []
    for entry in entries:
        if not _safe_relative(entry):
            continue
        for candidate in (
            os.path.join(dist_info, "licenses", entry),
            os.path.join(dist_info, entry),
        ):
            if os.path.isfile(candidate):
                texts.append((entry, _read(candidate)))
                break
    return texts


def _licence_files_held(dist_info: str) -> List[Tuple[str, bytes]]:
    """The licence files of a .dist-info: at its top by their names, and
    everything under its licenses/ directory."""
    texts = []
    for base, _, names in fs.walk(dist_info):
        relative = os.path.relpath(base, dist_info)
        for file_name in sorted(names):
            in_licences = relative.split(os.sep)[0] == "licenses"
            if in_licences or (relative == "." and LICENCE_FILE.fullmatch(file_name)):
                member = os.path.normpath(os.path.join(relative, file_name))
                texts.append((member.replace(os.sep, "/"), _read(os.path.join(base, file_name))))
    return texts


def without_metadata(shipped: Sequence[Tuple[str, str]]) -> List[Component]:
    """Third-party code without distribution metadata, as (top-level name,
    path): by the system package that installed it, else on its own."""
    first_files = {}
    for name, path in shipped:
        first_files[_first_file(path)] = (name, path)
    packaged, unowned = debian_packages(list(first_files))
    return packaged + [
        Component(first_files[file][0], "", (), first_files[file][1]) for file in unowned
    ]


def _first_file(path: str) -> str:
    """path, or for a directory the first file in it, which the system's
    records name (a directory may be shared by several packages)."""
    for base, dirs, names in fs.walk(path):
        dirs[:] = sorted(d for d in dirs if d != "__pycache__")
        installed = sorted(n for n in names if not n.endswith(".pyc"))
        if installed:
            return os.path.join(base, installed[0])
    return path


def application(identity: Identity) -> Optional[Component]:
    """The application, when its metadata names a licence."""
    licence = identity.licence
    if licence is None:
        return None
    texts = [(relative, _read(path)) for relative, path in licence.files]
    if licence.text:
        texts.append(("license.txt", licence.text.encode("utf-8")))
    origin = "its pyproject.toml names %s and no file" % (licence.expression or "a licence")
    return Component(identity.name or "application", identity.version or "", tuple(texts), origin)


def project(version: str) -> Component:
    """This project: the launcher and the three libraries. It states no
    licence of its own, which is no fault of the application's."""
    return Component(PROJECT, version, (), "", warn_if_missing=False)


def native_libraries(paths: Sequence[str]) -> List[Component]:
    """The bundled libraries by the system package that installed them;
    each one that none installed on its own, its licence not found."""
    packaged, unowned = debian_packages(paths)
    return packaged + [
        Component(os.path.basename(path), "", (), path)
        for path in sorted(unowned, key=os.path.basename)
    ]


# ---------------------------------------------------------------- writing


def _safe_relative(path: str) -> bool:
    parts = path.replace("\\", "/").split("/")
    return not os.path.isabs(path) and all(p not in ("", ".", "..") for p in parts)


def directory_names(components: Sequence[Component]) -> List[str]:
    """A distinct directory of licenses/ for each component, named after it."""
    names: List[str] = []
    for component in components:
        base = re.sub(r"[^A-Za-z0-9._+-]+", "_", component.name).strip("._") or "component"
        name, number = base, 2
        while name.lower() in (n.lower() for n in names):
            name, number = "%s-%d" % (base, number), number + 1
        names.append(name)
    return names


def files(components: Sequence[Component]) -> Dict[str, bytes]:
    """Every file of licenses/ by its path there (with /): the texts, each
    in its component's directory, and the index."""
    written: Dict[str, bytes] = {}
    rows = [("component", "version", "licence")]
    for component, directory in zip(components, directory_names(components)):
        for file_name, text in component.texts:
            written[directory + "/" + file_name] = text
            rows.append((component.name, component.version, directory + "/" + file_name))
        if not component.texts:
            rows.append((component.name, component.version, NOT_FOUND))
    written[INDEX] = "".join("\t".join(row) + "\n" for row in rows).encode("utf-8")
    return written


def warnings(components: Sequence[Component]) -> List[str]:
    return [
        "no licence found for %s%s (%s)" % (c.name, " " + c.version if c.version else "", c.origin)
        for c in components
        if not c.texts and c.warn_if_missing
    ]
