"""The search as text: one line per iteration, then the result."""

from typing import Iterator, Sequence

from demoapp.minimize import Iteration

HEADER = "%4s  %22s  %12s  %12s  %5s" % ("iter", "f", "|gradient|", "step", "evals")


def start_line(start: Sequence[float]) -> str:
    return "Minimising the Rosenbrock function from (%s)" % ", ".join("%g" % v for v in start)


def iteration_line(state: Iteration) -> str:
    return "%4d  %22.15e  %12.6e  %12.6e  %5d" % (
        state.number,
        state.f,
        state.gradient_norm,
        state.step,
        state.evaluations,
    )


def point_text(x: Sequence[float]) -> str:
    return "(%s)" % ", ".join("%.10f" % v for v in x)


def converged_line(last: Iteration) -> str:
    return "converged after %d iterations and %d evaluations" % (last.number, last.evaluations)


def minimum_line(last: Iteration) -> str:
    return "minimum f = %.6e at x = %s" % (last.f, point_text(last.x))


def print_search(states: Iterator[Iteration]) -> None:
    """Prints each state as it comes, then the result."""
    last = next(states)
    print(start_line(last.x))
    print(HEADER)
    print(iteration_line(last))
    for last in states:
        print(iteration_line(last))
    print(converged_line(last))
    print(minimum_line(last))


def summary(states: Iterator[Iteration]) -> str:
    """The outcome in a few lines, for a box that shows only the result."""
    history = list(states)
    last = history[-1]
    return "\n".join(
        [
            start_line(history[0].x),
            converged_line(last),
            minimum_line(last),
            "last line search: %s" % last.task,
        ]
    )
