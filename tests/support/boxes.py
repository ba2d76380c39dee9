"""The launcher's error boxes as the tests expect them: their captions, and
an environment in which a failing run shows its box on standard error only."""

import os
from typing import Dict

FATAL = "Zundrel Fatal Error"
TERMINATED = "Zundrel: Application Terminated"
MAIN_SCRIPT = "Zundrel: Python error in main script"
UNAVAILABLE = "Zundrel: Python error in main script (traceback unavailable)"


def without_display() -> Dict[str, str]:
    """This process's environment without a graphical session, so that a
    failing run shows its box on standard error only, never as a dialog."""
    return {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
