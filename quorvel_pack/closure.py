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
from typing import Callable, Dict, Iterable, List, NamedTuple, Optional, Set, Tuple

from . import PackError, analysis, fs
from .installation import Runtime
from .options import PackOptions

# Roots of every installation: what the runtime imports while it starts (the
# codecs, looked up by name), and what the launcher imports to report an
# uncaught exception.
RUNTIME_ROOTS = ("encodings", "traceback")

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


def module_imports(code: object) -> List[Import]:
    """Import statements of a code object and of the code nested in it."""
    found: List[Import] = []

    def scan(code: object, in_function: bool) -> None:
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
            if hasattr(constant, "co_code"):
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


def bytecode_imports_closure(
    roots: Iterable[str],
    search_path: List[str],
    follow_function_import: Callable[[str, str, str], bool],
    code_of: Callable[[str, str], Optional[object]],
    excluded: Set[str],
) -> Closure:
    """Modules reachable from roots through import statements.

    search_path: directories searched in order for top-level modules.
    follow_function_import(module, origin, target): whether an import of
    target inside a function of module is followed. code_of(module, origin):
    its code object, or None.
    Names in excluded, and their submodules, are neither shipped nor followed.
    """
    modules: Dict[str, str] = {}
    packages: Set[str] = set()
    locations: Dict[str, List[str]] = {}
    unresolved: List[Tuple[str, str]] = []
    missing: Set[str] = set()
    pending: List[Tuple[str, str]] = [(root, "") for root in roots]

    def is_excluded(name: str) -> bool:
        return any(name == e or name.startswith(e + ".") for e in excluded)

    def find(name: str) -> Optional[str]:
        """Finds name (its parents first); returns its origin or None."""
        if name in modules:
            return modules[name]
        if name in missing or is_excluded(name):
            return None
        parent, _, last = name.rpartition(".")
        if parent:
            if find(parent) is None or parent not in packages:
                missing.add(name)
                return None
            spec = importlib.machinery.PathFinder.find_spec(last, locations[parent])
        elif name in sys.builtin_module_names:
            modules[name] = "built-in"
            return "built-in"
        else:
            spec = importlib.machinery.PathFinder.find_spec(name, search_path)
            if spec is None and importlib.machinery.FrozenImporter.find_spec(name):
                modules[name] = "frozen"
                return "frozen"
        if spec is None:
            missing.add(name)
            return None
        origin = spec.origin if spec.has_location else "namespace"
        modules[name] = origin
        if spec.submodule_search_locations is not None:
            packages.add(name)
            locations[name] = list(spec.submodule_search_locations)
        pending.append((name, origin))
        return origin

    queue_roots = list(pending)
    pending.clear()
    for root, _ in queue_roots:
        if find(root) is None and not is_excluded(root):
            unresolved.append((root, "(root)"))
    while pending:
        name, origin = pending.pop()
        if origin in ("built-in", "frozen", "namespace"):
            continue
        code = code_of(name, origin)
        if code is None:
            continue
        for item in module_imports(code):
            target = resolve_relative(name, name in packages, item)
            if item.in_function and not follow_function_import(name, origin, target or ""):
                continue
            if target is None:
                unresolved.append(("." * item.level + item.name, name))
                continue
            if is_excluded(target):
                continue
            if find(target) is None:
                unresolved.append((target, name))
                continue
            if target in packages:
                for sub in item.fromlist:
                    if sub != "*":
                        # An attribute of the package, or a submodule.
                        find(target + "." + sub)
    return Closure(modules, packages, unresolved)


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
    return json.loads(result.stdout)


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


def find_closure(
    app: analysis.Application, runtime: Runtime, options: PackOptions, paths: List[str]
) -> Tuple[Closure, Set[str], Set[str]]:
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
        if not fs.inside(origin, stdlib_dir):
            return True
        return target.split(".")[0] == name.split(".")[0] and "." in name + target

    app_modules = [f.module for f in app.files if f.role in ("module", "extension")]
    roots = ["sys"] + list(RUNTIME_ROOTS) + list(options.includes) + app_modules
    if options.freeze_gc:
        roots.append("gc")
    if options.whole_stdlib:
        roots += _whole_stdlib_roots(runtime)
    third_party: Set[str] = set()
    probed: Dict[str, List[str]] = {}
    from_c_modules: Set[str] = set()
    while True:
        closure = bytecode_imports_closure(
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
                    fs.inside(origin, path)
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
                or (o.endswith(analysis.EXTENSION_SUFFIXES) and fs.inside(o, extension_dir))
            )
        ]
        probed.update(c_module_imports(c_modules))
        from_c_modules.update(m for n in c_modules for m in probed.get(n, []))
        added += sorted(from_c_modules)
        added = [n for n in added if n not in closure.modules and n not in roots]
        if not added:
            return closure, third_party, from_c_modules
        roots += added


def unresolved_warnings(
    closure: Closure, stdlib_dir: str, made_at_run_time: Set[str], each: bool = False
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
        if importer != "(root)" and (fs.inside(origin, stdlib_dir) or origin == "frozen"):
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
    for base, dirs, files in os.walk(os.path.join(path, top)):
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
