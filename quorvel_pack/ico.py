"""The images of a Windows icon, drawn from one square PNG: PNG-compressed
or as a 32-bit bitmap with a 1-bit transparency mask, the two forms an icon
group holds."""

import io
import struct

from PIL import Image  # type: ignore[import]

from . import PackError

SMALLEST_SOURCE = 256

# Icon bitmaps: BITMAPINFOHEADER (the height counts the colour rows and the
# mask rows), bottom-up BGRA rows, then the mask rows padded to 4 bytes.
BITMAP_HEADER = struct.Struct("<IiiHHIIiiII")


def read_source(png: bytes) -> Image.Image:
    """The icon as RGBA; refuses what cannot be drawn at 256 pixels without blurring."""
    try:
        source = Image.open(io.BytesIO(png))
        kind = source.format
        source.load()
    except (OSError, Image.DecompressionBombError) as error:
        raise PackError(f"the icon is not a readable PNG image ({error})") from None
    if kind != "PNG":
        raise PackError(f"the icon is a {kind} image, not a PNG image")
    width, height = source.size
    if width != height or width < SMALLEST_SOURCE:
        raise PackError(
            f"the icon is {width}x{height} pixels; it must be square and "
            f"at least {SMALLEST_SOURCE}x{SMALLEST_SOURCE}"
        )
    return source.convert("RGBA")


def resized(source: Image.Image, size: int) -> Image.Image:
    if source.size == (size, size):
        return source
    return source.resize((size, size), Image.Resampling.LANCZOS)


def png_bytes(image: Image.Image) -> bytes:
    out = io.BytesIO()
    image.save(out, format="PNG", optimize=True)
    return out.getvalue()


def bitmap_bytes(image: Image.Image) -> bytes:
    """32-bit bitmap with alpha; the mask has a bit set where alpha is 0."""
    width, height = image.size
    header = BITMAP_HEADER.pack(40, width, 2 * height, 1, 32, 0, width * height * 4, 0, 0, 0, 0)
    # A negative row step of the raw encoder gives the rows bottom-up.
    pixels = image.tobytes("raw", "BGRA", 0, -1)
    mask = image.getchannel("A").point(lambda alpha: 255 if alpha == 0 else 0, "1")
    mask_row = (width + 31) // 32 * 4
    return header + pixels + mask.tobytes("raw", "1", mask_row, -1)  # type: ignore[no-any-return]
