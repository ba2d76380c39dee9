"""Shows a made-up search the way the demo shows its own, with the platform
named here, and writes the message boxes it asked for to BOXES (JSON): the
demo's choice of output, run for any platform.

usage: demo_output_driver.py PLATFORM BOXES [--without-tk]
       [--hold-at N --release FILE] [--fail-at N]

--without-tk: a Python without Tk. --hold-at: the search waits before its
state N until the file named by --release exists. --fail-at: the search
fails at state N.
"""

import argparse
import ctypes
import json
import os
import sys
import time
import types

sys.path.insert(0, os.path.join(os.environ["QUORVEL_SOURCE_DIR"], "examples", "startup_app"))

# Far apart on the canvas, so that each step is a long line.
POINTS = [(-1.5, 2.5), (-1.0, -0.5), (0.5, 2.5), (1.5, 0.0)]
HOLD_TIMEOUT = 60


def made_up_search(hold_at, release, fail_at):
    from demoapp.errors import with_caption
    from demoapp.minimize import Iteration

    for number, point in enumerate(POINTS):
        if number == hold_at:
            deadline = time.monotonic() + HOLD_TIMEOUT
            while not os.path.exists(release) and time.monotonic() < deadline:
                time.sleep(0.05)
        if number == fail_at:
            raise with_caption(RuntimeError("made-up failure"), "Made up")
        task = "CONVERGENCE" if number else ""
        yield Iteration(number, list(point), 10.0**-number, 1.0, 0.5, 2 * number + 1, task)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("platform")
    parser.add_argument("boxes")
    parser.add_argument("--without-tk", action="store_true")
    parser.add_argument("--hold-at", type=int)
    parser.add_argument("--release")
    parser.add_argument("--fail-at", type=int)
    options = parser.parse_args()
    if options.without_tk:
        sys.modules["tkinter"] = None  # import tkinter now fails
    boxes = []
    user32 = types.SimpleNamespace(MessageBoxW=lambda *args: boxes.append(args) or 1)
    ctypes.windll = types.SimpleNamespace(user32=user32)

    from __startup__ import NAME
    from demoapp.output import present

    states = made_up_search(options.hold_at, options.release, options.fail_at)
    try:
        present(NAME, states, options.platform, os.environ)
    finally:
        with open(options.boxes, "w") as out:
            json.dump(boxes, out)


if __name__ == "__main__":
    main()
