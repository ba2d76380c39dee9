"""The rule lists of packing, kept as data in data/*.json and read here
only: each file is checked for its shape when it is loaded, and a damaged
one is refused in one line. Each file's "about" says what its lists mean."""

import functools
import json
import os
from dataclasses import dataclass
from typing import Dict, FrozenSet, Literal, Mapping, Tuple

from . import PackError

DATA_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")

Shape = Literal["text", "names", "table"]
SHAPES: Dict[Shape, str] = {
    "text": "a string",
    "names": "a list of distinct non-empty strings",
    "table": "an object whose values are lists of distinct non-empty strings",
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


def _is_names(value: object) -> bool:
    return (
        isinstance(value, list)
        and all(isinstance(item, str) and item for item in value)
        and len(set(value)) == len(value)
    )


def _fits(value: object, shape: Shape) -> bool:
    if shape == "text":
        return isinstance(value, str)
    if shape == "names":
        return _is_names(value)
    return isinstance(value, dict) and all(_is_names(item) for item in value.values())


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


@functools.lru_cache(maxsize=None)
def stdlib_left_out() -> NameRule:
    data = load("stdlib_left_out.json", {"about": "text", "names": "names", "prefixes": "names"})
    return NameRule(frozenset(_names(data, "names")), _names(data, "prefixes"))


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
    data = load(
        "windows_system_dlls.json", {"about": "text", "names": "names", "prefixes": "names"}
    )
    return NameRule(frozenset(_names(data, "names")), _names(data, "prefixes"))


@functools.lru_cache(maxsize=None)
def stdlib_imports() -> StdlibImports:
    data = load(
        "stdlib_imports.json",
        {"about": "text", "whole_packages": "table", "provided_at_run_time": "names"},
    )
    table = data["whole_packages"]
    assert isinstance(table, dict)
    return StdlibImports(
        {str(key): tuple(value) for key, value in table.items()},
        frozenset(_names(data, "provided_at_run_time")),
    )
