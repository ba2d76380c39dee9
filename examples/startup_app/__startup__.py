"""Startup module of the demonstration application.

Minimises the Rosenbrock function with a quasi-Newton method whose line
searches and vector arithmetic run in the installation's own native
libraries, and shows the search: in a window on a desktop, as text in a
terminal, its result in a message box on Windows without Tk. Pass --fail to
see how an uncaught error reaches the user.
"""

import os
import sys

from demoapp.errors import with_caption
from demoapp.minimize import iterate
from demoapp.native import load_libraries
from demoapp.output import present
from demoapp.rosenbrock import rosenbrock

NAME = "Line search demo"
START = (-1.2, 1.0)
GRADIENT_TOLERANCE = 1e-8


def fail_on_purpose() -> None:
    raise with_caption(
        RuntimeError("--fail was given: this error is raised on purpose."),
        "Demo: deliberate failure",
    )


def run() -> None:
    if "--fail" in sys.argv[1:]:
        fail_on_purpose()
    libraries = load_libraries()
    states = iterate(libraries, rosenbrock, START, GRADIENT_TOLERANCE)
    present(NAME, states, sys.platform, os.environ)
