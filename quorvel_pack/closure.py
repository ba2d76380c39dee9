"""The search for the modules that import statements reach: modules found
the way the import system finds them, their statements followed as a rule
decides, with the imports that no bytecode shows; and what compiled
modules import as they load, found by importing them in a separate
interpreter."""

import importlib.machinery
import json
import os
import subprocess
import sys
from dataclasses import dataclass, field
from types import CodeType
from typing import (
    AbstractSet,
    Any,
    Callable,
    Dict,
    Iterable,
    List,
    Literal,
    Mapping,
    NamedTuple,
    Optional,
    Sequence,
    Set,
    Tuple,
)

from . import PackError, analysis, by_name, fs
from .statements import Import, module_imports


class Closure(NamedTuple):
    """Modules found by the analysis: name -> spec origin (file path, or
    "built-in"/"frozen"/"namespace"), and what could not be found."""

    modules: Dict[str, str]
    packages: Set[str]
    unresolved: List[Tuple[str, str]]  # (missing name, importing module)
    importers: Dict[str, str]  # module -> the module whose import found it first
    lazy: Set[str]  # modules reached only through imports inside functions
    optional: Set[Tuple[str, str]]  # unresolved imports that lazy code makes


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


class ModuleFacts(NamedTuple):
    """What the search reads from a module's code."""

    imports: List[Import]
    constants: by_name.NameConstants


def module_facts(code: CodeType) -> ModuleFacts:
    return ModuleFacts(module_imports(code), by_name.name_constants(code))


def facts_to_json(facts: ModuleFacts) -> Dict[str, Any]:
    """A module's facts as JSON values, to be kept in the cache."""
    constants = facts.constants
    return {
        "imports": [
            [i.name, i.level, list(i.fromlist), i.in_function, sorted(i.where)]
            for i in facts.imports
        ],
        "constants": [
            constants.imports_by_name,
            sorted(constants.dotted),
            sorted(constants.listed),
        ],
    }


def facts_from_json(data: Dict[str, Any]) -> ModuleFacts:
    by_name_flag, dotted, listed = data["constants"]
    return ModuleFacts(
        [
            Import(name, level, tuple(fromlist), in_function, frozenset(where))
            for name, level, fromlist, in_function, where in data["imports"]
        ],
        by_name.NameConstants(bool(by_name_flag), set(dotted), set(listed)),
    )


# How an import is followed: not at all, or finding a module that is
# reached at once or only lazily (through an import inside a function).
Following = Literal["skip", "eager", "lazy"]
# follow(importer, origin, import, absolute target, whether the importer is
# reached lazily): how an import statement is followed.
FollowRule = Callable[[str, str, Import, str, bool], Following]
# facts_of(module, origin): the facts of a module, None for one without code.
FactsReader = Callable[[str, str], Optional[ModuleFacts]]


class Rules(NamedTuple):
    """What a closure search is told: where top-level modules are found, in
    order; what is never shipped or followed (names and their submodules);
    which imports inside functions are followed; each module's facts
    (None for one without code); the imports that no bytecode shows."""

    search_path: List[str]
    excluded: Set[str]
    follow: FollowRule
    facts_of: FactsReader
    run_time_imports: Mapping[str, Sequence[str]] = {}
    moves: Mapping[str, Mapping[str, str]] = {}


@dataclass
class _Search:
    """The state of one closure search."""

    rules: Rules
    modules: Dict[str, str] = field(default_factory=dict)
    packages: Set[str] = field(default_factory=set)
    locations: Dict[str, List[str]] = field(default_factory=dict)
    missing: Set[str] = field(default_factory=set)
    unresolved: List[Tuple[str, str]] = field(default_factory=list)
    pending: List[Tuple[str, str]] = field(default_factory=list)
    importers: Dict[str, str] = field(default_factory=dict)
    lazy: Set[str] = field(default_factory=set)
    optional: Set[Tuple[str, str]] = field(default_factory=set)
    # Names that string constants of a top-level package may import, and
    # the packages that import by name.
    named: Dict[str, Set[str]] = field(default_factory=dict)
    imports_by_name: Set[str] = field(default_factory=set)


def _is_excluded(name: str, excluded: Set[str]) -> bool:
    return any(name == e or name.startswith(e + ".") for e in excluded)


def _find(search: _Search, name: str, importer: str, lazy: bool = False) -> Optional[str]:
    """Finds name, its parents first (from the top: a package may be
    nested deeper than the interpreter's recursion goes); returns its
    origin or None."""
    parts = name.split(".")
    origin = None
    for end in range(1, len(parts) + 1):
        origin = _find_one(search, ".".join(parts[:end]), importer, lazy)
        if origin is None:
            return None
    return origin


def _find_one(search: _Search, name: str, importer: str, lazy: bool) -> Optional[str]:
    """Finds name, whose parents have been looked for. A module found
    lazily before and now at once is read again."""
    if name in search.modules:
        if name in search.lazy and not lazy:
            search.lazy.discard(name)
            search.importers[name] = importer
            search.pending.append((name, search.modules[name]))
        return search.modules[name]
    if name in search.missing or _is_excluded(name, search.rules.excluded):
        return None
    parent = name.rpartition(".")[0]
    if parent and (parent not in search.modules or parent not in search.packages):
        search.missing.add(name)
        return None
    if lazy:
        search.lazy.add(name)
    origin = _locate(search, name, parent)
    if origin is None:
        search.lazy.discard(name)
        search.missing.add(name)
        return None
    search.modules[name] = origin
    search.importers[name] = importer
    return origin


def _locate(search: _Search, name: str, parent: str) -> Optional[str]:
    """The origin of name, whose parent package has been found; a module
    with a location is queued for reading, a package's locations noted."""
    if parent:
        spec = importlib.machinery.PathFinder.find_spec(
            name.rpartition(".")[2], search.locations[parent]
        )
    elif name in sys.builtin_module_names:
        search.pending.append((name, "built-in"))
        return "built-in"
    else:
        spec = importlib.machinery.PathFinder.find_spec(name, search.rules.search_path)
        if spec is None and importlib.machinery.FrozenImporter.find_spec(name):
            search.pending.append((name, "frozen"))
            return "frozen"
    if spec is None:
        return None
    origin = spec.origin if spec.has_location and spec.origin else "namespace"
    if spec.submodule_search_locations is not None:
        search.packages.add(name)
        search.locations[name] = list(spec.submodule_search_locations)
    search.pending.append((name, origin))
    return origin


def _require(search: _Search, name: str, importer: str, lazy: bool) -> None:
    """Finds name, or notes it as an unresolved import of importer."""
    if _find(search, name, importer, lazy) is None:
        search.unresolved.append((name, importer))
        if lazy:
            search.optional.add((name, importer))


def _find_moved(search: _Search, importer: str, item: Import, target: str, lazy: bool) -> bool:
    """Finds what target names through a lazy moves table (the module
    itself, or the names imported from the table); whether it is one."""
    moves = search.rules.moves
    moved = by_name.moved_module(target, moves)
    if moved is not None:
        _require(search, moved, importer, lazy)
        return True
    inside = [by_name.moved_module(target + "." + sub, moves) for sub in item.fromlist]
    for name in inside:
        if name is not None:
            _require(search, name, importer, lazy)
    # Names imported from the table itself may be attributes (six.moves.range).
    return by_name.is_moves_table(target, moves)


def _follow(
    search: _Search, importer: str, item: Import, target: Optional[str], lazy: bool
) -> None:
    """Finds what one import statement of importer names."""
    if target is None:
        named = item.name or ",".join(item.fromlist)
        search.unresolved.append(("." * item.level + named, importer))
        return
    if _is_excluded(target, search.rules.excluded):
        return
    if _find(search, target, importer, lazy) is None:
        if not _find_moved(search, importer, item, target, lazy):
            search.unresolved.append((target, importer))
            if lazy:
                search.optional.add((target, importer))
        return
    if target in search.packages:
        for sub in item.fromlist:
            if sub != "*":
                # An attribute of the package, or a submodule.
                _find(search, target + "." + sub, importer, lazy)


def _note_constants(search: _Search, name: str, constants: by_name.NameConstants) -> None:
    """Finds the modules of name's own package that its string constants
    name, once any module of that package imports by name."""
    top = name.split(".")[0]
    named = search.named.setdefault(top, set())
    named.update(by_name.candidates(name, name in search.packages, constants))
    if constants.imports_by_name:
        search.imports_by_name.add(top)
    if top in search.imports_by_name:
        for candidate in sorted(named):
            # Loaded when looked up by name: like an import inside a function.
            _find(search, candidate, name, True)
        named.clear()


def _read_module(search: _Search, name: str, origin: str) -> None:
    """Follows what one found module imports."""
    lazy = name in search.lazy
    for hidden in search.rules.run_time_imports.get(name, ()):
        _require(search, hidden, name, lazy)
    facts = None if origin in NOT_FILES else search.rules.facts_of(name, origin)
    if facts is None:
        return
    for item in facts.imports:
        target = resolve_relative(name, name in search.packages, item)
        following = search.rules.follow(name, origin, item, target or "", lazy)
        if following != "skip":
            _follow(search, name, item, target, following == "lazy")
    _note_constants(search, name, facts.constants)


def bytecode_imports_closure(
    roots: Iterable[str], rules: Rules, lazy_roots: AbstractSet[str] = frozenset()
) -> Closure:
    """Modules reachable from roots through import statements, through
    the imports that no bytecode shows, and through the modules that a
    package's string constants name when it imports by name. Roots in
    lazy_roots are reached lazily."""
    search = _Search(rules)
    for root in roots:
        found = _find(search, root, ROOT, root in lazy_roots)
        if found is None and not _is_excluded(root, rules.excluded):
            search.unresolved.append((root, ROOT))
    while search.pending:
        _read_module(search, *search.pending.pop())
    return Closure(
        search.modules,
        search.packages,
        search.unresolved,
        search.importers,
        search.lazy,
        search.optional,
    )


def c_module_imports(
    names: Iterable[str], paths: Sequence[str] = (), python: str = sys.executable
) -> Dict[str, List[str]]:
    """Python modules that the named C modules import when they load (with
    the packages they are in), found by importing each in a fresh isolated
    interpreter that also searches paths."""
    names = sorted(names)
    if not names:
        return {}
    probe = (
        "import json, sys\n"
        "sys.path += json.loads(sys.argv[1])\n"
        "found = {}\n"
        "out, sys.stdout = sys.stdout, sys.stderr\n"
        "for name in sys.argv[2:]:\n"
        "    before = set(sys.modules)\n"
        "    try:\n"
        "        __import__(name)\n"
        "    except BaseException:\n"
        "        pass\n"
        "    found[name] = sorted(set(sys.modules) - before - {name})\n"
        "out.write('\\n' + json.dumps(found) + '\\n')\n"
    )
    result = subprocess.run(
        [python, "-I", "-S", "-c", probe, json.dumps(list(paths)), *names],
        capture_output=True,
        text=True,
        timeout=120,
    )
    if result.returncode != 0:
        raise PackError(
            "probing what compiled modules import failed: %s"
            % result.stderr.strip().splitlines()[-1:]
        )
    found: Dict[str, List[str]] = json.loads(result.stdout.strip().splitlines()[-1])
    return found


def submodules(directory: str, package: str) -> List[str]:
    """package and the modules below it, in directory."""
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
