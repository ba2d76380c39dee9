"""Where the search is shown: in a window on a desktop, in a message box on
Windows without Tk, and as text otherwise (a terminal, or no display)."""

import ctypes
import types
from typing import Iterator, Mapping, Optional

from demoapp.minimize import Iteration
from demoapp.report import print_search, summary

MB_OK = 0x0
MB_ICONINFORMATION = 0x40


def _tk_window() -> Optional[types.ModuleType]:
    try:
        from demoapp import window
    except ImportError:  # a Python without Tk, like Windows' embeddable package
        return None
    return window


def wants_window(platform: str, environ: Mapping[str, str]) -> bool:
    """Windows always has a desktop; elsewhere a display names one."""
    return platform == "win32" or bool(environ.get("DISPLAY") or environ.get("WAYLAND_DISPLAY"))


def show_message_box(title: str, text: str) -> None:
    user32 = ctypes.windll.user32  # type: ignore[attr-defined]
    user32.MessageBoxW(None, text, title, MB_OK | MB_ICONINFORMATION)


def present(
    title: str, states: Iterator[Iteration], platform: str, environ: Mapping[str, str]
) -> None:
    """Runs the search, showing it the best way this process can."""
    window = _tk_window() if wants_window(platform, environ) else None
    root = window.open_root(title) if window else None
    if window and root:
        window.show(root, states)
    elif platform == "win32":
        # A windowed program's standard output goes nowhere.
        show_message_box(title, summary(states))
    else:
        print_search(states)
