"""The one way into an image: its pixels to draw and its opaque mask, read
by the loader the meshers use.

    rgba, opaque = vellumcut.image.load_mask("hero.png", threshold=0, frame=mesh)

A file is read once by the native loader (`vellumcut._mesher.image`): the
same header checks, size limits and decoders as the core's functions and
`mesh_sprite`, and the same rule, alpha > threshold (16-bit alpha compared
as alpha16 > threshold * 257, floating-point alpha on 0..1 scaled by 255).
An image without alpha is opaque everywhere. What the loader refuses raises
`vellumcut.ImageRefused` with its kind and numbers, never text to match.

Frames: the mask is returned in the mask frame of a result, that is with
the transparent border the mesher added round the image (`frame`, the
result's `border`), so mask pixel (c, r) is the pixel a vertex at (c, r)
names. The RGBA pixels stay in the image frame, unpadded, ready to draw.
"""
from __future__ import annotations

import os
from typing import Any, NamedTuple, Union

import numpy as np

from vellumcut.errors import ImageRefused

#: What the package takes as an image: a path (str, bytes or os.PathLike),
#: a numpy array ((H, W) alpha, (H, W, 3) or (H, W, 4), uint8 or uint16) or
#: a PIL image.
Source = Union[str, bytes, "os.PathLike[str]", np.ndarray, Any]


class Mask(NamedTuple):
    """`rgba`: (H, W, 4) uint8 pixels in the image frame (None when asked
    for the mask only); `opaque`: boolean mask in the mask frame,
    (H + 2 * border, W + 2 * border)."""

    rgba: np.ndarray | None
    opaque: np.ndarray


def samples(source: Source) -> Union[str, np.ndarray]:
    """A path as str, or the image's samples as a uint8/uint16 array in the
    layout the mesher reads ((H, W) alpha, (H, W, 3) without alpha, or
    (H, W, 4) with alpha last), in native byte order."""
    if isinstance(source, (str, bytes, os.PathLike)):
        return os.fsdecode(os.fspath(source))
    if isinstance(source, np.ndarray):
        return source if source.dtype.isnative else source.astype(source.dtype.newbyteorder("="))
    from PIL import Image

    if isinstance(source, Image.Image):
        if source.mode in ("RGBA", "LA", "RGB", "L"):
            arr = np.asarray(source)
        elif source.mode in ("I;16", "I;16B", "I;16L"):
            arr = np.asarray(source).astype(np.uint16)
        elif source.mode == "I":  # 32-bit greyscale: Pillow's 16-bit PNGs open so
            arr = np.clip(np.asarray(source), 0, 65535).astype(np.uint16)
            arr = np.dstack([arr, arr, arr])  # no alpha
        else:
            has_alpha = "A" in source.getbands() or "transparency" in source.info
            arr = np.asarray(source.convert("RGBA" if has_alpha else "RGB"))
        if arr.ndim == 2 and source.mode in ("L", "I;16", "I;16B", "I;16L"):
            arr = np.dstack([arr, arr, arr])  # greyscale without alpha: opaque
        if arr.ndim == 3 and arr.shape[2] == 2:  # LA: alpha last
            arr = arr[..., 1]
        return arr
    raise TypeError("image must be a path, a numpy array or a PIL image, got "
                    f"{type(source).__name__}")


def border_of(frame: Any) -> int:
    """The border of a frame given as pixels (int) or as a result (its
    `border`: negative margins add none)."""
    border = getattr(frame, "border", frame)
    if isinstance(border, bool) or not isinstance(border, (int, np.integer)):
        raise TypeError(f"frame must be a border in pixels or a mesh, got {type(frame).__name__}")
    return max(int(border), 0)


def _array_mask(arr: np.ndarray, threshold: int, pixels: bool) -> tuple[np.ndarray | None, np.ndarray]:
    """(rgba, opaque) of samples, by the rule the mesher applies to them
    (src/sprite_mesh/load.cpp, opaque_from_samples)."""
    if arr.ndim not in (2, 3):
        raise ValueError("image: expected an array of shape (H, W), (H, W, 3) or (H, W, 4)")
    channels = 1 if arr.ndim == 2 else arr.shape[2]
    if channels not in (1, 3, 4):
        raise ValueError(f"image: expected 1 (alpha), 3 or 4 channels, got {channels}")
    if arr.dtype.kind != "u" or arr.dtype.itemsize not in (1, 2):
        raise ValueError(f"image: expected uint8 or uint16 samples, got {arr.dtype}")
    if arr.shape[0] < 1 or arr.shape[1] < 1:
        raise ValueError("image: the image is empty")
    wide = arr.dtype.itemsize == 2
    alpha = None if channels == 3 else (arr if channels == 1 else arr[..., 3])
    if alpha is None:
        opaque = np.ones(arr.shape[:2], bool)
    else:
        opaque = alpha > (threshold * 257 if wide else threshold)
    if not pixels:
        return None, opaque
    eight = ((arr.astype(np.uint32) + 128) // 257).astype(np.uint8) if wide else arr.astype(np.uint8)
    rgba = np.empty(arr.shape[:2] + (4,), np.uint8)
    if channels == 1:  # alpha only: a black stencil
        rgba[..., :3] = 0
        rgba[..., 3] = eight
    else:
        rgba[..., :3] = eight[..., :3]
        rgba[..., 3] = 255 if channels == 3 else eight[..., 3]
    return rgba, opaque


def load_mask(source: Source, threshold: int = 0, frame: Any = 0, *, pixels: bool = True) -> Mask:
    """The RGBA pixels and the opaque mask (alpha > `threshold`) of an image.

    `source`: what `mesh_sprite` takes (see `Source`). `threshold`: 0..254,
    the mode's own (`vellumcut.modes.Mode.alpha_threshold`; the core's
    functions use 0). `frame`: the border of the mask frame in pixels, or
    the result whose frame it is (its `border`). `pixels=False` skips the
    RGBA pixels (`rgba` is None).

    Raises `vellumcut.ImageRefused` for a file the loader refuses, ValueError
    for samples of another layout, TypeError for anything else.
    """
    border = border_of(frame)
    thr = int(threshold)
    if not 0 <= thr <= 254:
        raise ValueError(f"threshold must be within 0..254, got {thr}")
    src = samples(source)
    if isinstance(src, str):
        from vellumcut import _mesher

        if pixels:
            rgba, framed, _ = _mesher.image(src, thr)
            if rgba is None:
                rgba = _undecoded_pixels(src, framed.shape[0] - 2, framed.shape[1] - 2)
        else:
            rgba, (framed, _) = None, _mesher.opaque(src, thr)
        opaque = framed[1:-1, 1:-1].astype(bool)
    else:
        rgba, opaque = _array_mask(src, thr, pixels)
    if border > 0:
        opaque = np.pad(opaque, border)
    return Mask(rgba, opaque)


def _undecoded_pixels(path: str, height: int, width: int) -> np.ndarray | None:
    """The pixels of a PNG without alpha. The loader reads only the header
    of such a file (the mask is all opaque, so meshing never needs them);
    drawing does, so they come from Pillow, with alpha 255 everywhere as
    the meshers see it (a tRNS colour key does not make pixels transparent
    to them). None when Pillow reads another size or cannot read it."""
    from PIL import Image, UnidentifiedImageError

    try:
        with Image.open(path) as im:
            rgb = np.asarray(im.convert("RGB"))
    except (OSError, UnidentifiedImageError, ValueError, Image.DecompressionBombError):
        return None
    if rgb.shape[:2] != (height, width):
        return None
    rgba = np.empty((height, width, 4), np.uint8)
    rgba[..., :3] = rgb
    rgba[..., 3] = 255
    return rgba


def probe(path: str) -> tuple[dict[str, Any] | None, ImageRefused | None]:
    """What the loader makes of a file: (info, None), info being {'format',
    'width', 'height', 'channels', 'has_alpha', 'bits', 'floating'}, or
    (None, the refusal)."""
    from vellumcut import _mesher

    try:
        return _mesher.probe(os.fsdecode(os.fspath(path))), None
    except ImageRefused as r:
        return None, r


def refusal_for_core(path: str) -> ImageRefused | None:
    """Why the core's functions (which need 8-bit alpha) would refuse
    `path`, asked of the loader itself: its refusal, "no_alpha" or
    "sixteen_bit" with the numbers, or None when they would read it."""
    info, refused = probe(path)
    if refused is not None:
        return refused
    assert info is not None
    numbers = {"format": info["format"], "width": info["width"], "height": info["height"],
               "channels": info["channels"], "bits": info["bits"]}
    if not info["has_alpha"]:
        return ImageRefused("the image has no alpha channel", "no_alpha", path, **numbers)
    if info["bits"] > 8 or info["floating"]:
        return ImageRefused(f"{info['bits']}-bit samples", "sixteen_bit", path, **numbers)
    return None
