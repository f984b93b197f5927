"""Presets of `mesh_sprite`: named sets of options for the three jobs a
sprite mesh usually has. Every surface (Python's `preset=`, the command
line's `--preset`, the Blender add-on) reads them from `PRESETS`; options
given explicitly always win over the preset's.

* render: outline only, tight tolerance: the fewest triangles that draw the
  sprite with little transparent fill (overdraw).
* deform: Triangle's quality interior with the spacing picked per island,
  about 100 vertices: even triangles that bend well under bones (Spine,
  Godot skeletons).
* physics: outline only, no padding, a tight vertex budget and every hole
  filled: a collision shape.
"""
from __future__ import annotations

import functools
import inspect
from typing import Any, Mapping

#: Holes are filled when they have fewer transparent pixels than this; the
#: physics preset fills them all (the mesher's images stay far below it).
FILL_ALL_HOLES = 2**31 - 1

PRESETS: dict[str, dict[str, Any]] = {
    "render": {"interior": "none", "tolerance": 0.75, "padding": 0.0, "max_vertices": None},
    "deform": {"interior": "quality", "spacing": "auto", "max_vertices": 100},
    "physics": {"interior": "none", "padding": 0.0, "max_vertices": 32,
                "min_hole_area": FILL_ALL_HOLES},
}

#: What each preset is for, in a few words (the values are in `describe`).
PRESET_HELP = {
    "render": "few triangles, little transparent overdraw",
    "deform": "even triangles that bend under bones",
    "physics": "collision shapes",
}


def describe(name: str) -> str:
    """The preset's values as one line: `interior none, tolerance 0.75, ...`."""
    from vellumcut.quality import settings_text

    return settings_text(preset_values(name))


def preset_values(name: str) -> dict[str, Any]:
    """A copy of the preset's options; ValueError naming the presets for an unknown name."""
    if not isinstance(name, str) or name not in PRESETS:
        raise ValueError(f"preset must be one of {', '.join(map(repr, PRESETS))} (or None), "
                         f"got {name!r}")
    return dict(PRESETS[name])


def resolve(preset: str | None, options: Mapping[str, Any]) -> dict[str, Any]:
    """The options `mesh_sprite` gets: the preset's values under the explicit `options`.

    A preset's vertex budget is a target, not a limit to refuse a sprite
    over: on a sprite with more islands than it can give 3 vertices each, it
    grows to that least (with a warning). A budget given explicitly stays
    strict."""
    if preset is None:
        return dict(options)
    values = {**preset_values(preset), **options}
    if values.get("max_vertices") and "max_vertices" not in options:
        values.setdefault("strict_budget", False)
    return values


def with_presets(mesher: Any) -> Any:
    """`mesher` (`sprite.mesh_sprite`) taking `preset=` as well; the preset's
    name is recorded in the result's parameters beside the values used."""

    @functools.wraps(mesher)
    def mesh_sprite(image: Any, *, preset: str | None = None, **options: Any) -> Any:
        mesh = mesher(image, **resolve(preset, options))
        if preset is not None:
            mesh.params = {"preset": preset, **mesh.params}
        return mesh

    sig = inspect.signature(mesher)
    params = list(sig.parameters.values())
    first_kw = next(i for i, p in enumerate(params) if p.kind is p.KEYWORD_ONLY)
    params.insert(first_kw, inspect.Parameter("preset", inspect.Parameter.KEYWORD_ONLY, default=None,
                                              annotation="Optional[str]"))
    mesh_sprite.__signature__ = sig.replace(parameters=params)  # type: ignore[attr-defined]
    mesh_sprite.__doc__ = (mesher.__doc__ or "") + (
        "\n    `preset`: \"render\", \"deform\" or \"physics\" (see `vellumcut.presets`) fills in\n"
        "    the options not given explicitly.\n")
    return mesh_sprite
