"""What each mode of meshing is, beyond its function: where its outlines run,
which pixels it counts as opaque, and how to explain what it refused or why
its result came back empty.

The previews, the quality report, the messages and the command line ask the
mode (`modes.get(mesh.mode)`), never the text of an exception.

    mode = vellumcut.modes.get("mesh")
    rgba, opaque = mode.load_mask(path, mesh)   # alpha > alpha_threshold
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Callable, Mapping

import numpy as np

#: Frames: where a mode's outlines run. The core traces through the centres
#: of boundary pixels; the sprite mesher along pixel edges (half-integer
#: coordinates in the mask frame), so it never clips an opaque pixel.
PIXEL_CENTRES = "pixel centres"
PIXEL_EDGES = "pixel edges"

Explain = Callable[["Mode", BaseException, str, Mapping[str, Any]], str]
EmptyReason = Callable[["Mode", Any, str], str]


@dataclass(frozen=True)
class Mode:
    """A registered mode of meshing.

    `frame`: PIXEL_CENTRES or PIXEL_EDGES. `threshold_param`: the parameter
    holding the alpha threshold (a pixel is opaque when alpha > it), or None
    for the core's rule, alpha > 0. `needs_alpha`: images without alpha are
    refused (the core) rather than meshed as their rectangle. `triangles`:
    results hold triangles (not only outlines). `explainer(mode, exc, path,
    params)` and `empty_explainer(mode, mesh, path)` give the one-line
    English report of a refusal and of an empty result (`explain`,
    `why_empty`).
    """

    name: str
    frame: str
    explainer: Explain
    empty_explainer: EmptyReason
    threshold_param: str | None = None
    needs_alpha: bool = True
    triangles: bool = True

    def explain(self, exc: BaseException, path: str, params: Mapping[str, Any] | None = None) -> str:
        """Why meshing `path` failed with `exc`, in one English line."""
        return self.explainer(self, exc, path, params or {})

    def why_empty(self, mesh: Any, path: str) -> str:
        """Why `mesh` came back without anything to write, in one English line."""
        return self.empty_explainer(self, mesh, path)

    def is_empty(self, mesh: Any) -> bool:
        """No part at all, or (for modes with triangles) not a single triangle."""
        return not mesh.parts or (self.triangles and mesh.triangle_count == 0)

    def alpha_threshold(self, params: Mapping[str, Any] | None) -> int:
        """The alpha above which a pixel is opaque, for these parameters."""
        if self.threshold_param is None or not params:
            return 0
        value = params.get(self.threshold_param)
        return int(value) if value is not None else 0

    def opaque(self, alpha: np.ndarray, params: Mapping[str, Any] | None) -> np.ndarray:
        """The mode's mask rule on 8-bit alpha samples."""
        return np.asarray(alpha) > self.alpha_threshold(params)

    def load_mask(self, source: Any, mesh: Any, *, pixels: bool = True) -> Any:
        """(rgba, opaque) of the mesh's image (`vellumcut.image.load_mask`):
        the RGBA pixels to draw and the opaque mask by this mode's rule, in
        the mesh's mask frame."""
        from vellumcut import image

        return image.load_mask(source, self.alpha_threshold(mesh.params), mesh, pixels=pixels)


MODES: dict[str, Mode] = {}


def register_mode(mode: Mode) -> Mode:
    if mode.name in MODES:
        raise ValueError(f"mode {mode.name!r} is already registered")
    MODES[mode.name] = mode
    return mode


def get(name: str) -> Mode:
    """The registered mode `name`; a mesher registered without one (through
    `vellumcut.register_mesher`) gets the core's frame and mask rule and
    plain reports."""
    found = MODES.get(name)
    if found is not None:
        return found
    from vellumcut import messages

    return Mode(name, PIXEL_CENTRES, messages.explain_other, messages.empty_other)


def _register_builtin() -> None:
    from vellumcut import messages

    register_mode(Mode("outline", PIXEL_CENTRES, messages.explain_core, messages.empty_outline,
                       triangles=False))
    register_mode(Mode("earcut", PIXEL_CENTRES, messages.explain_core, messages.empty_core))
    register_mode(Mode("poisson", PIXEL_CENTRES, messages.explain_core, messages.empty_core))
    register_mode(Mode("mesh", PIXEL_EDGES, messages.explain_mesher, messages.empty_mesher,
                       threshold_param="alpha_threshold", needs_alpha=False))
    # `rig_sprite`: the sprite mesher's mesh, with bones and weights.
    register_mode(Mode("rig", PIXEL_EDGES, messages.explain_mesher, messages.empty_mesher,
                       threshold_param="alpha_threshold", needs_alpha=False))


_register_builtin()
