"""What packing learnt about files that have not changed since: compiled
bytecode, the dynamic sections of binaries and what compiled modules import
as they load, kept in the packing user's cache directory.

An entry is keyed on the identity of the file it describes (path, size,
modification time in nanoseconds) and on the interpreter's bytecode magic,
so a changed file, or another interpreter, misses and is worked out again.
A damaged or unwritable cache only costs time: reads that fail are misses,
writes that fail are dropped."""

import hashlib
import importlib.util
import json
import os
import tempfile
from typing import Callable, Dict, List, Optional, TypeVar

T = TypeVar("T")
DIRECTORY_NAME = "quorvel-pack"


def cache_dir() -> str:
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, DIRECTORY_NAME)


def identity(path: str) -> Optional[str]:
    """path, size and modification time of a file, None if it is not there."""
    try:
        status = os.stat(path)
    except OSError:
        return None
    return "%s\0%d\0%d" % (os.path.realpath(path), status.st_size, status.st_mtime_ns)


def _key(*parts: str) -> str:
    text = "\0".join((importlib.util.MAGIC_NUMBER.hex(),) + parts)
    return hashlib.sha256(text.encode("utf-8", "surrogateescape")).hexdigest()


def _write_atomically(path: str, data: bytes) -> None:
    try:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        handle, temporary = tempfile.mkstemp(dir=os.path.dirname(path), prefix=".tmp-")
        with os.fdopen(handle, "wb") as f:
            f.write(data)
        os.replace(temporary, path)
    except OSError:
        pass


def bytecode(source: str, display_name: str, compile_file: Callable[[str, str], bytes]) -> bytes:
    """The bytecode file of source (as compile_file(source, display_name)
    makes it), from the cache when source has not changed."""
    known = identity(source)
    if known is None:
        return compile_file(source, display_name)
    digest = _key("bytecode", known, display_name)
    path = os.path.join(cache_dir(), "bytecode", digest[:2], digest[2:])
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        pass
    data = compile_file(source, display_name)
    _write_atomically(path, data)
    return data


def _json_path(kind: str, key: str) -> str:
    return os.path.join(cache_dir(), kind, key[:2], key[2:] + ".json")


def remembered_each(
    kind: str, files: List[str], extra: str, work: Callable[[List[str]], Dict[str, T]]
) -> Dict[str, T]:
    """work(files)'s result for each file, looked up file by file: work is
    given only the files that the cache does not know."""
    results: Dict[str, T] = {}
    unknown = []
    for path in files:
        known = identity(path)
        cached = None
        if known is not None:
            try:
                with open(_json_path(kind, _key(kind, extra, known)), encoding="utf-8") as f:
                    cached = json.load(f)
                results[path] = cached["result"]
                continue
            except (OSError, ValueError, KeyError, TypeError):
                pass
        unknown.append(path)
    if unknown:
        fresh = work(unknown)
        for path, result in fresh.items():
            results[path] = result
            known = identity(path)
            if known is not None:
                data = json.dumps({"result": result}).encode("utf-8")
                _write_atomically(_json_path(kind, _key(kind, extra, known)), data)
    return results


def remembered_file(kind: str, path: str, extra: str, work: Callable[[], T]) -> T:
    """work()'s JSON-able result about the file path (together with the
    text extra), from the cache while the file has not changed."""
    return remembered_each(kind, [path], extra, lambda _: {path: work()})[path]
