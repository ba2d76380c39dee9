"""Which modules an application needs: the import statements in the
bytecode of the application, of the standard library and of the third-party
directories, followed transitively, and what the interpreter's C modules
import when they load. Third-party packages are shipped whole, with their
distribution metadata."""

import dis
import importlib.machinery
import json
import os
import subprocess
import sys
from dataclasses import dataclass, field
from types import CodeType
from typing import Callable, Dict, Iterable, List, NamedTuple, Optional, Set, Tuple

from . import PackError, analysis, fs, rules
from .installation import Runtime
from .options import PackOptions

# Roots of every installation: what the runtime imports while it starts (the
# codecs, looked up by name), and what the launcher imports to report an
# uncaught exception.
RUNTIME_ROOTS = ("encodings", "traceback")


class Import(NamedTuple):
    """One import statement: `from ... import` names in fromlist, relative
    imports with level > 0; in_function when it runs only when called."""

    name: str
    level: int
    fromlist: Tuple[str, ...]
    in_function: bool


class Closure(NamedTuple):
    """Modules found by the analysis: name -> spec origin (file path, or
    "built-in"/"frozen"/"namespace"), and what could not be found."""

    modules: Dict[str, str]
    packages: Set[str]
    unresolved: List[Tuple[str, str]]  # (missing name, importing module)


def module_imports(code: CodeType) -> List[Import]:
    """Import statements of a code object and of the code nested in it."""
    found: List[Import] = []

    def scan(code: CodeType, in_function: bool) -> None:
        constants: List[object] = []
        for instruction in dis.get_instructions(code):
            if instruction.opname == "LOAD_CONST":
                constants.append(instruction.argval)
                continue
            if instruction.opname == "IMPORT_NAME" and len(constants) >= 2:
                level, fromlist = constants[-2], constants[-1]
                if isinstance(level, int):
                    names = tuple(fromlist) if isinstance(fromlist, tuple) else ()
                    found.append(Import(instruction.argval, level, names, in_function))
            constants = []
        for constant in code.co_consts:
            if isinstance(constant, CodeType):
                # Class bodies run at import; functions only when called.
                nested_is_function = bool(constant.co_flags & 0x02)  # CO_NEWLOCALS
                scan(constant, in_function or nested_is_function)

    scan(code, False)
    return found


def resolve_relative(importing: str, is_package: bool, item: Import) -> Optional[str]:
    """The absolute name a relative import refers to, None when it leaves the top."""
    if item.level == 0:
        return item.name
    parts = importing.split(".")
    if not is_package:
        parts = parts[:-1]
    if item.level - 1 > len(parts) or (item.level - 1 == len(parts) and not item.name):
        return None
    base = parts[: len(parts) - (item.level - 1)]
    if item.name:
        base.append(item.name)
    return ".".join(base) or None


# Origins of modules that have no file to read.
NOT_FILES = ("built-in", "frozen", "namespace")
# The importer of the roots, in unresolved imports.
ROOT = "(root)"


@dataclass
class _Search:
    """The state of one closure search."""

    search_path: List[str]
    excluded: Set[str]
    modules: Dict[str, str] = field(default_factory=dict)
    packages: Set[str] = field(default_factory=set)
    locations: Dict[str, List[str]] = field(default_factory=dict)
    missing: Set[str] = field(default_factory=set)
    unresolved: List[Tuple[str, str]] = field(default_factory=list)
    pending: List[Tuple[str, str]] = field(default_factory=list)


def _is_excluded(name: str, excluded: Set[str]) -> bool:
    return any(name == e or name.startswith(e + ".") for e in excluded)


def _find(search: _Search, name: str) -> Optional[str]:
    """Finds name, its parents first (from the top: a package may be
    nested deeper than the interpreter's recursion goes); returns its
    origin or None."""
    parts = name.split(".")
    origin = None
    for end in range(1, len(parts) + 1):
        origin = _find_one(search, ".".join(parts[:end]))
        if origin is None:
            return None
    return origin


def _find_one(search: _Search, name: str) -> Optional[str]:
    """Finds name, whose parents have been looked for."""
    if name in search.modules:
        return search.modules[name]
    if name in search.missing or _is_excluded(name, search.excluded):
        return None
    parent = name.rpartition(".")[0]
    if parent and (parent not in search.modules or parent not in search.packages):
        search.missing.add(name)
        return None
    origin = _locate(search, name, parent)
    if origin is None:
        search.missing.add(name)
        return None
    search.modules[name] = origin
    return origin


def _locate(search: _Search, name: str, parent: str) -> Optional[str]:
    """The origin of name, whose parent package has been found; a module
    with a location is queued for reading, a package's locations noted."""
    if parent:
        spec = importlib.machinery.PathFinder.find_spec(
            name.rpartition(".")[2], search.locations[parent]
        )
    elif name in sys.builtin_module_names:
        return "built-in"
    else:
        spec = importlib.machinery.PathFinder.find_spec(name, search.search_path)
        if spec is None and importlib.machinery.FrozenImporter.find_spec(name):
            return "frozen"
    if spec is None:
        return None
    origin = spec.origin if spec.has_location and spec.origin else "namespace"
    if spec.submodule_search_locations is not None:
        search.packages.add(name)
        search.locations[name] = list(spec.submodule_search_locations)
    search.pending.append((name, origin))
    return origin


def _follow(search: _Search, importer: str, item: Import, target: Optional[str]) -> None:
    """Finds what one import statement of importer names."""
    if target is None:
        search.unresolved.append(("." * item.level + item.name, importer))
        return
    if _is_excluded(target, search.excluded):
        return
    if _find(search, target) is None:
        search.unresolved.append((target, importer))
        return
    if target in search.packages:
        for sub in item.fromlist:
            if sub != "*":
                # An attribute of the package, or a submodule.
                _find(search, target + "." + sub)


def bytecode_imports_closure(
    roots: Iterable[str],
    search_path: List[str],
    follow_function_import: Callable[[str, str, str], bool],
    code_of: Callable[[str, str], Optional[CodeType]],
    excluded: Set[str],
) -> Closure:
    """Modules reachable from roots through import statements.

    search_path: directories searched in order for top-level modules.
    follow_function_import(module, origin, target): whether an import of
    target inside a function of module is followed. code_of(module, origin):
    its code object, or None.
    Names in excluded, and their submodules, are neither shipped nor followed.
    """
    search = _Search(search_path, excluded)
    for root in roots:
        if _find(search, root) is None and not _is_excluded(root, excluded):
            search.unresolved.append((root, ROOT))
    while search.pending:
        name, origin = search.pending.pop()
        code = None if origin in NOT_FILES else code_of(name, origin)
        for item in module_imports(code) if code is not None else ():
            target = resolve_relative(name, name in search.packages, item)
            if not item.in_function or follow_function_import(name, origin, target or ""):
                _follow(search, name, item, target)
    return Closure(search.modules, search.packages, search.unresolved)


def c_module_imports(names: Iterable[str], python: str = sys.executable) -> Dict[str, List[str]]:
    """Python modules that the named C modules import when they load, found
    by importing each in a fresh isolated interpreter."""
    names = sorted(names)
    if not names:
        return {}
    probe = (
        "import json, sys\n"
        "found = {}\n"
        "for name in sys.argv[1:]:\n"
        "    before = set(sys.modules)\n"
        "    try:\n"
        "        __import__(name)\n"
        "    except Exception:\n"
        "        pass\n"
        "    found[name] = sorted(set(sys.modules) - before - {name})\n"
        "print(json.dumps(found))\n"
    )
    result = subprocess.run(
        [python, "-I", "-S", "-c", probe, *names],
        capture_output=True,
        text=True,
        timeout=120,
    )
    if result.returncode != 0:
        raise PackError(
            "probing the interpreter's C modules failed: %s"
            % result.stderr.strip().splitlines()[-1:]
        )
    found: Dict[str, List[str]] = json.loads(result.stdout)
    return found


def _submodules(directory: str, package: str) -> List[str]:
    names = [package]
    root = os.path.join(directory, *package.split("."))
    for base, dirs, files in fs.walk(root):
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
            if rules.left_out_of_stdlib(name) or not analysis.valid_module_part(stem):
                continue
            if os.path.isfile(os.path.join(path, "__init__.py")):
                roots += _submodules(directory, stem)
            elif os.path.isfile(path) and name.endswith((".py",) + analysis.EXTENSION_SUFFIXES):
                roots.append(stem)
    return roots


class Needed(NamedTuple):
    """What an application needs: the closure of its imports, the
    third-party top-level names among them (shipped whole), and the modules
    that C modules import as they load (some of which their parents make at
    run time, so that no file is to be found)."""

    closure: Closure
    third_party: Set[str]
    from_c_modules: Set[str]


def _code_reader() -> Callable[[str, str], Optional[CodeType]]:
    """code_of for bytecode_imports_closure: sources compiled once each."""
    codes: Dict[str, CodeType] = {}

    def code_of(name: str, origin: str) -> Optional[CodeType]:
        if not origin.endswith(".py"):
            return None
        if origin not in codes:
            codes[origin] = analysis.compile_source(origin, origin)
        return codes[origin]

    return code_of


def _stdlib_function_imports(stdlib_dir: str) -> Callable[[str, str, str], bool]:
    """follow_function_import for bytecode_imports_closure."""

    def follow(name: str, origin: str, target: str) -> bool:
        # The standard library imports inside functions what few runs need
        # (the traceback module alone would pull in hundreds of modules);
        # only its packages' lazy imports of their own parts are followed.
        if not fs.inside(origin, stdlib_dir):
            return True
        return target.split(".")[0] == name.split(".")[0] and "." in name + target

    return follow


def _roots(app: analysis.Application, runtime: Runtime, options: PackOptions) -> List[str]:
    app_modules = [f.module for f in app.files if f.module is not None]
    roots = ["sys", *RUNTIME_ROOTS, *options.includes, *app_modules]
    if options.freeze_gc:
        roots.append("gc")
    if options.whole_stdlib:
        roots += _whole_stdlib_roots(runtime)
    return roots


def _whole_packages(closure: Closure, stdlib_dir: str) -> List[str]:
    """The modules of the packages shipped whole that the closure triggers."""
    added = []
    for trigger, packages in rules.stdlib_imports().whole_packages.items():
        if trigger in closure.modules:
            for package in packages:
                if package not in closure.modules or package in closure.packages:
                    added += _submodules(stdlib_dir, package)
    return added


def _new_third_party(closure: Closure, paths: List[str], third_party: Set[str]) -> List[str]:
    """The modules of third-party top-level names that the closure reached
    for the first time, which are added to third_party."""
    added = []
    for name, origin in closure.modules.items():
        top = name.split(".")[0]
        for path in paths:
            if top not in third_party and (
                fs.inside(origin, path)
                or (origin == "namespace" and os.path.isdir(os.path.join(path, top)))
            ):
                third_party.add(top)
                added += _third_party_modules(path, top)
    return added


def _is_c_module(origin: str, extension_dir: str) -> bool:
    """A built-in module, or an extension module of the interpreter."""
    return origin == "built-in" or (
        origin.endswith(analysis.EXTENSION_SUFFIXES) and fs.inside(origin, extension_dir)
    )


def find_closure(
    app: analysis.Application, runtime: Runtime, options: PackOptions, paths: List[str]
) -> Needed:
    """The modules the application needs, found again until the packages
    shipped whole, the third-party packages and what C modules import add
    nothing new."""
    stdlib_dir = runtime.record["stdlib_dir"]
    extension_dir = runtime.record["extension_dir"]
    search_path = [os.path.abspath(app.app_dir), stdlib_dir, extension_dir] + paths
    code_of = _code_reader()
    follow = _stdlib_function_imports(stdlib_dir)
    roots = _roots(app, runtime, options)
    third_party: Set[str] = set()
    probed: Dict[str, List[str]] = {}
    from_c_modules: Set[str] = set()
    while True:
        closure = bytecode_imports_closure(
            roots, search_path, follow, code_of, set(options.excludes)
        )
        added = _whole_packages(closure, stdlib_dir)
        added += _new_third_party(closure, paths, third_party)
        c_modules = [
            n
            for n, o in closure.modules.items()
            if n not in probed and _is_c_module(o, extension_dir)
        ]
        probed.update(c_module_imports(c_modules))
        from_c_modules.update(m for n in c_modules for m in probed.get(n, []))
        added += sorted(from_c_modules)
        added = [n for n in added if n not in closure.modules and n not in roots]
        if not added:
            return Needed(closure, third_party, from_c_modules)
        roots += added


def _in_standard_library(closure: Closure, importer: str, stdlib_dir: str) -> bool:
    origin = closure.modules.get(importer, "")
    return importer != ROOT and (fs.inside(origin, stdlib_dir) or origin == "frozen")


def unresolved_warnings(needed: Needed, stdlib_dir: str, each: bool = False) -> List[str]:
    """One warning for each import that was not found, with its importer;
    the standard library's imports for other systems are counted in one
    (listed too when each is true). Modules that C modules import as they
    load need no file, and neither do those the standard library sets."""
    provided = rules.stdlib_imports().provided_at_run_time
    warnings = []
    seen = set()
    stdlib_misses = 0
    for missing, importer in needed.closure.unresolved:
        if (
            missing in provided
            or (missing, importer) in seen
            or (importer == ROOT and missing in needed.from_c_modules)
        ):
            continue
        seen.add((missing, importer))
        if _in_standard_library(needed.closure, importer, stdlib_dir):
            stdlib_misses += 1
            if not each:
                continue
        how = "given with --include" if importer == ROOT else "imported by " + importer
        warnings.append("module %s not found (%s)" % (missing, how))
    if stdlib_misses:
        warnings.append(
            "%d imports inside the standard library are not available on this "
            "platform and were left out (normal: they serve other systems%s)"
            % (stdlib_misses, "" if each else "; --verbose lists them")
        )
    return warnings


def top_files(path: str, top: str) -> List[str]:
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
    for base, dirs, files in fs.walk(os.path.join(path, top)):
        dirs[:] = sorted(d for d in dirs if analysis.valid_module_part(d))
        prefix = os.path.relpath(base, path).replace(os.sep, ".")
        names.append(prefix)
        for name in sorted(files):
            module, role = analysis.module_of(name)
            if module and module != "__init__":
                names.append(prefix + "." + module)
    return names


def dist_info(path: str, top: str) -> List[str]:
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
