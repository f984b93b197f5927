"""`mesh_sprite`: game-ready meshes from the native mesher `vellumcut._mesher`.

Unlike the core's functions, whose outlines run through pixel centres
(integer coordinates of the mask frame), this mesher traces the edges of the
pixels (half-integer coordinates) and only ever simplifies outwards, so no
opaque pixel is clipped; see docs/mesh-sprite.md.
"""
from __future__ import annotations

import os
from typing import Any, Optional, Union

import numpy as np

from vellumcut.image import samples as _pixels
from vellumcut.meshes import Part, SpriteMesh

from vellumcut import _mesher

#: The mesher's options and their defaults, in their order, as the native
#: mesher defines them (None: no vertex cap, a random seed; "auto": the
#: spacing sized per island).
DEFAULTS: dict[str, Any] = _mesher.defaults()
#: What a value of each option must be: {"min", "max", "min_exclusive",
#: "requirement"} for numbers, {"choices", ...} for `interior`.
LIMITS: dict[str, dict[str, Any]] = _mesher.limits()
INTERIORS: tuple[str, ...] = tuple(LIMITS["interior"]["choices"])
#: Holes with fewer transparent pixels are filled: pinholes of a few pixels
#: are noise to an artist and each would cost a ring of vertices and a fan
#: of thin triangles; a 4 x 4 gap (an eye, a slot) stays open.
MIN_HOLE_AREA: int = DEFAULTS["min_hole_area"]
#: Triangle's refinement stops converging above this smallest angle.
MAX_MIN_ANGLE: float = LIMITS["min_angle"]["max"]

ImageLike = Union[str, bytes, "os.PathLike[str]", np.ndarray, Any]


#: The warning of a result meshed from an image without alpha.
NO_ALPHA_WARNING = "no alpha channel: meshed as the full image"

#: Overdraw a vertex budget may force before the result carries a warning.
BUDGET_WARNING = 0.25


def mesh_sprite(image: ImageLike, *, alpha_threshold: int = DEFAULTS["alpha_threshold"],
                tolerance: float = DEFAULTS["tolerance"], padding: float = DEFAULTS["padding"],
                max_vertices: Optional[int] = DEFAULTS["max_vertices"], interior: str = DEFAULTS["interior"],
                spacing: Union[float, str, None] = DEFAULTS["spacing"], min_angle: float = DEFAULTS["min_angle"],
                seed: Optional[int] = DEFAULTS["seed"], min_island_area: int = DEFAULTS["min_island_area"],
                min_hole_area: int = DEFAULTS["min_hole_area"], margin: int = DEFAULTS["margin"],
                strict_budget: bool = DEFAULTS["strict_budget"]) -> SpriteMesh:
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
    it per island from its size: sqrt(pixels / 48), at least 4 px; a
    spacing given as a number is at least 1 px. `seed=None` draws a random
    seed; give one for the same mesh every time.

    The defaults and the ranges are the native mesher's (`DEFAULTS`,
    `LIMITS`; `vellumcut._mesher.validate` checks options without an image).
    The result's `params` are the options used, spelled as `DEFAULTS` spells
    them.

    Raises `vellumcut.OptionError` (a ValueError naming the option) for a bad
    value, TypeError for a value of the wrong type, `vellumcut.ImageRefused` (a RuntimeError carrying the kind of
    refusal and its numbers) for an image that cannot be read,
    KeyboardInterrupt on Ctrl-C. An image without alpha is meshed as its full
    rectangle, and the result's `warnings` say so. The interpreter
    lock is released while the mesh is computed, so threads run in parallel.
    """
    # The native mesher checks the options (vellumcut._mesher.validate's
    # rules) before it reads the image, and returns them as it used them.
    pixels = _pixels(image)
    result = _mesher.mesh(pixels, alpha_threshold=alpha_threshold, tolerance=tolerance, padding=padding,
                          max_vertices=max_vertices, interior=interior, spacing=spacing, min_angle=min_angle,
                          seed=seed, min_island_area=min_island_area, min_hole_area=min_hole_area,
                          margin=margin, strict_budget=strict_budget)
    params = result.pop("options")
    return from_mesher(result, params["margin"], params, pixels if isinstance(pixels, str) else None)


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
