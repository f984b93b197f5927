"""English, one-line explanations of what went wrong with one file.

Each line says what is wrong and what to do. The loader and the sprite
mesher say why they refused something as data (`vellumcut.ImageRefused`,
`vellumcut.OptionError`); the core's four functions give only their fixed
texts, some of them Japanese, which are part of their contract. Those texts
are mapped to kinds by one table, `CORE_MESSAGES`, the only place in the
package that reads an exception's text; the core's lines end with its own
text in parentheses, so that they can still be searched for.

The functions here are the reports of the registered modes (vellumcut.modes):
call them through `modes.get(name).explain(...)` and `.why_empty(...)`.
"""
from __future__ import annotations

import os
from typing import Any, Mapping

from vellumcut import image
from vellumcut.errors import ImageRefused, OptionError

NOT_RGBA = "RGBA PNG を指定してください"
TOO_LARGE = "画像が大きすぎます"
NO_OPAQUE = "不透明領域が見つかりません"
DEGENERATE = "outer ring degenerate"

#: The core's fixed messages and what they mean: (exception type, text, whole
#: text or prefix, kind). Its contract gives no other signal.
CORE_MESSAGES: tuple[tuple[type, str, bool, str], ...] = (
    (RuntimeError, NOT_RGBA, True, "not_rgba"),
    (RuntimeError, TOO_LARGE, True, "too_large"),
    (RuntimeError, NO_OPAQUE, True, "no_opaque"),
    (RuntimeError, DEGENERATE, True, "degenerate"),
    (ValueError, "margin too large", False, "margin_too_large"),
    (RuntimeError, "Triangle ", False, "triangulator"),
)


def core_kind(exc: BaseException) -> str | None:
    """The kind of a core failure by `CORE_MESSAGES`, or None."""
    text = str(exc).strip()
    for cls, message, whole, kind in CORE_MESSAGES:
        if isinstance(exc, cls) and (text == message if whole else text.startswith(message)):
            return kind
    return None


def one_line(exc: BaseException | str, limit: int = 300) -> str:
    """The first non-empty line of an exception's text, at most `limit`
    characters, to quote in a report (never to decide anything on)."""
    text = str(exc).strip()
    line = next((ln.strip() for ln in text.splitlines() if ln.strip()), "")
    if not line:
        line = type(exc).__name__ if isinstance(exc, BaseException) else ""
    return line if len(line) <= limit else line[:limit - 3] + "..."


# --- refusals of an image, by kind ------------------------------------------------

SAVE_WITH_ALPHA = "save it as a PNG (or WebP, TIFF) with transparency, 8 bits per channel"


def what_file(r: ImageRefused) -> str:
    """What the refused file is, as far as the loader saw."""
    fmt = r.format or "image"
    if r.kind == "cannot_open":
        return f"it cannot be opened ({os.strerror(r.errno) if r.errno else 'read error'})"
    if r.kind == "directory":
        return "it is a folder"
    if r.kind == "not_regular_file":
        return "it is not a regular file (a pipe, device or socket)"
    if r.kind == "empty_file":
        return "the file is empty"
    if r.kind == "unsupported_format":
        return f"it is a {fmt} file, a format without transparency"
    if r.kind == "damaged":
        return f"it is a {fmt} file that is damaged or cut short"
    if r.kind == "no_alpha":
        layers = {1: "L", 3: "RGB"}.get(r.channels, f"of {r.channels} channels")
        return f"it is a {fmt} image of {r.width} x {r.height} pixels in mode {layers}, without transparency"
    return "it is not an image file, or a damaged one"


def refusal(r: ImageRefused, mode: Any) -> str:
    """The report of an image `mode` (a vellumcut.modes.Mode) refused."""
    if r.kind == "too_large":
        size = f"{r.width} x {r.height} pixels" if r.width else "the image"
        return (f"image too large: {size} is over the limit of {r.limit:,} pixels "
                "(4096 x 4096); split the atlas or scale it down")
    if r.kind == "file_too_large":
        return (f"file too large: {r.size:,} bytes is over the limit of {r.limit:,} bytes "
                "(no image within 4096 x 4096 pixels needs more); split the atlas or scale it down")
    if r.kind == "sixteen_bit":
        return (f"16-bit or floating-point image: {mode.name} reads 8 bits per channel; convert it "
                "to an 8-bit RGBA PNG, or use vellumcut mesh, which reads 16-bit alpha as it is")
    if mode.needs_alpha:
        return f"not an image with an alpha channel: {what_file(r)}; {SAVE_WITH_ALPHA}"
    if r.kind in ("cannot_open", "directory", "not_regular_file"):
        return f"cannot read image: {what_file(r)}; check the path"
    return (f"cannot read image: {what_file(r)}; save the sprite as a PNG (or WebP, TIFF, BMP), "
            "with transparency where it has any")


# --- the modes' reports ---------------------------------------------------------------


def explain_core(mode: Any, exc: BaseException, path: str, params: Mapping[str, Any]) -> str:
    """The report of a failure of the core's functions (outline, earcut, poisson)."""
    kind = core_kind(exc)
    core = f" ({one_line(exc, 120)})"
    if kind == "no_opaque":
        return ("no opaque pixel: every pixel is fully transparent, so there is nothing to mesh; "
                "check the file or the settings it was exported with" + core)
    if kind == "degenerate":
        return ("the largest island encloses no area (a lone pixel or a one-pixel-wide line) and "
                f"{mode.name} meshes the largest island only; use earcut for this sprite, or "
                "clean its stray pixels" + core)
    if kind == "margin_too_large":
        return (f"--margin {params.get('margin')} is too large for this image: the padded mask "
                "would be too big; use a smaller margin" + core)
    if kind == "triangulator":
        return "the triangulator failed on this sprite; try another --rpx, or report the file" + core
    if isinstance(exc, MemoryError):
        return "out of memory while meshing this file; run fewer --jobs at once (MemoryError)"
    if kind in ("not_rgba", "too_large") or isinstance(exc, RuntimeError):
        # A refusal, or the core's tracing failing on what it read (16-bit
        # samples): the loader says which.
        refused = image.refusal_for_core(path)
        if refused is not None:
            return refusal(refused, mode) + core
        if kind == "not_rgba":
            return f"not an image with an alpha channel: the file could not be decoded; {SAVE_WITH_ALPHA}" + core
    return explain_other(mode, exc, path, params)


def explain_mesher(mode: Any, exc: BaseException, path: str, params: Mapping[str, Any]) -> str:
    """The report of a failure of the sprite mesher (`vellumcut mesh`)."""
    if isinstance(exc, ImageRefused):
        return refusal(exc, mode)
    if isinstance(exc, OptionError):
        flag = "--" + exc.option.replace("_", "-")
        return f"{flag} {exc.requirement}; choose another value for this sprite"
    if isinstance(exc, MemoryError):
        return "out of memory while meshing this file; run fewer --jobs at once (MemoryError)"
    return explain_other(mode, exc, path, params)


def explain_other(mode: Any, exc: BaseException, path: str, params: Mapping[str, Any]) -> str:
    """A failure no mode knows: who failed, and its own words."""
    if isinstance(exc, ImageRefused):
        return refusal(exc, mode)
    if isinstance(exc, MemoryError):
        return "out of memory while meshing this file; run fewer --jobs at once (MemoryError)"
    return (f"the {mode.name!r} mesher failed on this file ({type(exc).__name__}: {one_line(exc)}); "
            "if the file opens in an image editor, report it with the file")


def write_error(exc: OSError) -> str:
    where = exc.filename or "an output file"
    return (f"cannot write {where}: {exc.strerror or one_line(exc)}; check that the output "
            "folder is writable and has space")


EMPTY_TAIL = "; nothing written (pass --allow-empty to accept empty meshes)"


def _opaque_count(mode: Any, mesh: Any, path: str) -> int | None:
    """Opaque pixels of the image by the mode's own rule; None if unreadable."""
    try:
        opaque = mode.load_mask(path, mesh, pixels=False).opaque
    except (ImageRefused, ValueError, TypeError):
        return None
    return int(opaque.sum())


def _no_opaque(mode: Any, mesh: Any) -> str:
    thr = mode.alpha_threshold(mesh.params)
    if thr:
        return (f"no pixel has alpha above {thr} (--alpha-threshold), so there is nothing to mesh; "
                "lower the threshold or check the file")
    return ("no opaque pixel: every pixel is fully transparent, so there is nothing to mesh; "
            "check the file or the settings it was exported with")


def empty_outline(mode: Any, mesh: Any, path: str) -> str:
    if _opaque_count(mode, mesh, path) == 0:
        return "empty result: the image has no opaque pixel" + EMPTY_TAIL
    return ("empty result: every opaque island traces to less than 3 square pixels "
            "(stray pixels only)" + EMPTY_TAIL)


def empty_core(mode: Any, mesh: Any, path: str) -> str:
    if not mesh.parts:
        return ("empty mesh: every island is below the area floor (0.0005 x the span between "
                "the first and the last opaque pixel), so only specks or thin lines are "
                "opaque; clean the sprite or use poisson" + EMPTY_TAIL)
    return (f"empty mesh: none of its {len(mesh.parts)} outline(s) could be triangulated; "
            "try another --eps" + EMPTY_TAIL)


def empty_mesher(mode: Any, mesh: Any, path: str) -> str:
    if _opaque_count(mode, mesh, path) == 0:
        return "empty mesh: " + _no_opaque(mode, mesh) + EMPTY_TAIL
    least = mesh.params.get("min_island_area", 1)
    if not mesh.parts and least > 1:
        return (f"empty mesh: every opaque island has fewer than {least} pixels "
                "(--min-island-area); lower it to keep them" + EMPTY_TAIL)
    return empty_other(mode, mesh, path)


def empty_other(mode: Any, mesh: Any, path: str) -> str:
    if not mesh.parts:
        return f"empty mesh: the {mode.name} mesher found nothing to mesh in this file" + EMPTY_TAIL
    return (f"empty mesh: none of its {len(mesh.parts)} part(s) holds a triangle" + EMPTY_TAIL)
