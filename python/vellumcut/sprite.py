"""`mesh_sprite`: game-ready meshes from the native mesher `vellumcut._mesher`.

Unlike the core's functions, whose outlines run through pixel centres
(integer coordinates of the mask frame), this mesher traces the edges of the
pixels (half-integer coordinates) and only ever simplifies outwards, so no
opaque pixel is clipped; see docs/mesh-sprite.md.
"""
from __future__ import annotations

import numbers
import os
from typing import Any, Optional, Union

import numpy as np

from vellumcut.errors import OptionError
from vellumcut.mesh import Part, SpriteMesh

from vellumcut import _mesher

INTERIORS = ("none", "poisson", "quality")
#: Holes with fewer transparent pixels are filled: pinholes of a few pixels
#: are noise to an artist and each would cost a ring of vertices and a fan
#: of thin triangles; a 4 x 4 gap (an eye, a slot) stays open. (The
#: mesher's own default, read from it.)
MIN_HOLE_AREA: int = _mesher.DEFAULT_MIN_HOLE_AREA
#: Triangle's refinement stops converging above this smallest angle (the
#: mesher's own bound, read from it).
MAX_MIN_ANGLE: float = _mesher.MAX_MIN_ANGLE

ImageLike = Union[str, bytes, "os.PathLike[str]", np.ndarray, Any]


def _number(name: str, value: Any, *, integer: bool = False) -> Any:
    # Plain ints and floats first: the ABC checks below cost more than a
    # small sprite's whole Python side.
    cls = type(value)
    if cls is int:
        return value if integer else float(value)
    if cls is float and not integer:
        return value
    kinds = numbers.Integral if integer else numbers.Real
    if isinstance(value, bool) or not isinstance(value, kinds):
        kind = "an integer" if integer else "a number"
        raise TypeError(f"{name} must be {kind}, got {type(value).__name__}")
    number: Any = value
    return int(number) if integer else float(number)


def _pixels(image: Any) -> Union[str, np.ndarray]:
    """A path as str, or the image's samples as a uint8/uint16 array."""
    if isinstance(image, (str, bytes, os.PathLike)):
        path = os.fsdecode(os.fspath(image))
        return path
    if isinstance(image, np.ndarray):
        return image
    from PIL import Image

    if isinstance(image, Image.Image):
        if image.mode in ("RGBA", "LA", "RGB", "L"):
            arr = np.asarray(image)
        elif image.mode in ("I;16", "I;16B", "I;16L"):
            arr = np.asarray(image).astype(np.uint16)
        elif image.mode == "I":  # 32-bit greyscale: Pillow's 16-bit PNGs open so
            arr = np.clip(np.asarray(image), 0, 65535).astype(np.uint16)
            arr = np.dstack([arr, arr, arr])  # no alpha
        else:
            has_alpha = "A" in image.getbands() or "transparency" in image.info
            arr = np.asarray(image.convert("RGBA" if has_alpha else "RGB"))
        if arr.ndim == 2 and image.mode in ("L", "I;16", "I;16B", "I;16L"):
            arr = np.dstack([arr, arr, arr])  # greyscale without alpha: opaque
        if arr.ndim == 3 and arr.shape[2] == 2:  # LA: alpha last
            arr = arr[..., 1]
        return arr
    raise TypeError("image must be a path, a numpy array or a PIL image, got "
                    f"{type(image).__name__}")


#: The warning of a result meshed from an image without alpha.
NO_ALPHA_WARNING = "no alpha channel: meshed as the full image"

#: Overdraw a vertex budget may force before the result carries a warning.
BUDGET_WARNING = 0.25


def mesh_sprite(image: ImageLike, *, alpha_threshold: int = 0, tolerance: float = 1.0,
                padding: float = 0.0, max_vertices: Optional[int] = None, interior: str = "none",
                spacing: Union[float, str, None] = "auto", min_angle: float = 25.0, seed: Optional[int] = None,
                min_island_area: int = 1, min_hole_area: int = MIN_HOLE_AREA,
                margin: int = 0, strict_budget: bool = True) -> SpriteMesh:
    """Mesh every opaque island of a sprite; one `Part` per island.

    `image`: a path, a numpy array ((H, W) alpha, (H, W, 3) or (H, W, 4),
    uint8 or uint16) or a PIL image. Without alpha the image is opaque.
    A pixel is opaque when its alpha is above `alpha_threshold` (0..254,
    16-bit alpha compared as alpha > threshold * 257).

    Guarantees: every opaque pixel square lies inside the mesh with `padding`
    px to spare; no outline point is more than `tolerance + padding` px from
    an opaque pixel; rings never cross or touch; triangles never overlap.
    With padding the tolerance must be at least 0.2 px: no outline can keep
    both bounds round a corner at 0, its round corners are chords outside
    the padding.
    A larger `tolerance` never gives more outline vertices.

    `max_vertices` caps the outline vertices of the whole sprite, all
    islands and holes together: beyond the tolerance, the outline gives up
    the vertices that cost the least overdraw, filling holes only where
    that is cheaper. It must be at least 3 per island (ValueError names the
    least), unless `strict_budget=False`: the budget then grows to that least,
    and the result's `warnings` say so (the presets' budgets work this way).
    When the budget forces more than 25 % overdraw, the result's `warnings`
    say so and name the budget that would keep it under 10 %.

    `interior`: "none" (outline vertices only), "poisson" (Poisson-disk
    points `spacing` px apart, seeded by `seed`) or "quality" (Triangle's
    refinement: smallest angle `min_angle`, triangles no larger than
    equilateral ones of side `spacing`). `spacing="auto"` (or None) picks
    it per island from its size: sqrt(pixels / 48), at least 4 px.

    Raises `vellumcut.OptionError` (a ValueError naming the option) for a bad
    value, `vellumcut.ImageRefused` (a RuntimeError carrying the kind of
    refusal and its numbers) for an image that cannot be read,
    KeyboardInterrupt on Ctrl-C. An image without alpha is meshed as its full
    rectangle, and the result's `warnings` say so. The interpreter
    lock is released while the mesh is computed, so threads run in parallel.
    """
    if not isinstance(interior, str) or interior not in INTERIORS:
        raise OptionError("interior", "must be 'none', 'poisson' or 'quality'", interior)
    thr = _number("alpha_threshold", alpha_threshold, integer=True)
    if not 0 <= thr <= 254:
        raise OptionError("alpha_threshold", "must be within 0..254", thr)
    tol = _number("tolerance", tolerance)
    pad = _number("padding", padding)
    mv = 0 if max_vertices is None else _number("max_vertices", max_vertices, integer=True)
    if max_vertices is not None and mv < 3:
        raise OptionError("max_vertices", "must be at least 3 (or none for no cap)", mv)
    auto = spacing is None or (isinstance(spacing, str) and spacing == "auto")
    if isinstance(spacing, str) and not auto:
        raise OptionError("spacing", "must be a number above 0 or 'auto'", spacing)
    sp = 0.0 if auto else _number("spacing", spacing)
    if not auto and not sp > 0:
        raise OptionError("spacing", "must be a number above 0 or 'auto'", spacing)
    ang = _number("min_angle", min_angle)
    if seed is not None:
        seed = _number("seed", seed, integer=True)
        if not 0 <= seed < 2 ** 64:
            raise OptionError("seed", "must be within 0 .. 2**64 - 1", seed)
    mia = _number("min_island_area", min_island_area, integer=True)
    mha = _number("min_hole_area", min_hole_area, integer=True)
    mg = _number("margin", margin, integer=True)
    if not -2 ** 31 <= mg < 2 ** 31:
        raise OptionError("margin", "is out of range", mg)
    for name, v in (("max_vertices", mv), ("min_island_area", mia), ("min_hole_area", mha)):
        if v >= 2 ** 62:
            raise OptionError(name, "is out of range", v)

    pixels = _pixels(image)
    if isinstance(pixels, np.ndarray) and not pixels.dtype.isnative:
        pixels = pixels.astype(pixels.dtype.newbyteorder("="))
    result = _mesher.mesh(pixels, thr, tol, pad, mv, interior, sp, ang,
                          0 if seed is None else seed, seed is not None, mia, mha, mg, bool(strict_budget))
    params = {"alpha_threshold": thr, "tolerance": tol, "padding": pad, "max_vertices": max_vertices,
              "interior": interior, "spacing": "auto" if auto else sp, "min_angle": ang, "seed": seed,
              "min_island_area": mia, "min_hole_area": mha, "margin": mg, "strict_budget": bool(strict_budget)}
    return from_mesher(result, mg, params, pixels if isinstance(pixels, str) else None)


def budget_warning(result: dict, budget: Optional[int], name: str) -> Optional[str]:
    """The warning for a budget that forced more than 25 % overdraw, or None."""
    if not budget or not result.get("budget_applied") or result["overdraw"] <= BUDGET_WARNING:
        return None
    text = (f"{name}: max_vertices={budget} forces {100 * result['overdraw']:.0f} % overdraw")
    if result["under_10"]:
        return text + f"; a budget of {result['under_10']} would keep it under 10 %"
    return text + (f"; it is {100 * result['overdraw_before']:.0f} % before the budget, so lower "
                   "the tolerance or padding first")


def from_mesher(result: dict, margin: int, params: Optional[dict] = None,
                source: Optional[str] = None) -> SpriteMesh:
    parts = [Part(np.asarray(p["v"], np.float64).reshape(-1, 2),
                  np.asarray(p["idx"], np.int64).reshape(-1, 3),
                  [np.asarray(r, np.int64) for r in p["rings"]])
             for p in result["parts"]]
    params = dict(params or {})
    name = os.path.basename(source) if source else "sprite"
    warnings = [] if result.get("has_alpha", True) else [NO_ALPHA_WARNING]
    asked = params.get("max_vertices")
    used = int(result.get("budget", 0) or 0)
    if asked and used > asked:
        warnings.append(f"{name}: max_vertices={asked} is below the 3 per island this sprite needs; "
                        f"used {used}")
    warning = budget_warning(result, used or asked, name)
    if warning:
        warnings.append(warning)
    return SpriteMesh("mesh", parts, int(result["w"]), int(result["h"]), margin, 1.0,
                      params, source, warnings)
