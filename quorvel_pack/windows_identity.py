"""The Windows folder's program under the application's name, with its
icon and version block, and the licences of what the folder redistributes.

The folder keeps quorvel.exe as built: it is the source of the named copy
when the folder is packed again; the archive of the folder leaves it out.
"""

from typing import List, Optional, Sequence, Tuple

from . import licences, pe_resources
from .identity import Identity, program_name
from .layout import PROGRAM


def check(identity: Identity) -> None:
    """Refuses a version that the named program's version block cannot hold."""
    if program_name(identity) != PROGRAM and identity.version is not None:
        pe_resources.check_version(identity.version)


def named_program(launcher: bytes, identity: Identity) -> Optional[Tuple[str, bytes]]:
    """(file name, image) of the program under the application's name: the
    launcher with the application's icon and version block; None when the
    application has no name of its own."""
    name = program_name(identity)
    if name == PROGRAM:
        return None
    icon = None
    if identity.icon is not None:
        with open(identity.icon, "rb") as f:
            icon = f.read()
    info = pe_resources.VersionInfo(
        product_name=name,
        description=identity.summary or name,
        version=identity.version or pe_resources.built_version(launcher),
        program=name,
        company=identity.company or "",
        copyright=identity.copyright or "",
    )
    return name + ".exe", pe_resources.with_identity(launcher, icon, info)


def licence_components(
    identity: Identity,
    interpreter: licences.Component,
    outside_files: Sequence[str],
    launcher: bytes,
) -> List[licences.Component]:
    """The application, the interpreter (the embeddable package, with all
    it holds), the DLLs taken from elsewhere, this project."""
    application = licences.application(identity)
    return (
        ([application] if application else [])
        + [interpreter]
        + licences.native_libraries(outside_files)
        + [licences.project(pe_resources.built_version(launcher))]
    )
