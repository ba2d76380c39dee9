"""What an application is made of, and which modules it needs.

The application directory is read once into a list of files, each with its
role (module, extension module, data, not shipped); every refusal about the
application itself is raised here. The import analysis follows `import`
statements through the bytecode of the application, of the standard library
and of the third-party directories, and through what the interpreter's C
modules import when they load.
"""

import dis
import importlib.machinery
import importlib.util
import json
import keyword
import marshal
import os
import subprocess
import sys
from typing import Callable, Dict, Iterable, List, NamedTuple, Optional, Set, Tuple

from . import PackError

STARTUP = "__startup__"
# The application's own start-up module is installed under this name; the
# installed __startup__ is generated.
APP_STARTUP = "__app_startup__"
SOURCE_SUFFIXES = tuple(importlib.machinery.SOURCE_SUFFIXES)
EXTENSION_SUFFIXES = tuple(importlib.machinery.EXTENSION_SUFFIXES)
# Left behind without a refusal, each listed: caches and version-control or
# editor files, which belong to the developer's copy, not to the application.
NOT_SHIPPED_NAMES = {
    "__pycache__",
    ".git",
    ".hg",
    ".svn",
    ".mypy_cache",
    ".pytest_cache",
    ".DS_Store",
}
NOT_SHIPPED_SUFFIXES = (".pyc", ".pyo", "~", ".swp")

# Roots of every installation: what the runtime imports while it starts (the
# codecs, looked up by name), and what the launcher imports to report an
# uncaught exception.
RUNTIME_ROOTS = ("encodings", "traceback")


class AppFile(NamedTuple):
    """One file of the application: its path relative to the application
    directory (with /), its role and, for modules, the module name."""

    relative: str
    role: str  # "module", "extension", "data" or "skipped"
    module: Optional[str]


class Application(NamedTuple):
    app_dir: str
    files: List[AppFile]
    entry_module: str  # the module whose function the start-up calls
    entry_function: str


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


def valid_module_part(name: str) -> bool:
    return name.isidentifier() and not keyword.iskeyword(name)


def _utf8(name: str) -> bool:
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def module_of(
    relative: str, extension_suffixes: Tuple[str, ...] = EXTENSION_SUFFIXES
) -> Tuple[Optional[str], str]:
    """(module name, role) of a file by its path (with /), None for data.
    extension_suffixes: those of the target platform's extension modules."""
    parts = relative.split("/")
    base = parts[-1]
    for suffix in extension_suffixes:
        if base.endswith(suffix):
            return ".".join(parts[:-1] + [base[: -len(suffix)]]), "extension"
    if base.endswith(SOURCE_SUFFIXES):
        stem = base[: -len(".py")]
        if stem == "__init__":
            return ".".join(parts[:-1]), "module"
        return ".".join(parts[:-1] + [stem]), "module"
    return None, "data"


def application_files(
    app_dir: str, extension_suffixes: Tuple[str, ...] = EXTENSION_SUFFIXES
) -> List[AppFile]:
    """Every file below app_dir with its role; refuses names that cannot be
    shipped (not UTF-8, not valid module names) and symlinks leading out."""
    if not os.path.isdir(app_dir):
        raise PackError("%s: not a directory" % app_dir)
    root = os.path.realpath(app_dir)
    files: List[AppFile] = []
    visited = set()

    def walk(directory: str, prefix: str) -> None:
        real = os.path.realpath(directory)
        if real in visited:
            raise PackError("%s: symlinks form a loop" % directory)
        visited.add(real)
        for name in sorted(os.listdir(directory)):
            path = os.path.join(directory, name)
            relative = prefix + name
            if not _utf8(name):
                raise PackError(
                    "%r: file name is not valid UTF-8"
                    % os.fsencode(os.path.join(app_dir, relative))
                )
            if "\\" in name:
                raise PackError("%s: a backslash in a file name" % relative)
            if os.path.islink(path):
                target = os.path.realpath(path)
                if target != root and not target.startswith(root + os.sep):
                    raise PackError("%s: symlink leads outside %s" % (relative, app_dir))
                if not os.path.exists(path):
                    raise PackError("%s: dangling symlink" % relative)
            # The application directory itself is no package: its modules
            # are top-level modules.
            top_init = not prefix and name == "__init__.py"
            if name in NOT_SHIPPED_NAMES or name.endswith(NOT_SHIPPED_SUFFIXES) or top_init:
                files.append(
                    AppFile(relative + ("/" if os.path.isdir(path) else ""), "skipped", None)
                )
                continue
            if os.path.isdir(path):
                walk(path, relative + "/")
            elif os.path.isfile(path):
                module, role = module_of(relative, extension_suffixes)
                files.append(AppFile(relative, role, module))
            else:
                files.append(AppFile(relative, "skipped", None))
        visited.discard(real)

    walk(app_dir, "")
    for item in files:
        if item.module is None:
            continue
        parts = item.module.split(".")
        if not all(valid_module_part(part) for part in parts):
            raise PackError("%s: not a valid module name (%r)" % (item.relative, item.module))
    return files


def top_level_names(files: Iterable[AppFile]) -> Set[str]:
    """Names the application takes directly in lib/: top-level modules (by
    module name) and top-level directories and data files (by file name)."""
    names = set()
    for item in files:
        if item.role == "skipped":
            continue
        first, slash, _ = item.relative.partition("/")
        names.add(first if slash or item.module is None else item.module)
    return names


def compile_source(path: str, display_name: str) -> object:
    """The code object of a source file; a syntax error is a refusal."""
    with open(path, "rb") as f:
        source = f.read()
    try:
        return compile(source, display_name, "exec", dont_inherit=True)
    except (SyntaxError, ValueError) as error:
        line = getattr(error, "lineno", None)
        raise PackError(
            "%s%s: %s: %s"
            % (
                display_name,
                ":%d" % line if line else "",
                type(error).__name__,
                getattr(error, "msg", None) or error,
            )
        )


def pyc_contents(code: object) -> bytes:
    """A bytecode file of code that needs no source beside it: the header
    of an unchecked hash-based file, so that no source is looked for."""
    return importlib.util.MAGIC_NUMBER + b"\x01\x00\x00\x00" + bytes(8) + marshal.dumps(code)


def bytecode_file(source_path: str, display_name: str) -> bytes:
    """The bytecode file of a source file; tracebacks name display_name."""
    return pyc_contents(compile_source(source_path, display_name))


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
        [python, "-I", "-S", "-c", probe, *names], capture_output=True, text=True, timeout=120
    )
    if result.returncode != 0:
        raise PackError(
            "probing the interpreter's C modules failed: %s"
            % result.stderr.strip().splitlines()[-1:]
        )
    return json.loads(result.stdout)


def check_entry(app_dir: str, files: List[AppFile], entry: Optional[str]) -> Tuple[str, str]:
    """(module, function) that the start-up calls; refuses an application
    without __startup__.py, or whose entry function is not defined."""
    modules = {f.module: f for f in files if f.role in ("module", "extension")}
    if STARTUP not in modules or modules[STARTUP].relative != STARTUP + ".py":
        raise PackError("%s: no %s.py" % (app_dir, STARTUP))
    if APP_STARTUP in modules:
        raise PackError(
            "%s: the module name %s is the bundler's own"
            % (modules[APP_STARTUP].relative, APP_STARTUP)
        )
    if entry:
        module, colon, function = entry.partition(":")
        if (
            not colon
            or not all(valid_module_part(p) for p in module.split("."))
            or not valid_module_part(function)
        ):
            raise PackError("--entry %s: expected MODULE:FUNCTION" % entry)
    else:
        module, function = STARTUP, "run"
    if module not in modules:
        raise PackError("--entry %s: no module %s in %s" % (entry, module, app_dir))
    if modules[module].role == "module":
        code = compile_source(
            os.path.join(app_dir, *modules[module].relative.split("/")), modules[module].relative
        )
        if not defines(code, function):
            raise PackError(
                "%s: defines no %s()%s"
                % (modules[module].relative, function, "" if entry else " (or give --entry)")
            )
    return module, function


def defines(code: object, name: str) -> bool:
    """Whether module-level code binds name (def, class, assignment or import)."""
    for instruction in dis.get_instructions(code):
        if instruction.opname in ("STORE_NAME", "STORE_GLOBAL") and instruction.argval == name:
            return True
        if instruction.opname == "IMPORT_STAR":
            return True  # cannot tell; the launcher reports it if missing
    return False


def check_application(
    app_dir: str,
    entry: Optional[str] = None,
    extension_suffixes: Tuple[str, ...] = EXTENSION_SUFFIXES,
) -> Application:
    """Reads and checks an application directory for an installation whose
    extension modules end in extension_suffixes (on Windows: (".pyd",));
    raises PackError on the first thing that cannot be shipped."""
    if not os.path.exists(app_dir):
        raise PackError("%s: no such directory" % app_dir)
    files = application_files(app_dir, extension_suffixes)
    module, function = check_entry(app_dir, files, entry)
    for item in files:
        if item.role == "module":
            compile_source(os.path.join(app_dir, *item.relative.split("/")), item.relative)
    return Application(app_dir, files, module, function)
