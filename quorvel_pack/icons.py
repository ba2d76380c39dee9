"""The application's icon: checked, and drawn at the freedesktop hicolor
theme's sizes (those of the launcher's own icons). The images are drawn as
for the Windows icon group (ico); Pillow is needed only when an
application has an icon."""

from types import ModuleType
from typing import Dict

from . import PackError

HICOLOR_SIZES = (16, 32, 48, 64, 96, 128, 256)


def _drawing() -> ModuleType:
    try:
        from . import ico
    except ImportError:
        raise PackError("an application icon needs Pillow (Debian: python3-pil)")
    return ico


def _read(path: str) -> bytes:
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as error:
        raise PackError("icon %s: %s" % (path, error.strerror or error))


def check_icon(path: str) -> None:
    """Refuses anything but a square PNG of at least 256 pixels."""
    data = _read(path)
    try:
        _drawing().read_source(data)
    except PackError as error:
        raise PackError("%s: %s" % (path, error))


def hicolor_icons(path: str) -> Dict[int, bytes]:
    """The icon as PNG files of each hicolor size: size -> contents. The
    same image always gives the same bytes."""
    drawing = _drawing()
    source = drawing.read_source(_read(path))
    return {size: drawing.png_bytes(drawing.resized(source, size)) for size in HICOLOR_SIZES}
