"""Folders written from, and read into, plain dictionaries."""

import os
from typing import Dict, Mapping, Union


def write_files(root: str, files: Mapping[str, str]) -> None:
    """Creates files from {relative path with /: text}."""
    for relative, text in files.items():
        path = os.path.join(root, *relative.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)


def snapshot(root: str, directories: bool = True) -> Dict[str, Union[bytes, str]]:
    """Every entry below root by its relative path with /: the bytes of a
    file, "-> target" for a symbolic link, "dir" for a directory (left out
    when directories is false)."""
    found: Dict[str, Union[bytes, str]] = {}
    for base, dirs, names in os.walk(root):
        for name in dirs + names:
            path = os.path.join(base, name)
            key = os.path.relpath(path, root).replace(os.sep, "/")
            if os.path.islink(path):
                found[key] = "-> " + os.readlink(path)
            elif os.path.isfile(path):
                with open(path, "rb") as f:
                    found[key] = f.read()
            elif directories:
                found[key] = "dir"
    return found
