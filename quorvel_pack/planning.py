"""Deciding every file of an application's new lib/: the modules the
closure found, the application's own files, the generated start-up module,
and the shared libraries the shipped binaries need."""

import os
from collections import Counter
from dataclasses import dataclass, field
from typing import Dict, List, Literal, NamedTuple, Set, Tuple

from . import PackError, analysis, closure, fs, licences, native, startup, toplevel
from .analysis import Role
from .installation import STARTUP_FILE, Runtime, runtime_entries
from .layout import PROGRAM
from .options import PackOptions

# How a file of the new lib/ is made from its source: "compile" (a source
# file compiled to bytecode), "copy", "text" (the source is the contents, a
# module compiled to bytecode) or "binary" (an extension module or shared
# library, copied and cleared of its run paths: what it needs is in lib/,
# found through the program's run path).
Kind = Literal["compile", "copy", "text", "binary"]


class Placement(NamedTuple):
    kind: Kind
    source: str


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
    """Every file of the new lib/ by its relative path, with the names that
    tracebacks show for the compiled ones; and the files beside lib/."""

    files: Dict[str, Placement]
    display_names: Dict[str, str]
    report: Report
    beside: Dict[str, toplevel.Entry]


@dataclass
class _Placing:
    """The plan while it is made, with the files counted by role."""

    files: Dict[str, Placement] = field(default_factory=dict)
    display_names: Dict[str, str] = field(default_factory=dict)
    counts: "Counter[Role]" = field(default_factory=Counter)
    # The shipped third-party code, for its licences: the .dist-info
    # directories, and (name, a file) of what has none.
    distributions: List[str] = field(default_factory=list)
    untracked: List[Tuple[str, str]] = field(default_factory=list)


def _place_module(
    placing: _Placing, relative: str, source: str, as_source: bool, display: str = ""
) -> None:
    """A module's source, shipped as it is or compiled to relative + "c";
    tracebacks name it display (by default relative)."""
    if as_source:
        placing.files[relative] = Placement("copy", source)
    else:
        placing.files[relative + "c"] = Placement("compile", source)
        placing.display_names[relative + "c"] = display or relative


def analyse(app: analysis.Application, runtime: Runtime, options: PackOptions) -> Plan:
    """Decides every file of the new lib/ and what to warn about."""
    paths = [os.path.abspath(p) for p in options.paths]
    for path in paths:
        if not os.path.isdir(path):
            raise PackError("--path %s: not a directory" % path)
    found = closure.find_closure(app, runtime, options, paths)
    placing = _Placing()
    _place_standard_library(found.closure.modules, runtime, placing)
    for top in sorted(found.third_party):
        _place_third_party(paths, top, placing, options.as_source)
    app_count = _place_application(app, options, placing)
    warnings = closure.unresolved_warnings(found, runtime.record["stdlib_dir"], options.verbose)
    for relative, (kind, source) in list(placing.files.items()):
        if kind == "copy" and relative.endswith(analysis.EXTENSION_SUFFIXES):
            placing.files[relative] = Placement("binary", source)
    reached = {os.path.realpath(o) for o in found.closure.modules.values() if os.path.isabs(o)}
    copies = _place_libraries(placing.files, runtime, reached, warnings)
    components = licence_components(runtime, options, placing, sorted(copies.values()))
    warnings += licences.warnings(components)
    beside = toplevel.plan(runtime.installation, options.identity, licences.files(components))
    report = Report(
        modules=placing.counts["module"],
        app_modules=app_count,
        extensions=placing.counts["extension"],
        libraries=len(copies),
        data_files=placing.counts["data"],
        total_bytes=0,
        not_shipped=[f.relative for f in app.files if f.role == "skipped"],
        warnings=warnings,
    )
    return Plan(placing.files, placing.display_names, report, beside)


def licence_components(
    runtime: Runtime, options: PackOptions, placing: _Placing, libraries: List[str]
) -> List[licences.Component]:
    """What the installation redistributes, each with its licence: the
    application, the interpreter, the third-party code, the libraries
    copied from the system, this project."""
    application = licences.application(options.identity)
    third_party = [licences.distribution(info) for info in placing.distributions]
    third_party += licences.without_metadata(placing.untracked)
    return (
        ([application] if application else [])
        + [licences.interpreter(runtime.record["stdlib_dir"], runtime.record["python_version"])]
        + sorted(third_party, key=lambda c: c.name.lower())
        + licences.native_libraries(libraries)
        + [licences.project(runtime.record.get("quorvel_version", ""))]
    )


def _place_standard_library(modules: Dict[str, str], runtime: Runtime, placing: _Placing) -> None:
    stdlib_dir = runtime.record["stdlib_dir"]
    extension_dir = runtime.record["extension_dir"]
    for _, origin in sorted(modules.items()):
        if origin in closure.NOT_FILES:
            continue
        if fs.inside(origin, extension_dir):
            placing.files[os.path.basename(origin)] = Placement("copy", origin)
            placing.counts["extension"] += 1
        elif fs.inside(origin, stdlib_dir) and origin.endswith(".py"):
            relative = os.path.relpath(origin, stdlib_dir).replace(os.sep, "/")
            _place_module(placing, relative, origin, False)
            placing.counts["module"] += 1


def _place_third_party(paths: List[str], top: str, placing: _Placing, as_source: bool) -> None:
    """A third-party top-level name, whole, from the first --path directory
    that has it, with its distribution metadata."""
    for path in paths:
        files = closure.top_files(path, top)
        if os.path.exists(os.path.join(path, top)) or files:
            _place_tree(path, top, placing, as_source)
            infos = closure.dist_info(path, top)
            for info in infos:
                _place_tree(path, info, placing, True)
                if os.path.join(path, info) not in placing.distributions:
                    placing.distributions.append(os.path.join(path, info))
            if not infos:
                placing.untracked.append((top, os.path.join(path, files[0] if files else top)))
            return


def _place_application(app: analysis.Application, options: PackOptions, placing: _Placing) -> int:
    """Places every file of the application and the generated start-up
    module; returns the number of the application's modules."""
    app_count = 0
    for item in app.files:
        source = os.path.join(app.app_dir, *item.relative.split("/"))
        if item.role == "module":
            target = item.relative
            if item.module == analysis.STARTUP:
                target = analysis.APP_STARTUP + ".py"
            _place_module(placing, target, source, options.as_source, item.relative)
            app_count += 1
        elif item.role != "skipped":
            placing.files[item.relative] = Placement("copy", source)
        placing.counts[item.role] += 1
    entry_module = (
        analysis.APP_STARTUP if app.entry_module == analysis.STARTUP else app.entry_module
    )
    placing.files[STARTUP_FILE] = Placement(
        "text",
        startup.startup_module_source(entry_module, app.entry_function, options.freeze_gc),
    )
    placing.display_names[STARTUP_FILE] = "<pack-app>/" + analysis.STARTUP + ".py"
    return app_count


def binary_problem(message: str, reached: bool) -> str:
    """A binary that cannot run here, or a library it needs that is not
    found: refused when the binary is one that the application's imports
    load; a warning naming it when it is shipped only because its package
    is shipped whole (it may serve other systems, or never be loaded)."""
    if reached:
        raise PackError(message)
    return message


def _place_libraries(
    files: Dict[str, Placement], runtime: Runtime, reached: Set[str], warnings: List[str]
) -> Dict[str, str]:
    """Adds the libraries that the binaries need; returns them. A binary the
    loader cannot map, when it is not refused, is shipped as it is."""
    libraries = _native_libraries(files, runtime, reached)
    for problem in libraries.problems:
        warnings.append(binary_problem(problem.message, problem.reached))
        if problem.unusable in files:
            files[problem.unusable] = Placement("copy", files[problem.unusable].source)
    for soname, source in libraries.copies.items():
        files[soname] = Placement("binary", source)
    return libraries.copies


def _native_libraries(
    files: Dict[str, Placement], runtime: Runtime, reached: Set[str]
) -> native.Libraries:
    """Libraries to copy for the shipped binaries, the program and the
    runtime's own libraries, and what stands in the way. reached: real
    paths of the modules that the application's imports reach."""
    program = os.path.join(runtime.installation, PROGRAM)
    binaries = [
        native.Binary(relative, source, os.path.realpath(source) in reached)
        for relative, (kind, source) in files.items()
        if kind == "binary"
    ]
    binaries.append(native.Binary(PROGRAM, program, True))
    available = set()
    for name in runtime_entries(runtime):
        path = os.path.join(runtime.lib_dir, name)
        if os.path.isfile(path) and native.is_elf(path):
            available.add(name)
            soname = native.read_elf(path).soname
            if soname:
                available.add(soname)
            binaries.append(native.Binary(name, path, True))
    machine = native.read_elf(program).machine
    return native.needed_libraries(binaries, available, machine, runtime.lib_dir)


def _place_tree(path: str, top: str, placing: _Placing, as_source: bool) -> None:
    """Adds a third-party top-level entry of directory path, counting
    modules, extension modules and data files."""
    entries = []
    if os.path.isdir(os.path.join(path, top)):
        for base, dirs, names in fs.walk(os.path.join(path, top)):
            dirs[:] = sorted(d for d in dirs if d not in analysis.NOT_SHIPPED_NAMES)
            for name in sorted(names):
                if not name.endswith(analysis.NOT_SHIPPED_SUFFIXES):
                    full = os.path.join(base, name)
                    entries.append((os.path.relpath(full, path).replace(os.sep, "/"), full))
    else:
        entries = [(name, os.path.join(path, name)) for name in closure.top_files(path, top)]
    for relative, full in entries:
        _, role = analysis.module_of(relative)
        if role == "module":
            _place_module(placing, relative, full, as_source)
        else:
            placing.files[relative] = Placement("copy", full)
        placing.counts[role] += 1
