"""A virtual X display for the tests that look at real windows."""

import os
import subprocess
import unittest
from typing import Tuple, Type


def start_xvfb() -> Tuple[subprocess.Popen, str]:
    """Xvfb on a display number it picks itself among the free ones:
    (server process, display name). -noreset: by default the server resets
    whenever its last client leaves, and a program starting at that moment
    cannot connect."""
    read_end, write_end = os.pipe()
    server = subprocess.Popen(
        [
            "Xvfb",
            "-displayfd",
            str(write_end),
            "-screen",
            "0",
            "1024x768x24",
            "-nolisten",
            "tcp",
            "-noreset",
        ],
        pass_fds=(write_end,),
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    os.close(write_end)
    with os.fdopen(read_end) as announced:
        number = announced.readline().strip()
    if not number:
        server.kill()
        server.wait()
        raise RuntimeError("Xvfb did not start")
    return server, ":" + number


def shared_display(test_class: Type[unittest.TestCase]) -> str:
    """A virtual display for all of test_class's tests: started now (from
    its setUpClass), stopped once they are done."""
    server, display = start_xvfb()

    def stop_server() -> None:
        server.kill()
        server.wait()

    test_class.addClassCleanup(stop_server)
    return display
