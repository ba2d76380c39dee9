"""Places an application, and exactly what it needs, in an installation.

The new lib/ is assembled beside the installation's and exchanged with it in
one step, so a run that fails or is interrupted leaves the installation as
it was; the previous application's files go with the old lib/. The runtime's
own files in lib/ (the libraries and the runtime record) are carried over as
hard links, unchanged; the standard library's modules are the runtime's own
release, compiled by this interpreter after its version has been compared.
"""

import ctypes
import errno
import fcntl
import json
import os
import shutil
import signal
import sys
import zipfile
from typing import Dict, List, NamedTuple, Optional, Set, Tuple

from . import PackError
from . import analysis, native, startup

ARCHIVE = "library.zip"
RUNTIME_RECORD = "quorvel-runtime.json"
MANIFEST = ".quorvel-pack.json"
STAGING_PREFIX = ".quorvel-pack-"
PROGRAM = "quorvel"
RUNTIME_KEYS = ("python_version", "stdlib_dir", "extension_dir")

# Standard-library parts that imports inside functions need as a whole,
# shipped whenever the first name is: multiprocessing's start methods and
# helper processes are imported lazily, and the generated start-up module
# parses their command lines.
WHOLE_PACKAGES = {
    "encodings": ["encodings"],
    "multiprocessing": ["multiprocessing", "ast", "importlib"],
    "concurrent.futures": ["concurrent.futures"],
}
# Set by a module while it runs, not found on disk.
PROVIDED_AT_RUN_TIME = {"os.path"}
# Parts of the standard library no application ships, skipped by --whole-stdlib.
NOT_IN_WHOLE_STDLIB = {
    "test",
    "idlelib",
    "tkinter",
    "turtledemo",
    "ensurepip",
    "lib2to3",
    "distutils",
    "venv",
    "pydoc_data",
    "__phello__",
    "__hello__",
    "antigravity",
    "this",
    "turtle",
    "_distutils_system_mod",
    "sitecustomize",
}


class Runtime(NamedTuple):
    installation: str
    lib_dir: str
    record: Dict[str, str]


class Options(NamedTuple):
    entry: Optional[str] = None
    as_source: bool = False
    paths: Tuple[str, ...] = ()
    includes: Tuple[str, ...] = ()
    excludes: Tuple[str, ...] = ()
    whole_stdlib: bool = False
    freeze_gc: bool = True
    verbose: bool = False


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


# ---------------------------------------------------------------- checks


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
    """Top-level names of the runtime's standard library: its archive's, its
    source directory's, its extension modules' and the built-in modules."""
    names = set(sys.builtin_module_names)
    with zipfile.ZipFile(os.path.join(runtime.lib_dir, ARCHIVE)) as archive:
        for member in archive.namelist():
            names.add(
                member.split("/", 1)[0].rpartition(".")[0]
                if "/" not in member
                else member.split("/", 1)[0]
            )
    for directory in (runtime.record["stdlib_dir"], runtime.record["extension_dir"]):
        for name in os.listdir(directory):
            stem = name.split(".", 1)[0]
            if analysis.valid_module_part(stem):
                names.add(stem)
    names.discard("")
    return names


def check_names(app: analysis.Application, runtime: Runtime) -> None:
    """Refuses application names that would replace standard modules or the
    runtime's own files in lib/."""
    taken = analysis.top_level_names(app.files)
    shadowing = sorted(taken & standard_names(runtime))
    if shadowing:
        raise PackError(
            "%s: names that would shadow the standard library: %s"
            % (app.app_dir, ", ".join(shadowing))
        )
    reserved = {ARCHIVE, RUNTIME_RECORD, MANIFEST, startup_file(False)}
    reserved |= set(runtime_entries(runtime))
    clashing = sorted(taken & reserved)
    if clashing:
        raise PackError(
            "%s: names taken by the runtime in lib/: %s" % (app.app_dir, ", ".join(clashing))
        )


def check_apart(app_dir: str, installation: str) -> None:
    """Refuses an installation inside the application (it would be shipped
    into itself) and an application inside the installation's lib/ (the
    exchange would take it away)."""
    app_real = os.path.realpath(app_dir)
    installation_real = os.path.realpath(installation)
    if _under(installation_real, app_real) or installation_real == app_real:
        raise PackError(
            "%s: the installation lies inside the application directory %s"
            % (installation, app_dir)
        )
    if _under(app_real, os.path.join(installation_real, "lib")):
        raise PackError(
            "%s: the application lies inside the installation's lib/, which "
            "packing replaces" % app_dir
        )


def startup_file(as_source: bool) -> str:
    return analysis.STARTUP + (".py" if as_source else ".pyc")


# ---------------------------------------------------------------- planning


def previous_manifest(runtime: Runtime) -> Dict[str, object]:
    try:
        with open(os.path.join(runtime.lib_dir, MANIFEST)) as f:
            return json.load(f)
    except (OSError, ValueError):
        return {}


def runtime_entries(runtime: Runtime) -> List[str]:
    """Entries of lib/ that belong to the runtime's install step and are
    carried over unchanged: all but the packed application's, the module
    archive and the standard library's modules."""
    owned = set(previous_manifest(runtime).get("entries", []))
    extension_names = set(os.listdir(runtime.record["extension_dir"]))
    kept = []
    for name in sorted(os.listdir(runtime.lib_dir)):
        if name in owned or name in (ARCHIVE, MANIFEST) or name in extension_names:
            continue
        if name.startswith(STAGING_PREFIX) or name in analysis.NOT_SHIPPED_NAMES:
            continue
        kept.append(name)
    return kept


def _submodules(directory: str, package: str) -> List[str]:
    names = [package]
    root = os.path.join(directory, *package.split("."))
    for base, dirs, files in os.walk(root):
        dirs[:] = sorted(
            d
            for d in dirs
            if analysis.valid_module_part(d)
            and os.path.isfile(os.path.join(base, d, "__init__.py"))
        )
        prefix = os.path.relpath(base, directory).replace(os.sep, ".")
        for name in sorted(files):
            if name.endswith(".py") and name != "__init__.py":
                names.append(prefix + "." + name[:-3])
            elif base != root and name == "__init__.py":
                names.append(prefix)
    return names


def _whole_stdlib_roots(runtime: Runtime) -> List[str]:
    roots = []
    for directory in (runtime.record["stdlib_dir"], runtime.record["extension_dir"]):
        for name in sorted(os.listdir(directory)):
            stem = name.split(".", 1)[0]
            path = os.path.join(directory, name)
            if (
                stem in NOT_IN_WHOLE_STDLIB
                or stem.startswith("_test")
                or not analysis.valid_module_part(stem)
            ):
                continue
            if os.path.isfile(os.path.join(path, "__init__.py")):
                roots += _submodules(directory, stem)
            elif os.path.isfile(path) and name.endswith((".py",) + analysis.EXTENSION_SUFFIXES):
                roots.append(stem)
    return roots


def _under(path: str, directory: str) -> bool:
    directory = os.path.realpath(directory)
    return os.path.realpath(path).startswith(directory + os.sep)


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


def analyse(app: analysis.Application, runtime: Runtime, options: Options) -> Plan:
    """Decides every file of the new lib/ and what to warn about."""
    paths = [os.path.abspath(p) for p in options.paths]
    for path in paths:
        if not os.path.isdir(path):
            raise PackError("--path %s: not a directory" % path)
    closure, third_party, probed = find_closure(app, runtime, options, paths)
    files: Files = {}
    display: Dict[str, str] = {}
    counts = [0, 0, 0]  # modules, extension modules, data files
    _place_standard_library(closure, runtime, files, display, counts)
    for top in sorted(third_party):
        for path in paths:
            if os.path.exists(os.path.join(path, top)) or _top_files(path, top):
                _place_tree(path, top, files, display, options.as_source, counts)
                for info in _dist_info(path, top):
                    _place_tree(path, info, files, display, True, counts)
                break
    app_count = _place_application(app, options, files, display, counts)
    warnings = unresolved_warnings(closure, runtime.record["stdlib_dir"], probed, options.verbose)
    for relative, (kind, source) in list(files.items()):
        if kind == "copy" and relative.endswith(analysis.EXTENSION_SUFFIXES):
            files[relative] = ("binary", source)
    copies, missing_libraries = _native_libraries(files, runtime)
    for soname, source in copies.items():
        files[soname] = ("binary", source)
    warnings += ["library %s not found (needed by %s)" % item for item in missing_libraries]
    not_shipped = [f.relative for f in app.files if f.role == "skipped"]
    report = Report(
        counts[0], app_count, counts[1], len(copies), counts[2], 0, not_shipped, warnings
    )
    return Plan(files, display, report)


def find_closure(
    app: analysis.Application, runtime: Runtime, options: Options, paths: List[str]
) -> Tuple[analysis.Closure, Set[str], Set[str]]:
    """The modules the application needs, the third-party top-level names
    among them (shipped whole), and the modules that C modules import as
    they load (some of which their parents make at run time)."""
    stdlib_dir = runtime.record["stdlib_dir"]
    extension_dir = runtime.record["extension_dir"]
    search_path = [os.path.abspath(app.app_dir), stdlib_dir, extension_dir] + paths
    codes: Dict[str, object] = {}

    def code_of(name: str, origin: str) -> Optional[object]:
        if not origin.endswith(".py"):
            return None
        if origin not in codes:
            codes[origin] = analysis.compile_source(origin, origin)
        return codes[origin]

    def follow_function_import(name: str, origin: str, target: str) -> bool:
        # The standard library imports inside functions what few runs need
        # (the traceback module alone would pull in hundreds of modules);
        # only its packages' lazy imports of their own parts are followed.
        if not _under(origin, stdlib_dir):
            return True
        return target.split(".")[0] == name.split(".")[0] and "." in name + target

    app_modules = [f.module for f in app.files if f.role in ("module", "extension")]
    roots = ["sys"] + list(analysis.RUNTIME_ROOTS) + list(options.includes) + app_modules
    if options.freeze_gc:
        roots.append("gc")
    if options.whole_stdlib:
        roots += _whole_stdlib_roots(runtime)
    third_party: Set[str] = set()
    probed: Dict[str, List[str]] = {}
    from_c_modules: Set[str] = set()
    while True:
        closure = analysis.bytecode_imports_closure(
            roots, search_path, follow_function_import, code_of, set(options.excludes)
        )
        added = []
        for trigger, packages in WHOLE_PACKAGES.items():
            if trigger in closure.modules:
                for package in packages:
                    if package not in closure.modules or package in closure.packages:
                        added += _submodules(stdlib_dir, package)
        for name, origin in closure.modules.items():
            top = name.split(".")[0]
            for path in paths:
                if top not in third_party and (
                    _under(origin, path)
                    or (origin == "namespace" and os.path.isdir(os.path.join(path, top)))
                ):
                    third_party.add(top)
                    added += _third_party_modules(path, top)
        # C modules that import Python modules as they load.
        c_modules = [
            n
            for n, o in closure.modules.items()
            if n not in probed
            and (
                o == "built-in"
                or (o.endswith(analysis.EXTENSION_SUFFIXES) and _under(o, extension_dir))
            )
        ]
        probed.update(analysis.c_module_imports(c_modules))
        from_c_modules.update(m for n in c_modules for m in probed.get(n, []))
        added += sorted(from_c_modules)
        added = [n for n in added if n not in closure.modules and n not in roots]
        if not added:
            return closure, third_party, from_c_modules
        roots += added


def _place_standard_library(
    closure: analysis.Closure,
    runtime: Runtime,
    files: Files,
    display: Dict[str, str],
    counts: List[int],
) -> None:
    stdlib_dir = runtime.record["stdlib_dir"]
    extension_dir = runtime.record["extension_dir"]
    for name, origin in sorted(closure.modules.items()):
        if origin in ("built-in", "frozen", "namespace"):
            continue
        if _under(origin, extension_dir):
            files[os.path.basename(origin)] = ("copy", origin)
            counts[1] += 1
        elif _under(origin, stdlib_dir) and origin.endswith(".py"):
            relative = os.path.relpath(origin, stdlib_dir).replace(os.sep, "/")
            files[relative + "c"] = ("compile", origin)
            display[relative + "c"] = relative
            counts[0] += 1


def _place_application(
    app: analysis.Application,
    options: Options,
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
    files[startup_file(False)] = (
        "text",
        startup.startup_module_source(entry_module, app.entry_function, options.freeze_gc),
    )
    display[startup_file(False)] = "<pack-app>/" + analysis.STARTUP + ".py"
    return app_count


def unresolved_warnings(
    closure: analysis.Closure, stdlib_dir: str, made_at_run_time: Set[str], each: bool = False
) -> List[str]:
    """One warning for each import that was not found, with its importer;
    the standard library's imports for other systems are counted in one
    (listed too when each is true). Modules in made_at_run_time need no file."""
    warnings = []
    seen = set()
    stdlib_misses = 0
    for missing, importer in closure.unresolved:
        if (
            missing in PROVIDED_AT_RUN_TIME
            or (missing, importer) in seen
            or (importer == "(root)" and missing in made_at_run_time)
        ):
            continue
        seen.add((missing, importer))
        origin = closure.modules.get(importer, "")
        if importer != "(root)" and (_under(origin, stdlib_dir) or origin == "frozen"):
            stdlib_misses += 1
            if not each:
                continue
        warnings.append(
            "module %s not found (%s)"
            % (
                missing,
                "given with --include" if importer == "(root)" else "imported by " + importer,
            )
        )
    if stdlib_misses:
        warnings.append(
            "%d imports inside the standard library are not available on this "
            "platform and were left out (normal: they serve other systems%s)"
            % (stdlib_misses, "" if each else "; --verbose lists them")
        )
    return warnings


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


def _top_files(path: str, top: str) -> List[str]:
    """A third-party top-level module's files: top.py or its extension module."""
    return [
        name
        for name in os.listdir(path)
        if name == top + ".py"
        or (name.startswith(top + ".") and name.endswith(analysis.EXTENSION_SUFFIXES))
    ]


def _third_party_modules(path: str, top: str) -> List[str]:
    if not os.path.isdir(os.path.join(path, top)):
        return [top]
    names = []
    for base, dirs, files in os.walk(os.path.join(path, top)):
        dirs[:] = sorted(d for d in dirs if analysis.valid_module_part(d))
        prefix = os.path.relpath(base, path).replace(os.sep, ".")
        names.append(prefix)
        for name in sorted(files):
            module, role = analysis.module_of(name)
            if module and module != "__init__":
                names.append(prefix + "." + module)
    return names


def _dist_info(path: str, top: str) -> List[str]:
    """The installed-distribution metadata directories that own top, so
    that importlib.metadata still answers for the shipped package."""
    found = []
    for name in sorted(os.listdir(path)):
        if not name.endswith(".dist-info"):
            continue
        owned = set()
        for listing, column in (("top_level.txt", None), ("RECORD", 0)):
            try:
                with open(os.path.join(path, name, listing)) as f:
                    for line in f:
                        entry = line.split(",")[0] if column == 0 else line
                        owned.add(entry.strip().split("/")[0].split(".")[0])
            except OSError:
                pass
        if top in owned:
            found.append(name)
    return found


def _place_tree(
    path: str, top: str, files: Files, display: Dict[str, str], as_source: bool, counts: List[int]
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
        entries = [(name, os.path.join(path, name)) for name in _top_files(path, top)]
    for relative, full in entries:
        module, role = analysis.module_of(relative)
        if role == "module" and not as_source:
            files[relative + "c"] = ("compile", full)
            display[relative + "c"] = relative
        else:
            files[relative] = ("copy", full)
        counts[{"module": 0, "extension": 1, "data": 2}[role]] += 1


# ---------------------------------------------------------------- writing


def empty_archive(path: str) -> None:
    """A valid module archive with no members: the search path's first
    entry, which then costs next to nothing on every import."""
    with zipfile.ZipFile(path, "w"):
        pass


def _carry_over(source: str, target: str) -> None:
    """Recreates source at target with hard links: the same files, untouched."""
    if os.path.islink(source):
        os.symlink(os.readlink(source), target)
    elif os.path.isdir(source):
        os.mkdir(target)
        shutil.copystat(source, target)
        for name in os.listdir(source):
            _carry_over(os.path.join(source, name), os.path.join(target, name))
    else:
        try:
            os.link(source, target)
        except OSError:
            shutil.copy2(source, target)


def write_lib(plan: Plan, runtime: Runtime, stage_lib: str, entries: List[str]) -> int:
    """Writes the new lib/ into stage_lib; returns its size in bytes."""
    os.mkdir(stage_lib)
    shutil.copystat(runtime.lib_dir, stage_lib)
    for name in entries:
        _carry_over(os.path.join(runtime.lib_dir, name), os.path.join(stage_lib, name))
    for relative, (kind, source) in sorted(plan.files.items()):
        target = os.path.join(stage_lib, *relative.split("/"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        if kind == "compile":
            with open(target, "wb") as f:
                f.write(analysis.bytecode_file(source, plan.display_names.get(relative, relative)))
        elif kind == "text":
            with open(target, "wb") as f:
                f.write(
                    analysis.pyc_contents(
                        compile(source, plan.display_names[relative], "exec", dont_inherit=True)
                    )
                )
        else:
            shutil.copyfile(source, target)
            shutil.copymode(source, target)
            if kind == "binary":
                os.chmod(target, 0o755)
                native.clear_search_paths(target)
    empty_archive(os.path.join(stage_lib, ARCHIVE))
    owned = sorted({r.split("/", 1)[0] for r in plan.files} | {ARCHIVE})
    with open(os.path.join(stage_lib, MANIFEST), "w") as f:
        json.dump({"entries": owned, "files": sorted(plan.files)}, f, indent=1)
        f.write("\n")
    total = 0
    for base, _, names in os.walk(stage_lib):
        for name in names:
            total += os.lstat(os.path.join(base, name)).st_size
    return total


def _exchange(a: str, b: str) -> None:
    """Swaps two directories in one step (Linux renameat2 RENAME_EXCHANGE)."""
    libc = ctypes.CDLL(None, use_errno=True)
    at_fdcwd, rename_exchange = -100, 2
    if libc.renameat2(at_fdcwd, os.fsencode(a), at_fdcwd, os.fsencode(b), rename_exchange) != 0:
        code = ctypes.get_errno()
        raise OSError(code, "cannot exchange %s and %s: %s" % (a, b, os.strerror(code)))


def remove_leftovers(installation: str) -> None:
    """Removes what an interrupted run left: its staging directories."""
    for name in os.listdir(installation):
        if name.startswith(STAGING_PREFIX):
            shutil.rmtree(os.path.join(installation, name), ignore_errors=True)


def lock_installation(installation: str) -> int:
    """Holds the installation for this run; refuses a concurrent one."""
    fd = os.open(installation, os.O_RDONLY)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError as error:
        os.close(fd)
        if error.errno in (errno.EWOULDBLOCK, errno.EAGAIN):
            raise PackError("%s: another pack-app is packing into it" % installation)
        raise
    return fd


def pack(app_dir: str, installation: str, options: Options) -> Report:
    """Checks everything, then replaces the installation's application."""
    runtime = read_installation(installation)
    check_interpreter(runtime)
    app = analysis.check_application(app_dir, options.entry)
    check_apart(app_dir, installation)
    check_names(app, runtime)
    lock = lock_installation(installation)
    # Interrupted before the exchange, the run stops and undoes its work;
    # from the exchange on, it finishes the pack and then takes the signal.
    committed = []
    deferred = []

    def interrupt(signum: int, frame: object) -> None:
        if not committed:
            raise KeyboardInterrupt
        deferred.append(signum)

    previous = {s: signal.signal(s, interrupt) for s in (signal.SIGINT, signal.SIGTERM)}
    stage = os.path.join(installation, "%s%d" % (STAGING_PREFIX, os.getpid()))
    try:
        remove_leftovers(installation)
        plan = analyse(app, runtime, options)
        os.mkdir(stage)
        stage_lib = os.path.join(stage, "lib")
        total = write_lib(plan, runtime, stage_lib, runtime_entries(runtime))
        committed.append(True)
        _exchange(stage_lib, runtime.lib_dir)
    finally:
        shutil.rmtree(stage, ignore_errors=True)
        for number, handler in previous.items():
            signal.signal(number, handler)
        os.close(lock)
    if deferred:
        signal.raise_signal(deferred[0])
    return plan.report._replace(total_bytes=total)
