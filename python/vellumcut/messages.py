"""English, one-line explanations of what went wrong with one file.

The native module speaks tersely (some of its messages are Japanese) and
those texts are part of its contract, so they stay as they are: each line
here says what is wrong and what to do, and ends with the module's own text
in parentheses so that the line can still be searched for.
"""
from __future__ import annotations

import os
import stat
import warnings
from typing import Any

NOT_RGBA = "RGBA PNG を指定してください"
TOO_LARGE = "画像が大きすぎます"
NO_OPAQUE = "不透明領域が見つかりません"
DEGENERATE = "outer ring degenerate"
MAX_PIXELS = 4096 * 4096


def one_line(exc: BaseException | str, limit: int = 300) -> str:
    """The first non-empty line of an exception's text, at most `limit` characters."""
    text = str(exc).strip()
    line = next((ln.strip() for ln in text.splitlines() if ln.strip()), "")
    if not line:
        line = type(exc).__name__ if isinstance(exc, BaseException) else ""
    return line if len(line) <= limit else line[:limit - 3] + "..."


def describe_file(path: str) -> str:
    """What the file at `path` is, as far as its header tells."""
    try:
        st = os.stat(path)
    except OSError as exc:
        return f"it cannot be opened ({exc.strerror or exc})"
    if stat.S_ISDIR(st.st_mode):
        return "it is a folder"
    if not stat.S_ISREG(st.st_mode):
        return "it is not a regular file"
    if st.st_size == 0:
        return "the file is empty"
    try:
        from PIL import Image

        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            with Image.open(path) as im:
                fmt, mode, size = im.format or "image", im.mode, im.size
    except Exception:  # noqa: BLE001 - any decoder complaint means the same to the user
        return "it is not an image file, or a damaged one"
    alpha = mode in ("RGBA", "LA", "PA", "RGBa", "La") or mode.endswith("A")
    if not alpha:
        return f"it is a {fmt} image of {size[0]} x {size[1]} pixels in mode {mode}, without transparency"
    return f"it is a {fmt} image in mode {mode} that could not be decoded"


def _image_size(path: str) -> tuple[int, int] | None:
    try:
        from PIL import Image

        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            with Image.open(path) as im:
                return im.size
    except Exception:  # noqa: BLE001
        return None


def explain(exc: BaseException, path: str, params: dict[str, Any] | None = None) -> str:
    """The line reported for a file the mesher refused."""
    params = params or {}
    text = str(exc).strip()
    if isinstance(exc, RuntimeError) and text == NOT_RGBA:
        return (f"not an image with an alpha channel: {describe_file(path)}; "
                f"save it as a PNG (or WebP, TIFF) with transparency, 8 bits per channel ({NOT_RGBA})")
    if isinstance(exc, RuntimeError) and text == TOO_LARGE:
        size = _image_size(path)
        what = f"{size[0]} x {size[1]} pixels" if size else "the file"
        return (f"image too large: {what} is over the limit of {MAX_PIXELS:,} pixels "
                f"(4096 x 4096) or 1 GiB; split the atlas or scale it down ({TOO_LARGE})")
    if isinstance(exc, RuntimeError) and text == NO_OPAQUE:
        return (f"no opaque pixel: every pixel is fully transparent, so there is nothing to mesh; "
                f"check the file or the settings it was exported with ({NO_OPAQUE})")
    if isinstance(exc, RuntimeError) and text == DEGENERATE:
        return ("the largest island encloses no area (a lone pixel or a one-pixel-wide line) and "
                "poisson meshes the largest island only; use earcut for this sprite, or clean "
                f"its stray pixels ({DEGENERATE})")
    if isinstance(exc, ValueError) and text.startswith("margin too large"):
        return (f"--margin {params.get('margin')} is too large for this image: the padded mask "
                f"would be too big; use a smaller margin ({one_line(text)})")
    if isinstance(exc, RuntimeError) and "OpenCV" in text:
        if "CV_8UC1" in text or "Unsupported format" in text:
            return ("16-bit or floating-point image: vellumcut reads 8 bits per channel; "
                    f"convert it to an 8-bit RGBA PNG ({_opencv_core(text)})")
        return f"OpenCV refused the image; check that it opens in an image editor ({_opencv_core(text)})"
    if isinstance(exc, RuntimeError) and text.startswith("Triangle"):
        return ("the triangulator failed on this sprite; try another --rpx, or report the file "
                f"({one_line(text)})")
    if isinstance(exc, MemoryError):
        return "out of memory while meshing this file; run fewer --jobs at once (MemoryError)"
    return f"unexpected {type(exc).__name__}: {one_line(exc)}"


def _opencv_core(text: str) -> str:
    """OpenCV's message without its source path: "(-210:Unsupported format ...) ..."."""
    line = one_line(text, 10_000)
    if "error: " in line:
        line = line.split("error: ", 1)[1]
    return line if len(line) <= 200 else line[:197] + "..."


def write_error(exc: OSError) -> str:
    where = exc.filename or "an output file"
    return (f"cannot write {where}: {exc.strerror or one_line(exc)}; check that the output "
            "folder is writable and has space")


def empty_reason(mesh: Any, path: str) -> str:
    """Why a mesh came back without any part (or any triangle), and what to do."""
    tail = "; nothing written (pass --allow-empty to accept empty meshes)"
    if mesh.mode == "outline" and not mesh.parts:
        try:
            from vellumcut import quality

            _, opaque = quality.load_mask(path, 0)
            has_opaque = bool(opaque.any())
        except Exception:  # noqa: BLE001
            has_opaque = True
        if not has_opaque:
            return "empty result: the image has no opaque pixel" + tail
        return ("empty result: every opaque island traces to less than 3 square pixels "
                "(stray pixels only)" + tail)
    if not mesh.parts:
        return ("empty mesh: every island is below the area floor (0.0005 x the span between "
                "the first and the last opaque pixel), so only specks or thin lines are "
                "opaque; clean the sprite or use poisson" + tail)
    return (f"empty mesh: none of its {len(mesh.parts)} outline(s) could be triangulated; "
            "try another --eps" + tail)
