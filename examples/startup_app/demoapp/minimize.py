"""A quasi-Newton (BFGS) minimiser built on the native line search."""

from demoapp.linesearch import line_search
from demoapp.native import dot, norm

MAX_ITERATIONS = 200


def _identity(n):
    return [[1.0 if i == j else 0.0 for j in range(n)] for i in range(n)]


def _times(libraries, matrix, v):
    return [dot(libraries, row, v) for row in matrix]


def _bfgs_update(libraries, h, s, y):
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


def minimize(libraries, fun, start, gradient_tolerance):
    """Minimise fun (returning value and gradient) from start.

    Prints one line per iteration; returns a dict with x, f, iterations and
    evaluations.
    """
    x = list(start)
    f, grad = fun(x)
    evaluations = 1
    h = _identity(len(x))
    step = 0.0
    print("%4s  %22s  %12s  %12s  %5s" % ("iter", "f", "|gradient|", "step", "evals"))
    for iteration in range(MAX_ITERATIONS + 1):
        gradient_norm = norm(libraries, grad)
        print(
            "%4d  %22.15e  %12.6e  %12.6e  %5d" % (iteration, f, gradient_norm, step, evaluations)
        )
        if gradient_norm <= gradient_tolerance:
            return {"x": x, "f": f, "iterations": iteration, "evaluations": evaluations}
        if iteration == MAX_ITERATIONS:
            break
        direction = [-v for v in _times(libraries, h, grad)]
        if not dot(libraries, grad, direction) < 0.0:
            # Lost descent: restart from steepest descent.
            h = _identity(len(x))
            direction = [-v for v in grad]
        first_step = 1.0 if iteration else min(1.0, 1.0 / gradient_norm)
        step, new_x, new_f, new_grad, used = line_search(
            libraries, fun, x, f, grad, direction, first_step
        )
        evaluations += used
        s = [a - b for a, b in zip(new_x, x)]
        y = [a - b for a, b in zip(new_grad, grad)]
        h = _bfgs_update(libraries, h, s, y)
        x, f, grad = new_x, new_f, new_grad
    error = RuntimeError("No convergence in %d iterations." % MAX_ITERATIONS)
    error.caption = "Demo: no convergence"
    raise error
