"""The application's identity: the name, version, summary, icon, authors
and licence that the shipped program, folder and packages carry.

It comes from the application's pyproject.toml: the [project] table for
what the packaging standards name there, [tool.quorvel] for the icon, the
company and the copyright. The command line overrides name, version,
summary and icon. What neither gives stays the launcher's own. Every value
is checked here, before anything is packed; what one target cannot hold
(a Debian package, a Windows version block) is checked where that target is
written, before anything is packed too.
"""

import glob
import os
import re
import tomllib
from dataclasses import dataclass, replace
from typing import Dict, Optional, Tuple

from . import PackError, icons
from .layout import PROGRAM

PROJECT_FILE = "pyproject.toml"
TOOL_TABLE = "quorvel"  # [tool.quorvel]
# Letters, digits, '.', '_' and '-', as in POSIX portable file names and
# distribution names, starting and ending with a letter or digit.
PORTABLE_NAME = re.compile(r"[A-Za-z0-9]([A-Za-z0-9._-]{0,62}[A-Za-z0-9])?")
# Device names that Windows reserves in every directory, with any suffix.
WINDOWS_DEVICES = frozenset(
    ["con", "prn", "aux", "nul"]
    + ["com%d" % n for n in range(1, 10)]
    + ["lpt%d" % n for n in range(1, 10)]
)
VERSION = re.compile(r"[A-Za-z0-9][A-Za-z0-9.+!_~-]{0,63}")


@dataclass(frozen=True)
class Person:
    name: str
    email: str


@dataclass(frozen=True)
class Licence:
    """The application's licence as its metadata names it: an expression
    (license = "SPDX"), a text (license = {text = ...}) and the files that
    hold its text (license = {file = ...}, license-files), as (path in the
    application, absolute path)."""

    expression: str = ""
    text: str = ""
    files: Tuple[Tuple[str, str], ...] = ()


@dataclass(frozen=True)
class Identity:
    name: Optional[str] = None
    version: Optional[str] = None
    summary: Optional[str] = None
    icon: Optional[str] = None  # absolute path of a square PNG
    authors: Tuple[Person, ...] = ()
    licence: Optional[Licence] = None
    company: Optional[str] = None
    copyright: Optional[str] = None


def program_name(identity: Identity) -> str:
    """The program's file name (without .exe): the application's name, or
    the launcher's own."""
    return identity.name or PROGRAM


def of_application(
    app_dir: str,
    name: Optional[str] = None,
    version: Optional[str] = None,
    summary: Optional[str] = None,
    icon: Optional[str] = None,
) -> Identity:
    """The application's identity from its pyproject.toml, with the values
    given on the command line in place of its own; refuses bad values."""
    found = read_project(app_dir)
    overrides: Dict[str, Optional[str]] = {"name": name, "version": version, "summary": summary}
    if icon is not None:
        overrides["icon"] = os.path.abspath(icon)
    found = replace(found, **{k: v for k, v in overrides.items() if v is not None})
    check(found)
    return found


def read_project(app_dir: str) -> Identity:
    """What APP_DIR/pyproject.toml says; an empty identity without one."""
    path = os.path.join(app_dir, PROJECT_FILE)
    if not os.path.isfile(path):
        return Identity()
    try:
        with open(path, "rb") as f:
            document = tomllib.load(f)
    except (OSError, UnicodeDecodeError, tomllib.TOMLDecodeError) as error:
        raise PackError("%s: %s" % (path, error))
    project = _table(document, "project", path)
    tool = _table(_table(document, "tool", path), TOOL_TABLE, path, "tool.")
    icon = _string(tool, "icon", path, "tool.quorvel")
    return Identity(
        name=_string(project, "name", path),
        version=_string(project, "version", path),
        summary=_string(project, "description", path),
        icon=os.path.abspath(os.path.join(app_dir, icon)) if icon else None,
        authors=_people(project.get("authors", []), path),
        licence=_licence(project, app_dir, path),
        company=_string(tool, "company", path, "tool.quorvel"),
        copyright=_string(tool, "copyright", path, "tool.quorvel"),
    )


def check(identity: Identity) -> None:
    """Refuses values that no target can hold."""
    if identity.name is not None:
        check_name(identity.name)
    if identity.version is not None and not VERSION.fullmatch(identity.version):
        raise PackError(
            "%r: not a version (letters, digits and . + ! _ ~ -, at most 64); "
            "choose one with --version" % identity.version
        )
    for what, value in (
        ("summary", identity.summary),
        ("company", identity.company),
        ("copyright", identity.copyright),
    ):
        if value is not None and not (value.strip() and value.isprintable()):
            raise PackError("%r: the %s must be one line of text" % (value, what))
    if identity.icon is not None:
        icons.check_icon(identity.icon)


def check_name(name: str) -> None:
    if not PORTABLE_NAME.fullmatch(name):
        raise PackError(
            "%r: not a portable file name (letters, digits, '.', '_' and '-', starting and "
            "ending with a letter or digit, at most 64); choose one with --name" % name
        )
    if name.split(".")[0].lower() in WINDOWS_DEVICES:
        raise PackError("%r: a device name on Windows; choose another with --name" % name)


def _table(document: Dict[str, object], key: str, path: str, prefix: str = "") -> Dict[str, object]:
    value = document.get(key, {})
    if not isinstance(value, dict):
        raise PackError("%s: [%s%s] is not a table" % (path, prefix, key))
    return value


def _string(table: Dict[str, object], key: str, path: str, where: str = "project") -> Optional[str]:
    value = table.get(key)
    if value is not None and not isinstance(value, str):
        raise PackError("%s: %s.%s is not a string" % (path, where, key))
    return value


def _people(value: object, path: str) -> Tuple[Person, ...]:
    if not isinstance(value, list) or not all(isinstance(p, dict) for p in value):
        raise PackError("%s: project.authors is not a list of tables" % path)
    people = []
    for table in value:
        name = _string(table, "name", path, "project.authors") or ""
        email = _string(table, "email", path, "project.authors") or ""
        people.append(Person(name, email))
    return tuple(people)


def _licence(project: Dict[str, object], app_dir: str, path: str) -> Optional[Licence]:
    """license = "SPDX" with license-files = [globs], or license = {file} or {text}."""
    value = project.get("license")
    patterns = project.get("license-files", [])
    if not isinstance(patterns, list) or not all(isinstance(p, str) for p in patterns):
        raise PackError("%s: project.license-files is not a list of strings" % path)
    files: Dict[str, str] = {}
    for pattern in patterns:
        matched = sorted(glob.glob(os.path.join(glob.escape(app_dir), pattern), recursive=True))
        matched = [m for m in matched if os.path.isfile(m) and _inside(m, app_dir)]
        if not matched:
            raise PackError("%s: license-files %r matches no file" % (path, pattern))
        files.update(_in_application(m, app_dir) for m in matched)
    if isinstance(value, dict) and isinstance(value.get("file"), str):
        file = os.path.join(app_dir, value["file"])
        if not (os.path.isfile(file) and _inside(file, app_dir)):
            raise PackError(
                "%s: license file %r: no such file in %s" % (path, value["file"], app_dir)
            )
        files.update([_in_application(file, app_dir)])
    found = tuple(sorted(files.items()))
    if value is None:
        return Licence(files=found) if found else None
    if isinstance(value, str):
        return Licence(expression=value, files=found)
    if isinstance(value, dict) and isinstance(value.get("text", value.get("file")), str):
        return Licence(text=value.get("text", ""), files=found)
    raise PackError("%s: project.license is neither a string nor a table with file or text" % path)


def _in_application(file: str, app_dir: str) -> Tuple[str, str]:
    """(path in the application with /, absolute path) of a file."""
    return os.path.relpath(file, app_dir).replace(os.sep, "/"), os.path.abspath(file)


def _inside(path: str, directory: str) -> bool:
    return os.path.realpath(path).startswith(os.path.realpath(directory) + os.sep)
