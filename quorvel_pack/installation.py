"""Reading an installation before packing into it: its runtime record and
the names its runtime takes in lib/."""

import json
import os
import sys
import zipfile
from typing import Dict, List, NamedTuple, Set

from . import PackError, analysis, native
from .layout import ARCHIVE, MANIFEST, PROGRAM, RUNTIME_RECORD, STAGING_PREFIX

RUNTIME_KEYS = ("python_version", "stdlib_dir", "extension_dir")
# The generated start-up module, always bytecode (--source ships the
# application's own modules as sources).
STARTUP_FILE = analysis.STARTUP + ".pyc"


class Runtime(NamedTuple):
    installation: str
    lib_dir: str
    record: Dict[str, str]


def read_installation(installation: str) -> Runtime:
    """The runtime record of an installation; refuses a directory that is
    not an installation made by this project's install step."""
    lib_dir = os.path.join(installation, "lib")
    program = os.path.join(installation, PROGRAM)
    record_path = os.path.join(lib_dir, RUNTIME_RECORD)
    if not os.path.isdir(installation):
        raise PackError("%s: not a directory" % installation)
    if not (os.path.isfile(program) and os.access(program, os.X_OK) and native.is_elf(program)):
        raise PackError("%s: not an installation (no program %s)" % (installation, PROGRAM))
    try:
        with open(record_path) as f:
            record = json.load(f)
        if not all(isinstance(record.get(key), str) for key in RUNTIME_KEYS):
            raise ValueError("incomplete")
    except (OSError, ValueError) as error:
        raise PackError(
            "%s: not an installation (lib/%s: %s)" % (installation, RUNTIME_RECORD, error)
        )
    try:
        with zipfile.ZipFile(os.path.join(lib_dir, ARCHIVE)) as archive:
            archive.namelist()
    except (OSError, zipfile.BadZipFile) as error:
        raise PackError("%s: not an installation (lib/%s: %s)" % (installation, ARCHIVE, error))
    return Runtime(installation, lib_dir, record)


def check_interpreter(runtime: Runtime) -> None:
    """Refuses to pack with an interpreter other than the one the program
    embeds: bytecode and standard library must be of its exact release."""
    version = "%d.%d.%d" % sys.version_info[:3]
    wanted = runtime.record["python_version"]
    if version != wanted:
        raise PackError(
            "%s is Python %s, the installation embeds %s: run pack-app with %s"
            % (
                sys.executable,
                version,
                wanted,
                runtime.record.get("python_executable", "that interpreter"),
            )
        )
    if not os.path.isfile(os.path.join(runtime.record["stdlib_dir"], "os.py")):
        raise PackError(
            "%s: the runtime's standard library is missing" % runtime.record["stdlib_dir"]
        )


def standard_names(runtime: Runtime) -> Set[str]:
    """Top-level module names of the runtime's standard library: its
    archive's, its source directory's, its extension modules' and the
    built-in modules."""
    names = set(sys.builtin_module_names)
    with zipfile.ZipFile(os.path.join(runtime.lib_dir, ARCHIVE)) as archive:
        names |= analysis.module_names(archive.namelist())
    for directory in (runtime.record["stdlib_dir"], runtime.record["extension_dir"]):
        names |= analysis.module_names(
            name + "/" if os.path.isdir(os.path.join(directory, name)) else name
            for name in os.listdir(directory)
        )
    return names


def check_names(app: analysis.Application, runtime: Runtime) -> None:
    """Refuses application names that would replace standard modules or the
    runtime's own files in lib/."""
    shipped = [f.relative for f in app.files if f.role != "skipped"]
    shadowing = sorted(analysis.module_names(shipped) & standard_names(runtime))
    if shadowing:
        raise PackError(
            "%s: names that would shadow the standard library: %s"
            % (app.app_dir, ", ".join(shadowing))
        )
    reserved = {ARCHIVE, RUNTIME_RECORD, MANIFEST, STARTUP_FILE}
    reserved |= set(runtime_entries(runtime))
    clashing = sorted(analysis.top_level_names(app.files) & reserved)
    if clashing:
        raise PackError(
            "%s: names taken by the runtime in lib/: %s" % (app.app_dir, ", ".join(clashing))
        )


def _recorded(runtime: Runtime, key: str) -> Set[str]:
    """The names that the last pack's manifest lists under key."""
    try:
        with open(os.path.join(runtime.lib_dir, MANIFEST)) as f:
            entries = json.load(f).get(key, [])
        return {entry for entry in entries if isinstance(entry, str)}
    except (OSError, ValueError, AttributeError, TypeError):
        return set()


def previous_entries(runtime: Runtime) -> Set[str]:
    """The entries of lib/ that the last pack placed."""
    return _recorded(runtime, "entries")


def previous_beside_lib(runtime: Runtime) -> List[str]:
    """The paths beside lib/ that the last pack placed (its program under
    the application's name, the icons, licenses/)."""
    return sorted(_recorded(runtime, "beside_lib"))


def runtime_entries(runtime: Runtime) -> List[str]:
    """Entries of lib/ that belong to the runtime's install step and are
    carried over unchanged: all but the packed application's, the module
    archive and the standard library's modules."""
    owned = previous_entries(runtime)
    extension_names = set(os.listdir(runtime.record["extension_dir"]))
    kept = []
    for name in sorted(os.listdir(runtime.lib_dir)):
        if name in owned or name in (ARCHIVE, MANIFEST) or name in extension_names:
            continue
        if name.startswith(STAGING_PREFIX) or name in analysis.NOT_SHIPPED_NAMES:
            continue
        kept.append(name)
    return kept
