"""Startup module of the demonstration application.

Minimises the Rosenbrock function with a quasi-Newton method whose line
searches and vector arithmetic run in the installation's own native
libraries. Pass --fail to see how an uncaught error reaches the user.
"""

import sys

from demoapp.minimize import minimize
from demoapp.native import load_libraries
from demoapp.rosenbrock import rosenbrock

START = (-1.2, 1.0)
GRADIENT_TOLERANCE = 1e-8


def fail_on_purpose():
    error = RuntimeError("--fail was given: this error is raised on purpose.")
    error.caption = "Demo: deliberate failure"
    raise error


def run():
    if "--fail" in sys.argv[1:]:
        fail_on_purpose()
    libraries = load_libraries()
    print("Minimising the Rosenbrock function from (%g, %g)" % START)
    result = minimize(libraries, rosenbrock, START, GRADIENT_TOLERANCE)
    print(
        "converged after %d iterations and %d evaluations"
        % (result["iterations"], result["evaluations"])
    )
    print(
        "minimum f = %.6e at x = (%s)" % (result["f"], ", ".join("%.10f" % v for v in result["x"]))
    )
