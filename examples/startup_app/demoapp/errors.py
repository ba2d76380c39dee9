"""Errors as the launcher's error box shows them."""

from typing import TypeVar

Error = TypeVar("Error", bound=BaseException)


def with_caption(error: Error, caption: str) -> Error:
    """error, carrying the caption of the box that will show it."""
    error.caption = caption  # type: ignore[attr-defined]
    return error
