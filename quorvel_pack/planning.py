"""Deciding every file of an application's new lib/: the modules the
closure found, the application's own files, the generated start-up module,
and the shared libraries the shipped binaries need."""

import os
from typing import Dict, List, NamedTuple, Tuple

from . import PackError, analysis, closure, fs, native, startup
from .installation import STARTUP_FILE, Runtime, runtime_entries
from .layout import PROGRAM
from .options import PackOptions


class Report(NamedTuple):
    """What a pack placed, and what it warns about."""

    modules: int
    app_modules: int
    extensions: int
    libraries: int
    data_files: int
    total_bytes: int
    not_shipped: List[str]
    warnings: List[str]


class Plan(NamedTuple):
    """Every file of the new lib/: relative path -> (kind, source), where kind
    is "compile" (source compiled to bytecode), "copy", "text" (the source is
    the contents) or "binary" (an extension module or shared library, copied
    and cleared of its run paths: what it needs is in lib/, found through
    the program's run path)."""

    files: Dict[str, Tuple[str, str]]
    display_names: Dict[str, str]
    report: Report


Files = Dict[str, Tuple[str, str]]


def analyse(app: analysis.Application, runtime: Runtime, options: PackOptions) -> Plan:
    """Decides every file of the new lib/ and what to warn about."""
    paths = [os.path.abspath(p) for p in options.paths]
    for path in paths:
        if not os.path.isdir(path):
            raise PackError("--path %s: not a directory" % path)
    found, third_party, probed = closure.find_closure(app, runtime, options, paths)
    files: Files = {}
    display: Dict[str, str] = {}
    counts = [0, 0, 0]  # modules, extension modules, data files
    _place_standard_library(found, runtime, files, display, counts)
    for top in sorted(third_party):
        for path in paths:
            if os.path.exists(os.path.join(path, top)) or closure.top_files(path, top):
                _place_tree(path, top, files, display, options.as_source, counts)
                for info in closure.dist_info(path, top):
                    _place_tree(path, info, files, display, True, counts)
                break
    app_count = _place_application(app, options, files, display, counts)
    warnings = closure.unresolved_warnings(
        found, runtime.record["stdlib_dir"], probed, options.verbose
    )
    for relative, (kind, source) in list(files.items()):
        if kind == "copy" and relative.endswith(analysis.EXTENSION_SUFFIXES):
            files[relative] = ("binary", source)
    copies, missing_libraries = _native_libraries(files, runtime)
    for soname, source in copies.items():
        files[soname] = ("binary", source)
    warnings += ["library %s not found (needed by %s)" % item for item in missing_libraries]
    not_shipped = [f.relative for f in app.files if f.role == "skipped"]
    report = Report(
        counts[0],
        app_count,
        counts[1],
        len(copies),
        counts[2],
        0,
        not_shipped,
        warnings,
    )
    return Plan(files, display, report)


def _place_standard_library(
    found: closure.Closure,
    runtime: Runtime,
    files: Files,
    display: Dict[str, str],
    counts: List[int],
) -> None:
    stdlib_dir = runtime.record["stdlib_dir"]
    extension_dir = runtime.record["extension_dir"]
    for name, origin in sorted(found.modules.items()):
        if origin in ("built-in", "frozen", "namespace"):
            continue
        if fs.inside(origin, extension_dir):
            files[os.path.basename(origin)] = ("copy", origin)
            counts[1] += 1
        elif fs.inside(origin, stdlib_dir) and origin.endswith(".py"):
            relative = os.path.relpath(origin, stdlib_dir).replace(os.sep, "/")
            files[relative + "c"] = ("compile", origin)
            display[relative + "c"] = relative
            counts[0] += 1


def _place_application(
    app: analysis.Application,
    options: PackOptions,
    files: Files,
    display: Dict[str, str],
    counts: List[int],
) -> int:
    """Places every file of the application and the generated start-up
    module; returns the number of the application's modules."""
    app_count = 0
    for item in app.files:
        source = os.path.join(app.app_dir, *item.relative.split("/"))
        if item.role == "module":
            target = item.relative
            if item.module == analysis.STARTUP:
                target = analysis.APP_STARTUP + ".py"
            if options.as_source:
                files[target] = ("copy", source)
            else:
                files[target + "c"] = ("compile", source)
                display[target + "c"] = item.relative
            counts[0] += 1
            app_count += 1
        elif item.role in ("extension", "data"):
            files[item.relative] = ("copy", source)
            counts[1 if item.role == "extension" else 2] += 1
    entry_module = (
        analysis.APP_STARTUP if app.entry_module == analysis.STARTUP else app.entry_module
    )
    files[STARTUP_FILE] = (
        "text",
        startup.startup_module_source(entry_module, app.entry_function, options.freeze_gc),
    )
    display[STARTUP_FILE] = "<pack-app>/" + analysis.STARTUP + ".py"
    return app_count


def _native_libraries(
    files: Files, runtime: Runtime
) -> Tuple[Dict[str, str], List[Tuple[str, str]]]:
    """Libraries to copy for the shipped binaries, the program and the
    runtime's own libraries; and those not found."""
    binaries = [
        (relative, source) for relative, (kind, source) in files.items() if kind == "binary"
    ]
    binaries.append((PROGRAM, os.path.join(runtime.installation, PROGRAM)))
    available = set()
    for name in runtime_entries(runtime):
        path = os.path.join(runtime.lib_dir, name)
        if os.path.isfile(path) and native.is_elf(path):
            available.add(name)
            soname = native.read_elf(path).soname
            if soname:
                available.add(soname)
            binaries.append((name, path))
    return native.needed_libraries(binaries, available)


def _place_tree(
    path: str,
    top: str,
    files: Files,
    display: Dict[str, str],
    as_source: bool,
    counts: List[int],
) -> None:
    """Adds a third-party top-level entry of directory path, counting
    modules, extension modules and data files into counts."""
    entries = []
    if os.path.isdir(os.path.join(path, top)):
        for base, dirs, names in os.walk(os.path.join(path, top)):
            dirs[:] = sorted(d for d in dirs if d not in analysis.NOT_SHIPPED_NAMES)
            for name in sorted(names):
                if not name.endswith(analysis.NOT_SHIPPED_SUFFIXES):
                    full = os.path.join(base, name)
                    entries.append((os.path.relpath(full, path).replace(os.sep, "/"), full))
    else:
        entries = [(name, os.path.join(path, name)) for name in closure.top_files(path, top)]
    for relative, full in entries:
        module, role = analysis.module_of(relative)
        if role == "module" and not as_source:
            files[relative + "c"] = ("compile", full)
            display[relative + "c"] = relative
        else:
            files[relative] = ("copy", full)
        counts[{"module": 0, "extension": 1, "data": 2}[role]] += 1
