"""The Rosenbrock function of any even dimension: minimum 0 at (1, ..., 1)."""


def rosenbrock(x):
    """Value and gradient at x, a sequence of floats."""
    f = 0.0
    grad = [0.0] * len(x)
    for i in range(0, len(x) - 1, 2):
        a = x[i + 1] - x[i] * x[i]
        b = 1.0 - x[i]
        f += 100.0 * a * a + b * b
        grad[i] = -400.0 * x[i] * a - 2.0 * b
        grad[i + 1] = 200.0 * a
    return f, grad
