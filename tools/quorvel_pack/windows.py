"""The runnable Windows folder from a Windows installation and the
interpreter's embeddable package."""

import argparse

from . import PackError


def assemble(app_dir: str, installation: str, args: argparse.Namespace) -> None:
    """Turns installation into the runnable folder holding the application."""
    raise PackError("%s: the Windows runtime is not supported yet" % args.runtime)
