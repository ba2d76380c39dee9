"""What an application is made of.

The application directory is read once into a list of files, each with its
role (module, extension module, data, not shipped); every refusal about the
application itself is raised here, and its sources are compiled here.
"""

import dis
import importlib.machinery
import importlib.util
import keyword
import marshal
import os
from types import CodeType
from typing import Dict, Iterable, Iterator, List, Literal, NamedTuple, Optional, Set, Tuple

from . import PackError, fs
from .identity import PROJECT_FILE

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


# What a file of the application is: a module (source), an extension
# module, a data file, or left behind ("skipped").
Role = Literal["module", "extension", "data", "skipped"]


class AppFile(NamedTuple):
    """One file of the application: its path relative to the application
    directory (with /), its role and, for modules, the module name."""

    relative: str
    role: Role
    module: Optional[str]


class Application(NamedTuple):
    app_dir: str
    files: List[AppFile]
    entry_module: str  # the module whose function the start-up calls
    entry_function: str


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
) -> Tuple[Optional[str], Role]:
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


def _check_entry_name(app_dir: str, root: str, path: str, relative: str) -> None:
    """Refuses a name that cannot be shipped and a link that leads out."""
    name = os.path.basename(path)
    if not _utf8(name):
        raise PackError(
            "%r: file name is not valid UTF-8" % os.fsencode(os.path.join(app_dir, relative))
        )
    if "\\" in name:
        raise PackError("%s: a backslash in a file name" % relative)
    if os.path.islink(path):
        if not fs.inside(path, root):
            raise PackError("%s: symlink leads outside %s" % (relative, app_dir))
        if not os.path.exists(path):
            raise PackError("%s: dangling symlink" % relative)


def _not_shipped(name: str, top_level: bool) -> bool:
    # The application directory itself is no package: its modules are
    # top-level modules. Its pyproject.toml is read by the packing, not
    # by the application.
    return (
        name in NOT_SHIPPED_NAMES
        or name.endswith(NOT_SHIPPED_SUFFIXES)
        or (top_level and name in ("__init__.py", PROJECT_FILE))
    )


def application_files(
    app_dir: str, extension_suffixes: Tuple[str, ...] = EXTENSION_SUFFIXES
) -> List[AppFile]:
    """Every file below app_dir with its role, at any depth; refuses names
    that cannot be shipped (not UTF-8, not valid module names), symlinks
    leading out, and two files of one module name."""
    if not os.path.isdir(app_dir):
        raise PackError("%s: not a directory" % app_dir)
    root = os.path.realpath(app_dir)
    files: List[AppFile] = []
    # The directories being read, innermost last: (names left, path, prefix, real path).
    reading: List[Tuple[Iterator[str], str, str, str]] = []
    entered: Set[str] = set()  # their real paths: a symlink to one of them is a loop

    def enter(directory: str, prefix: str, real: str) -> None:
        if real in entered:
            raise PackError("%s: symlinks form a loop" % directory)
        entered.add(real)
        reading.append((iter(sorted(os.listdir(directory))), directory, prefix, real))

    enter(app_dir, "", root)
    while reading:
        names, directory, prefix, real = reading[-1]
        name = next(names, None)
        if name is None:
            reading.pop()
            entered.discard(real)
            continue
        path = os.path.join(directory, name)
        _check_entry_name(app_dir, root, path, prefix + name)
        if os.path.isdir(path) and not _not_shipped(name, not prefix):
            linked = os.path.islink(path)
            enter(
                path, prefix + name + "/", os.path.realpath(path) if linked else real + "/" + name
            )
        else:
            files.append(_app_file(path, prefix, name, extension_suffixes))
    for item in files:
        if item.module is not None and not all(
            valid_module_part(part) for part in item.module.split(".")
        ):
            raise PackError("%s: not a valid module name (%r)" % (item.relative, item.module))
    check_one_file_per_module(files)
    return files


def _app_file(path: str, prefix: str, name: str, extension_suffixes: Tuple[str, ...]) -> AppFile:
    """A file, or a directory left behind, of the application."""
    relative = prefix + name
    if _not_shipped(name, not prefix):
        return AppFile(relative + ("/" if os.path.isdir(path) else ""), "skipped", None)
    if not os.path.isfile(path):
        return AppFile(relative, "skipped", None)
    module, role = module_of(relative, extension_suffixes)
    return AppFile(relative, role, module)


def _is_package_init(item: AppFile) -> bool:
    return os.path.basename(item.relative).startswith("__init__.")


def check_one_file_per_module(files: List[AppFile]) -> None:
    """Refuses two files for one module name: a module beside a package of
    its name (the interpreter takes the package if it has an __init__, the
    module otherwise; the developer rarely means either), or two modules
    (a source beside an extension module)."""
    defined: Dict[str, AppFile] = {}
    for item in files:
        if item.module is None:
            continue
        first = defined.setdefault(item.module, item)
        if first is item:
            continue
        module, package = (first, item) if _is_package_init(item) else (item, first)
        if _is_package_init(package):
            directory = package.relative[: -len(os.path.basename(package.relative))]
            raise PackError(
                "%s and %s: a module and a package of the same name; rename one"
                % (module.relative, directory)
            )
        raise PackError(
            "%s and %s: two modules of the same name; rename one" % (first.relative, item.relative)
        )
    for item in files:
        parts = (item.module or "").split(".")
        for end in range(1, len(parts)):
            parent = defined.get(".".join(parts[:end]))
            if parent is not None and not _is_package_init(parent):
                raise PackError(
                    "%s and %s/: a module and a package of the same name; rename one"
                    % (parent.relative, "/".join(item.relative.split("/")[:end]))
                )


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


def module_names(
    paths: Iterable[str], extension_suffixes: Tuple[str, ...] = EXTENSION_SUFFIXES
) -> Set[str]:
    """The top-level names that imports find among paths (relative, with /,
    a directory's with a / at the end): the directories, which may be
    packages, and the modules, sources, bytecode or extension modules. Only
    these can shadow a module: data files of any name do not."""
    names = set()
    for path in paths:
        first, slash, _ = path.partition("/")
        module, role = module_of(first, extension_suffixes)
        if slash:
            module = first
        elif first.endswith(".pyc"):
            module = first[: -len(".pyc")]
        elif role == "data":
            continue
        if module and valid_module_part(module):
            names.add(module)
    return names


def compile_source(path: str, display_name: str) -> CodeType:
    """The code object of a source file; a syntax error is a refusal."""
    with open(path, "rb") as f:
        source = f.read()
    try:
        code: CodeType = compile(source, display_name, "exec", dont_inherit=True)
        return code
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


def pyc_contents(code: CodeType) -> bytes:
    """A bytecode file of code that needs no source beside it: the header
    of an unchecked hash-based file, so that no source is looked for."""
    return importlib.util.MAGIC_NUMBER + b"\x01\x00\x00\x00" + bytes(8) + marshal.dumps(code)


def bytecode_file(source_path: str, display_name: str) -> bytes:
    """The bytecode file of a source file; tracebacks name display_name."""
    return pyc_contents(compile_source(source_path, display_name))


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


def defines(code: CodeType, name: str) -> bool:
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
