"""What the command line asks of each operation, read once by cli."""

from dataclasses import dataclass
from typing import Optional, Tuple

from .identity import Identity


@dataclass(frozen=True)
class PackOptions:
    """Packing an application into a Linux installation."""

    entry: Optional[str] = None
    as_source: bool = False
    paths: Tuple[str, ...] = ()
    includes: Tuple[str, ...] = ()
    excludes: Tuple[str, ...] = ()
    whole_stdlib: bool = False
    freeze_gc: bool = True
    verbose: bool = False
    identity: Identity = Identity()


@dataclass(frozen=True)
class WindowsOptions:
    """Assembling the Windows folder from the interpreter's embeddable package."""

    runtime: str
    native_paths: Tuple[str, ...] = ()
    entry: Optional[str] = None
    as_source: bool = False
    freeze_gc: bool = True
    identity: Identity = Identity()


@dataclass(frozen=True)
class ArchiveOptions:
    """Writing the installation as a distributable file."""

    output: str
    app_dir: str  # its name is the default name of the application
    identity: Identity = Identity()
