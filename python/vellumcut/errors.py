"""Exceptions that carry their reason as data.

The loader and the sprite mesher say why they refused something with a kind
and numbers, so the command line, the quality report and the add-on explain
it without reading the message text.
"""
from __future__ import annotations

from typing import Any

#: Kinds of `ImageRefused`: the loader's own (see src/mask/refusal.hpp), and
#: "sixteen_bit" for an image the core's outline tracing cannot read.
REFUSAL_KINDS = ("cannot_open", "directory", "not_regular_file", "empty_file", "not_image",
                 "unsupported_format", "damaged", "too_large", "file_too_large", "no_alpha",
                 "sixteen_bit")


class ImageRefused(RuntimeError):
    """An image file the loader would not read.

    `kind` is one of `REFUSAL_KINDS`; the numbers that go with it: `format`
    ("PNG", "JPEG", ...; "" when unknown), `width` and `height` (0 when
    unknown), `limit` (pixels for "too_large", bytes for "file_too_large"),
    `size` (the file's length in bytes, when known), `channels` (for
    "no_alpha"), `bits` (for "sixteen_bit") and `errno` (for "cannot_open").
    """

    def __init__(self, message: str, kind: str, path: str | None = None, *, format: str = "",
                 width: int = 0, height: int = 0, limit: int = 0, size: int = 0, channels: int = 0,
                 bits: int = 0, errno: int = 0) -> None:
        super().__init__(message)
        self.kind = kind
        self.path = path
        self.format = format
        self.width = width
        self.height = height
        self.limit = limit
        self.size = size
        self.channels = channels
        self.bits = bits
        self.errno = errno

    def __reduce__(self) -> tuple[Any, ...]:
        # Outcomes and exceptions cross process boundaries in batches.
        return (_rebuild_refusal, (self.args[0] if self.args else "", self.kind, self.path, self.numbers()))

    def numbers(self) -> dict[str, Any]:
        return {"format": self.format, "width": self.width, "height": self.height, "limit": self.limit,
                "size": self.size, "channels": self.channels, "bits": self.bits, "errno": self.errno}


def _rebuild_refusal(message: str, kind: str, path: str | None, numbers: dict[str, Any]) -> ImageRefused:
    return ImageRefused(message, kind, path, **numbers)


class OptionError(ValueError):
    """An option value out of range: `option` (its Python name), what it
    `requirement`s, and the `value` given when known. The text is
    "<option> <requirement>[, got <value>]"."""

    _UNSET: Any = object()

    def __init__(self, option: str, requirement: str, value: Any = _UNSET) -> None:
        self.option = option
        self.requirement = requirement
        self.value = None if value is OptionError._UNSET else value
        self.has_value = value is not OptionError._UNSET
        super().__init__(f"{option} {requirement}" + (f", got {value!r}" if self.has_value else ""))

    def __reduce__(self) -> tuple[Any, ...]:
        args = (self.option, self.requirement) + ((self.value,) if self.has_value else ())
        return (OptionError, args)
