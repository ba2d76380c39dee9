"""The rule lists of packing, kept as data in data/*.json and read here
only: each file is checked for its shape when it is loaded, and a damaged
one is refused in one line. Each file's "about" says what its lists mean."""

import functools
import json
import os
from dataclasses import dataclass
from typing import Dict, FrozenSet, Literal, Mapping, Optional, Tuple

from . import PackError

DATA_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")

Shape = Literal["text", "names", "table", "tables", "records"]
SHAPES: Dict[Shape, str] = {
    "text": "a string",
    "names": "a list of distinct non-empty strings",
    "table": "an object whose values are lists of distinct non-empty strings",
    "tables": "an object whose values are objects of non-empty strings",
    "records": "a list of objects of non-empty strings",
}


@dataclass(frozen=True)
class NameRule:
    """Names matched whole, and the beginnings of names."""

    names: FrozenSet[str]
    prefixes: Tuple[str, ...]


@dataclass(frozen=True)
class StdlibImports:
    whole_packages: Mapping[str, Tuple[str, ...]]
    provided_at_run_time: FrozenSet[str]
    run_time_imports: Mapping[str, Tuple[str, ...]]


@dataclass(frozen=True)
class OutsideData:
    """A directory of the system shipped into lib/ with the module when."""

    when: str
    source: str
    target: str
    environment: Optional[str]


@dataclass(frozen=True)
class ThirdPartyImports:
    moves: Mapping[str, Mapping[str, str]]
    outside_data: Tuple[OutsideData, ...]
    test_suite_directories: FrozenSet[str]
    test_suite_files: FrozenSet[str]


OUTSIDE_DATA_KEYS = ({"when", "source", "target"}, {"environment"})


def _is_names(value: object) -> bool:
    return (
        isinstance(value, list)
        and all(isinstance(item, str) and item for item in value)
        and len(set(value)) == len(value)
    )


def _is_strings(value: object) -> bool:
    return isinstance(value, dict) and all(isinstance(v, str) and v for v in value.values())


def _fits(value: object, shape: Shape) -> bool:
    if shape == "text":
        return isinstance(value, str)
    if shape == "names":
        return _is_names(value)
    if shape == "records":
        return isinstance(value, list) and all(_is_strings(item) for item in value)
    check = _is_names if shape == "table" else _is_strings
    return isinstance(value, dict) and all(check(item) for item in value.values())


def load(file_name: str, shape: Mapping[str, Shape], data_dir: str = DATA_DIR) -> Dict[str, object]:
    """The object in data_dir/file_name, with exactly the keys of shape,
    each value of its shape; a PackError naming the file otherwise."""
    path = os.path.join(data_dir, file_name)
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
    except (OSError, ValueError) as error:
        raise PackError("%s: unreadable rule list (%s)" % (path, error))
    if not isinstance(data, dict) or set(data) != set(shape):
        raise PackError(
            "%s: expected an object with the keys %s" % (path, ", ".join(sorted(shape)))
        )
    for key, kind in shape.items():
        if not _fits(data[key], kind):
            raise PackError("%s: %s must be %s" % (path, key, SHAPES[kind]))
    return data


def _names(data: Dict[str, object], key: str) -> Tuple[str, ...]:
    value = data[key]
    assert isinstance(value, list)
    return tuple(str(item) for item in value)


def _name_rule(file_name: str) -> NameRule:
    data = load(file_name, {"about": "text", "names": "names", "prefixes": "names"})
    return NameRule(frozenset(_names(data, "names")), _names(data, "prefixes"))


@functools.lru_cache(maxsize=None)
def stdlib_left_out() -> NameRule:
    return _name_rule("stdlib_left_out.json")


def left_out_of_stdlib(name: str) -> bool:
    """Whether a file or directory of the standard library is left out: by
    its name up to the first dot, or by how its name begins."""
    rule = stdlib_left_out()
    return name.split(".", 1)[0] in rule.names or name.startswith(rule.prefixes)


@functools.lru_cache(maxsize=None)
def linux_base_libraries() -> FrozenSet[str]:
    data = load("linux_base_libraries.json", {"about": "text", "sonames": "names"})
    return frozenset(_names(data, "sonames"))


@functools.lru_cache(maxsize=None)
def windows_system_dlls() -> NameRule:
    return _name_rule("windows_system_dlls.json")


@functools.lru_cache(maxsize=None)
def stdlib_imports() -> StdlibImports:
    data = load(
        "stdlib_imports.json",
        {
            "about": "text",
            "whole_packages": "table",
            "provided_at_run_time": "names",
            "run_time_imports": "table",
        },
    )
    return StdlibImports(
        _table(data, "whole_packages"),
        frozenset(_names(data, "provided_at_run_time")),
        _table(data, "run_time_imports"),
    )


def _table(data: Dict[str, object], key: str) -> Dict[str, Tuple[str, ...]]:
    table = data[key]
    assert isinstance(table, dict)
    return {str(name): tuple(value) for name, value in table.items()}


def _outside_data(records: object) -> Tuple[OutsideData, ...]:
    assert isinstance(records, list)
    required, optional = OUTSIDE_DATA_KEYS
    found = []
    for record in records:
        if not required <= set(record) <= required | optional:
            raise PackError(
                "%s: each of outside_data has the keys %s and may have %s"
                % (os.path.join(DATA_DIR, "third_party_imports.json"), sorted(required), optional)
            )
        found.append(
            OutsideData(
                record["when"], record["source"], record["target"], record.get("environment")
            )
        )
    return tuple(found)


@functools.lru_cache(maxsize=None)
def third_party_imports() -> ThirdPartyImports:
    data = load(
        "third_party_imports.json",
        {
            "about": "text",
            "moves": "tables",
            "outside_data": "records",
            "test_suite_directories": "names",
            "test_suite_files": "names",
        },
    )
    moves = data["moves"]
    assert isinstance(moves, dict)
    return ThirdPartyImports(
        {str(name): dict(table) for name, table in moves.items()},
        _outside_data(data["outside_data"]),
        frozenset(_names(data, "test_suite_directories")),
        frozenset(_names(data, "test_suite_files")),
    )
