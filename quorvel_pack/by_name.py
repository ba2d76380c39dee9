"""Imports that no import statement shows, recognised in the bytecode:
modules that a package imports by a name it keeps as a string (a plugin
registry, a table of formats), and the modules that a lazy "moves" table
stands for."""

import re
from types import CodeType
from typing import Iterator, List, Mapping, NamedTuple, Optional, Set

IMPORTERS_BY_NAME = frozenset({"__import__", "import_module"})
DOTTED = re.compile(r"[A-Za-z_][A-Za-z0-9_]*(\.[A-Za-z_][A-Za-z0-9_]*)*\Z")


class NameConstants(NamedTuple):
    """What a module's code holds that may name modules: whether it
    imports by name, its dotted strings, and the plain names listed in its
    constant tuples (registries of submodules)."""

    imports_by_name: bool
    dotted: Set[str]
    listed: Set[str]


def _codes(code: CodeType) -> Iterator[CodeType]:
    yield code
    for constant in code.co_consts:
        if isinstance(constant, CodeType):
            yield from _codes(constant)


def name_constants(code: CodeType) -> NameConstants:
    imports_by_name = False
    dotted: Set[str] = set()
    listed: Set[str] = set()
    for nested in _codes(code):
        # Calls from functions and class bodies (a module's own code may
        # merely define or store the name).
        if nested is not code and IMPORTERS_BY_NAME & set(nested.co_names):
            imports_by_name = True
        for constant in nested.co_consts:
            if isinstance(constant, str) and "." in constant and DOTTED.match(constant):
                dotted.add(constant)
            elif isinstance(constant, tuple):
                listed.update(c for c in constant if isinstance(c, str) and DOTTED.match(c))
    return NameConstants(imports_by_name, dotted, listed)


def candidates(module: str, is_package: bool, constants: NameConstants) -> List[str]:
    """Names of modules of module's own top-level package that its string
    constants may name: dotted strings inside that package, and listed
    names relative to module's package."""
    top = module.split(".")[0]
    package = module if is_package else module.rpartition(".")[0]
    found = {name for name in constants.dotted if name.split(".")[0] == top}
    if package:
        found.update(package + "." + name for name in constants.listed)
    found.discard(module)
    return sorted(found)


def moved_module(target: str, moves: Mapping[str, Mapping[str, str]]) -> Optional[str]:
    """The standard-library module that target names through a moves table
    (six.moves.queue, or a vendored copy's pkg.packages.six.moves.queue),
    None when target is not inside one."""
    for table_name, table in moves.items():
        marker = table_name + "."
        for start in (0,) + tuple(m.end() for m in re.finditer(r"\.", target)):
            if target.startswith(marker, start) and (start == 0 or target[start - 1] == "."):
                rest = target[start + len(marker) :]
                # The longest name of the table that rest begins with.
                for length in range(rest.count(".") + 1, 0, -1):
                    head = ".".join(rest.split(".")[:length])
                    if head in table:
                        return table[head] + rest[len(head) :]
                return None
    return None


def is_moves_table(target: str, moves: Mapping[str, Mapping[str, str]]) -> bool:
    """Whether target is a moves table itself (six.moves, pkg.six.moves)."""
    return any(target == name or target.endswith("." + name) for name in moves)
