"""Deciding every file of an application's new lib/: the modules the
closure found, the application's own files, the generated start-up module,
and the shared libraries the shipped binaries need."""

import os
from collections import Counter
from dataclasses import dataclass, field
from typing import Dict, List, Literal, NamedTuple, Set, Tuple

from . import (
    PackError,
    analysis,
    closure,
    explain,
    fs,
    licences,
    native,
    needs,
    pack_cache,
    rules,
    startup,
    toplevel,
)
from .analysis import Role
from .distributions import Distribution, top_files
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
    details: List[str]  # shown with --verbose


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
    # The shipped third-party code, for its licences: its metadata
    # (.dist-info or .egg-info), and (name, a file) of what has none.
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
    found = needs.find_closure(app, runtime, options, paths)
    placing = _Placing()
    _place_standard_library(found.closure.modules, runtime, placing)
    for dist in found.distributions:
        _place_distribution(dist, found, placing, options.as_source)
    for data in found.outside_data:
        _place_files(_tree(data.source, data.target), placing)
    app_count = _place_application(app, options, placing, _data_dirs(found))
    warnings, details = explain.unresolved_warnings(found)
    if options.verbose:
        details = explain.reasons(found) + details
    for relative, (kind, source) in list(placing.files.items()):
        if kind == "copy" and relative.endswith(analysis.EXTENSION_SUFFIXES):
            placing.files[relative] = Placement("binary", source)
    reached = {os.path.realpath(o) for o in found.closure.modules.values() if os.path.isabs(o)}
    copies = _place_libraries(placing.files, runtime, reached, warnings)
    details += ["library %s (%s)" % item for item in sorted(copies.items())]
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
        details=details if options.verbose else [],
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


def _tree(source: str, target: str) -> List[Tuple[str, str]]:
    """(path in lib/, file) of every file below the directory source, placed
    at target; links are followed and their targets shipped as files
    (a loop is refused), caches and dangling links left out."""
    return [
        (target + "/" + relative, path)
        for relative, path in fs.files_following_links(source, _not_shipped)
    ]


def _not_shipped(name: str) -> bool:
    return name in analysis.NOT_SHIPPED_NAMES or name.endswith(analysis.NOT_SHIPPED_SUFFIXES)


def _place_files(entries: List[Tuple[str, str]], placing: _Placing) -> None:
    for relative, full in entries:
        placing.files[relative] = Placement("copy", full)
        placing.counts["data"] += 1


def _is_test_suite(relative: str, reached: Set[str]) -> bool:
    """Whether a third-party file belongs to a test suite that nothing
    the application reaches imports."""
    suites = rules.third_party_imports()
    parts = relative.split("/")
    if parts[-1] in suites.test_suite_files:
        return True
    for depth, part in enumerate(parts[:-1]):
        if part in suites.test_suite_directories and ".".join(parts[: depth + 1]) not in reached:
            return True
    return False


def _distribution_files(dist: Distribution) -> List[Tuple[str, str]]:
    entries = []
    for top in sorted(dist.tops):
        if os.path.isdir(os.path.join(dist.site, top)):
            entries += _tree(os.path.join(dist.site, top), top)
        else:
            entries += [(n, os.path.join(dist.site, n)) for n in top_files(dist.site, top)]
    return entries


def _place_distribution(
    dist: Distribution, found: needs.Needed, placing: _Placing, as_source: bool
) -> None:
    """A third-party distribution's own files, but for the test suites that
    nothing imports at once (a package's own test runner or a registry
    naming them does not count), and its metadata."""
    reached = set(found.closure.modules) - found.closure.lazy
    entries = _distribution_files(dist)
    for relative, full in entries:
        if _is_test_suite(relative, reached):
            continue
        module, role = analysis.module_of(relative)
        if role == "module" and module not in reached and not as_source:
            try:
                pack_cache.bytecode(full, relative, analysis.bytecode_file)
            except PackError:
                continue  # not this interpreter's Python, and never imported
        if role == "module":
            _place_module(placing, relative, full, as_source)
        else:
            placing.files[relative] = Placement("copy", full)
        placing.counts[role] += 1
    if dist.metadata is not None:
        path = os.path.join(dist.site, dist.metadata)
        metadata = _tree(path, dist.metadata) if os.path.isdir(path) else [(dist.metadata, path)]
        _place_files(metadata, placing)
        placing.distributions.append(path)
    elif entries:
        top = entries[0][0].split("/")[0]
        placing.untracked.append((dist.name, os.path.join(dist.site, top)))


def _data_dirs(found: needs.Needed) -> Dict[str, str]:
    """Environment variables that the start-up module points at data."""
    return {d.environment: d.target for d in found.outside_data if d.environment}


def _place_application(
    app: analysis.Application, options: PackOptions, placing: _Placing, data_dirs: Dict[str, str]
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
        startup.startup_module_source(
            entry_module, app.entry_function, options.freeze_gc, data_dirs
        ),
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
