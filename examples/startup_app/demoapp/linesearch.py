"""One line search driven through dcsrch_ by reverse communication."""

import ctypes
from typing import Callable, List, NamedTuple, Tuple

from demoapp.errors import with_caption
from demoapp.native import TASK_LENGTH, Libraries, dot, line_search_state_sizes

FTOL = 1e-4
GTOL = 0.9
XTOL = 0.1
STPMAX = 1e10
MAX_EVALUATIONS = 40

# Value and gradient at a point.
Objective = Callable[[List[float]], Tuple[float, List[float]]]


class Step(NamedTuple):
    """The accepted step along the direction, the point it leads to and the
    search's final task text."""

    step: float
    x: List[float]
    f: float
    grad: List[float]
    evaluations: int
    task: str


def _failure(message: str) -> RuntimeError:
    return with_caption(RuntimeError(message), "Demo: line search failed")


def line_search(
    libraries: Libraries,
    fun: Objective,
    x: List[float],
    f: float,
    grad: List[float],
    direction: List[float],
    stp: float,
) -> Step:
    """A step along direction that meets the strong Wolfe conditions.

    A warning from the search is accepted when the step still lowered f.
    """
    c_double = ctypes.c_double
    step, f_c = c_double(stp), c_double(f)
    g_c = c_double(dot(libraries, grad, direction))
    ftol, gtol, xtol = c_double(FTOL), c_double(GTOL), c_double(XTOL)
    stpmin, stpmax = c_double(0.0), c_double(STPMAX)
    task = ctypes.create_string_buffer(TASK_LENGTH)
    task.raw = b"START".ljust(TASK_LENGTH)
    isave_size, dsave_size = line_search_state_sizes()
    isave = (ctypes.c_int * isave_size)()
    dsave = (c_double * dsave_size)()
    byref = ctypes.byref
    new_x, new_f, new_grad = x, f, grad
    evaluations = 0
    while True:
        libraries["linesearch"].dcsrch_(
            byref(step),
            byref(f_c),
            byref(g_c),
            byref(ftol),
            byref(gtol),
            byref(xtol),
            task,
            byref(stpmin),
            byref(stpmax),
            isave,
            dsave,
            TASK_LENGTH,
        )
        text = task.raw.decode("ascii", "replace").rstrip()
        if not text.startswith("FG"):
            break
        if evaluations == MAX_EVALUATIONS:
            raise _failure("No acceptable step after %d evaluations." % evaluations)
        new_x = [xi + step.value * di for xi, di in zip(x, direction)]
        new_f, new_grad = fun(new_x)
        evaluations += 1
        f_c.value = new_f
        g_c.value = dot(libraries, new_grad, direction)
    if text.startswith("CONV") or (text.startswith("WARN") and new_f < f):
        return Step(step.value, new_x, new_f, new_grad, evaluations, text)
    raise _failure("The line search stopped: %s" % text)
