"""A quasi-Newton (BFGS) minimiser built on the native line search."""

from typing import Iterator, List, NamedTuple, Sequence

from demoapp.errors import with_caption
from demoapp.linesearch import Objective, line_search
from demoapp.native import Libraries, dot, norm

MAX_ITERATIONS = 200

Matrix = List[List[float]]


class Iteration(NamedTuple):
    """The state after one accepted step (number 0: the start point)."""

    number: int
    x: List[float]
    f: float
    gradient_norm: float
    step: float
    evaluations: int
    # The line search's final task text for this step; empty for the start.
    task: str


def _identity(n: int) -> Matrix:
    return [[1.0 if i == j else 0.0 for j in range(n)] for i in range(n)]


def _times(libraries: Libraries, matrix: Matrix, v: List[float]) -> List[float]:
    return [dot(libraries, row, v) for row in matrix]


def _bfgs_update(libraries: Libraries, h: Matrix, s: List[float], y: List[float]) -> Matrix:
    """Inverse-Hessian update; skipped when the curvature pair is unusable."""
    sy = dot(libraries, s, y)
    if not sy > 0.0:
        return h
    rho = 1.0 / sy
    hy = _times(libraries, h, y)
    scale = (1.0 + rho * dot(libraries, y, hy)) * rho
    n = len(s)
    return [
        [h[i][j] + scale * s[i] * s[j] - rho * (hy[i] * s[j] + s[i] * hy[j]) for j in range(n)]
        for i in range(n)
    ]


def iterate(
    libraries: Libraries, fun: Objective, start: Sequence[float], gradient_tolerance: float
) -> Iterator[Iteration]:
    """Minimise fun (returning value and gradient) from start, one step per
    item: the start point, then each accepted step. The last item meets the
    gradient tolerance; without convergence the iterator raises instead.
    """
    x = list(start)
    f, grad = fun(x)
    evaluations = 1
    h = _identity(len(x))
    step = 0.0
    task = ""
    for iteration in range(MAX_ITERATIONS + 1):
        gradient_norm = norm(libraries, grad)
        yield Iteration(iteration, x, f, gradient_norm, step, evaluations, task)
        if gradient_norm <= gradient_tolerance:
            return
        if iteration == MAX_ITERATIONS:
            break
        direction = [-v for v in _times(libraries, h, grad)]
        if not dot(libraries, grad, direction) < 0.0:
            # Lost descent: restart from steepest descent.
            h = _identity(len(x))
            direction = [-v for v in grad]
        first_step = 1.0 if iteration else min(1.0, 1.0 / gradient_norm)
        found = line_search(libraries, fun, x, f, grad, direction, first_step)
        evaluations += found.evaluations
        s = [a - b for a, b in zip(found.x, x)]
        y = [a - b for a, b in zip(found.grad, grad)]
        h = _bfgs_update(libraries, h, s, y)
        x, f, grad, step, task = found.x, found.f, found.grad, found.step, found.task
    raise with_caption(
        RuntimeError("No convergence in %d iterations." % MAX_ITERATIONS), "Demo: no convergence"
    )
