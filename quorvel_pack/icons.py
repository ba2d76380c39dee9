"""The application's icon: checked, and drawn at the freedesktop hicolor
theme's sizes (those of the launcher's own icons)."""

import importlib
import io
from typing import Any, Dict

from . import PackError

HICOLOR_SIZES = (16, 32, 48, 64, 96, 128, 256)
SMALLEST = 256
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def _image_module() -> Any:
    try:
        return importlib.import_module("PIL.Image")
    except ImportError:
        raise PackError("an application icon needs Pillow (Debian: python3-pil)")


def check_icon(path: str) -> None:
    """Refuses anything but a square PNG of at least SMALLEST pixels."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as error:
        raise PackError("icon %s: %s" % (path, error.strerror or error))
    if not data.startswith(PNG_SIGNATURE):
        raise PackError("icon %s: not a PNG image" % path)
    image_module = _image_module()
    try:
        with image_module.open(io.BytesIO(data)) as image:
            image.load()
            width, height = image.size
    except (OSError, ValueError, SyntaxError) as error:
        raise PackError("icon %s: a damaged PNG image (%s)" % (path, error))
    if width != height or width < SMALLEST:
        raise PackError(
            "icon %s: %dx%d pixels; it must be square, at least %dx%d"
            % (path, width, height, SMALLEST, SMALLEST)
        )


def hicolor_icons(path: str) -> Dict[int, bytes]:
    """The icon as PNG files of each hicolor size: size -> contents. The
    same image always gives the same bytes."""
    image_module = _image_module()
    drawn = {}
    with image_module.open(path) as source:
        image = source.convert("RGBA")
    for size in HICOLOR_SIZES:
        scaled = (
            image
            if image.size == (size, size)
            else image.resize((size, size), image_module.Resampling.LANCZOS)
        )
        out = io.BytesIO()
        scaled.save(out, "PNG", optimize=True)
        drawn[size] = out.getvalue()
    return drawn
