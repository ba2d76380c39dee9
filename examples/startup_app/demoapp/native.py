"""Access to the installation's native libraries through ctypes.

Every routine takes its arguments by address; the line search's task text
adds its length as a C int passed by value after the declared arguments.
"""

import ctypes
import os
import re
import sys
from typing import Dict, Sequence, Tuple

from demoapp.errors import with_caption

TASK_LENGTH = 60

_double_p = ctypes.POINTER(ctypes.c_double)
_int_p = ctypes.POINTER(ctypes.c_int)

# The loaded libraries by name: "linesearch" and "blaswrap".
Libraries = Dict[str, ctypes.CDLL]


def library_dir() -> str:
    # The launcher names the program by its full path; the libraries sit in
    # lib beside it, wherever the installation was copied to.
    return os.path.join(os.path.dirname(os.path.abspath(sys.executable)), "lib")


def library_path(name: str) -> str:
    if sys.platform == "win32":
        return os.path.join(library_dir(), name + ".dll")
    return os.path.join(library_dir(), "lib" + name + ".so")


def header_path(name: str) -> str:
    return os.path.join(os.path.dirname(library_dir()), "include", name)


def line_search_state_sizes() -> Tuple[int, int]:
    """(isave, dsave) lengths, read from the installed public header.

    The header is the one place where the sizes of the state arrays are
    written; the installation carries it in include beside lib.
    """
    path = header_path("linesearch.h")
    try:
        with open(path, encoding="ascii") as header:
            text = header.read()
    except OSError as error:
        with_caption(error, "Demo: line search header missing")
        raise
    sizes = []
    for array in ("ISAVE", "DSAVE"):
        match = re.search(r"^#define LINESEARCH_%s_SIZE (\d+)$" % array, text, re.MULTILINE)
        if match is None:
            raise with_caption(
                RuntimeError("%s does not define LINESEARCH_%s_SIZE." % (path, array)),
                "Demo: line search header unreadable",
            )
        sizes.append(int(match.group(1)))
    return sizes[0], sizes[1]


def _load(name: str) -> ctypes.CDLL:
    path = library_path(name)
    try:
        return ctypes.CDLL(path)
    except OSError as error:
        with_caption(error, "Demo: native library missing")
        raise


def load_libraries() -> Libraries:
    """Both libraries with the prototypes of the routines used here."""
    linesearch = _load("linesearch")
    blaswrap = _load("blaswrap")
    linesearch.dcsrch_.restype = None
    linesearch.dcsrch_.argtypes = (
        [_double_p] * 6
        + [ctypes.POINTER(ctypes.c_char)]
        + [_double_p] * 2
        + [_int_p, _double_p, ctypes.c_int]
    )
    blaswrap.f2pywrapddot_.restype = None
    blaswrap.f2pywrapddot_.argtypes = [
        _double_p,
        _int_p,
        _double_p,
        _int_p,
        _double_p,
        _int_p,
        _int_p,
        _int_p,
    ]
    blaswrap.f2pywrapdnrm2_.restype = None
    blaswrap.f2pywrapdnrm2_.argtypes = [_double_p, _int_p, _double_p, _int_p, _int_p]
    return {"linesearch": linesearch, "blaswrap": blaswrap}


def vector(values: Sequence[float]) -> "ctypes.Array[ctypes.c_double]":
    return (ctypes.c_double * len(values))(*values)


def dot(libraries: Libraries, x: Sequence[float], y: Sequence[float]) -> float:
    """x . y for two vectors of equal length."""
    result = ctypes.c_double()
    n = ctypes.c_int(len(x))
    one = ctypes.c_int(1)
    # The wrapper hands its second to sixth arguments to the BLAS routine as
    # count, x, increment of x, y, increment of y; the last two only ride along.
    blaswrap = libraries["blaswrap"]
    blaswrap.f2pywrapddot_(
        ctypes.byref(result),
        ctypes.byref(n),
        vector(x),
        ctypes.byref(one),
        vector(y),
        ctypes.byref(one),
        ctypes.byref(one),
        ctypes.byref(one),
    )
    return result.value


def norm(libraries: Libraries, x: Sequence[float]) -> float:
    """Euclidean norm of x."""
    result = ctypes.c_double()
    n = ctypes.c_int(len(x))
    one = ctypes.c_int(1)
    libraries["blaswrap"].f2pywrapdnrm2_(
        ctypes.byref(result), ctypes.byref(n), vector(x), ctypes.byref(one), ctypes.byref(one)
    )
    return result.value
