"""Finding, pressing keys in and photographing the windows of a program on a
virtual X display (see virtual_display.py)."""

import os
import re
import subprocess
import time
from typing import Callable, Dict, List, Optional, Sequence, Tuple

from PIL import Image, ImageChops

TIMEOUT = 30  # seconds any one step may take before the test gives up

Colour = Tuple[int, int, int]


def desktop_environment(home: str, **extra: str) -> Dict[str, str]:
    """No inherited display, session, bus or settings: a private home and
    what extra sets (DISPLAY=..., say)."""
    environment = {
        "PATH": "/usr/bin:/bin",
        "LC_ALL": "C",
        "HOME": home,
        "XDG_RUNTIME_DIR": home,
        "XDG_CONFIG_HOME": os.path.join(home, "config"),
        "XDG_CACHE_HOME": os.path.join(home, "cache"),
        # No session bus to find, and none to start; nor does GTK look for
        # the accessibility bus or the settings store.
        "DBUS_SESSION_BUS_ADDRESS": "disabled:",
        "NO_AT_BRIDGE": "1",
        "GSETTINGS_BACKEND": "memory",
    }
    environment.update(extra)
    return environment


def xdotool(display: str, *args: str, check: bool = True) -> str:
    return subprocess.run(
        ["xdotool", *args],
        env={"DISPLAY": display, "PATH": "/usr/bin:/bin"},
        capture_output=True,
        text=True,
        timeout=TIMEOUT,
        check=check,
    ).stdout


def window_title(display: str, window: str) -> Optional[str]:
    """The window's title as the program set it (_NET_WM_NAME, UTF-8)."""
    shown = subprocess.run(
        ["xprop", "-display", display, "-id", window, "-notype", "_NET_WM_NAME"],
        env={"LC_ALL": "C.UTF-8", "PATH": "/usr/bin:/bin"},
        capture_output=True,
        timeout=TIMEOUT,
    ).stdout.decode("utf-8")
    quoted = re.match(r'_NET_WM_NAME = "(.*)"$', shown.strip())
    return re.sub(r"\\(.)", r"\1", quoted.group(1)) if quoted else None


def visible_windows(display: str, title: Optional[str] = None) -> List[str]:
    """The visible windows; with a title, those whose whole title is that
    (compared as text, not as a pattern)."""
    found = xdotool(display, "search", "--onlyvisible", "--class", ".", check=False).split()
    if title is None:
        return found
    return [window for window in found if window_title(display, window) == title]


def wait_for_window(display: str, title: str, program: subprocess.Popen) -> Optional[str]:
    """The id of the visible window titled title, once it shows; None when
    the program ends or the time runs out first."""
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        found = visible_windows(display, title)
        if found:
            return found[0]
        if program.poll() is not None:
            return None
        time.sleep(0.1)
    return None


def wait_for_no_window(display: str) -> List[str]:
    """The visible windows left once the last one has gone, or at the deadline."""
    deadline = time.monotonic() + TIMEOUT
    while visible_windows(display) and time.monotonic() < deadline:
        time.sleep(0.1)
    return visible_windows(display)


def require_window(display: str, title: str, program: subprocess.Popen) -> str:
    """wait_for_window, failing with the program's output when none shows."""
    window = wait_for_window(display, title, program)
    if window is None:
        output = program.communicate(timeout=TIMEOUT)
        raise AssertionError("no window titled %r; output: %r" % (title, output))
    return window


def stop(program: subprocess.Popen) -> None:
    """Ends program if it still runs, and reaps it."""
    if program.poll() is None:
        program.kill()
    program.communicate()


def press_key(display: str, window: str, key: str) -> None:
    """A real key press in window, given the input focus first."""
    xdotool(display, "windowfocus", "--sync", window)
    xdotool(display, "key", key)


def screenshot(display: str, window: str, path: str) -> Image.Image:
    """The window's contents as the X server holds them."""
    subprocess.run(
        ["import", "-display", display, "-window", window, path],
        check=True,
        timeout=TIMEOUT,
        capture_output=True,
    )
    with Image.open(path) as image:
        return image.convert("RGB")


def colour_count(image: Image.Image) -> int:
    return len(image.getcolors(maxcolors=image.width * image.height) or ())


def hex_colour(text: str) -> Colour:
    """(r, g, b) of a colour written #rrggbb."""
    return (int(text[1:3], 16), int(text[3:5], 16), int(text[5:7], 16))


def has_colour_near(
    image: Image.Image, centre: Sequence[float], colour: Colour, radius: int = 4
) -> bool:
    """Whether a pixel within radius of centre (x, y) has exactly colour."""
    u, v = round(centre[0]), round(centre[1])
    return any(
        image.getpixel((x, y)) == colour
        for x in range(max(u - radius, 0), min(u + radius + 1, image.width))
        for y in range(max(v - radius, 0), min(v + radius + 1, image.height))
    )


def wait_for_picture(
    display: str, window: str, path: str, shows: Callable[[Image.Image], bool]
) -> Tuple[bool, Image.Image]:
    """Screenshots of the window until one passes shows; (passed, last one)."""
    deadline = time.monotonic() + TIMEOUT
    while True:
        image = screenshot(display, window, path)
        if shows(image) or time.monotonic() > deadline:
            return shows(image), image
        time.sleep(0.2)


def wait_until_still(display: str, window: str, path: str) -> Tuple[bool, Image.Image]:
    """Screenshots of the window until two in a row are the same: whatever
    it animates has come to an end. (stood still, last one)"""
    previous = screenshot(display, window, path)

    def unchanged(image: Image.Image) -> bool:
        nonlocal previous
        same = ImageChops.difference(previous, image).getbbox() is None
        previous = image
        return same

    time.sleep(0.2)
    return wait_for_picture(display, window, path, unchanged)
