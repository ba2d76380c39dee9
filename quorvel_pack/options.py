"""What the command line asks of each operation, read once."""

from dataclasses import dataclass
from typing import Optional, Tuple


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
