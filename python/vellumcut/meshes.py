"""One shape for the results of every core function, plus the geometry the
exporters and previews share (UVs, mesh boundaries, triangle angles).

Frames, because they are easy to mix up:

* mask frame: what every mesher returns. x to the right, y downwards,
  origin at the centre of the top-left pixel of the image *with* the
  transparent margin, and integer coordinates sit on pixel centres: pixel
  (c, r) spans c +- 0.5, r +- 0.5. Where outlines run differs by mode
  (`modes.get(mode).frame`): the core's modes (outline, earcut, poisson)
  trace through the centres of boundary pixels (integer coordinates); the
  sprite mesher's (mesh, rig) run along pixel edges (half-integer
  coordinates before simplification), so no opaque pixel is clipped.
* image frame: the mask frame with the margin taken off, m = max(margin, 0).
* UV: u = (x - m + 0.5) / W, v = (y - m + 0.5) / H, W x H the original image
  size. The +0.5 moves the origin to the image's top-left corner, where
  texel (c, r) spans [c/W, (c+1)/W] x [r/H, (r+1)/H]; so a vertex traced
  through the centre of pixel (c, r) samples the middle of that very texel,
  a vertex on a pixel edge that texel edge, and v grows downwards like the
  image rows (origin at the top-left corner).
"""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Mapping

import numpy as np

MODES = ("outline", "earcut", "poisson", "mesh")  # "mesh": vellumcut.mesh_sprite


@dataclass
class Part:
    """One piece of a result: an island's mesh (earcut group, Poisson island)
    or, for outlines, a single traced outline without triangles."""

    vertices: np.ndarray  # (N, 2) float64, mask frame
    triangles: np.ndarray  # (K, 3) int64 indices into vertices
    rings: list[np.ndarray] = field(default_factory=list)  # index arrays of closed rings

    @property
    def outer_rings(self) -> list[np.ndarray]:
        return [r for r, hole in zip(self.rings, self._ring_is_hole()) if not hole]

    @property
    def hole_rings(self) -> list[np.ndarray]:
        return [r for r, hole in zip(self.rings, self._ring_is_hole()) if hole]

    def _ring_is_hole(self) -> list[bool]:
        # Exports and previews ask for both lists several times per part; the
        # areas are computed once per set of rings.
        key = (id(self.rings), len(self.rings))
        cached = self.__dict__.get("_holes")
        if cached is None or cached[0] != key:
            cached = (key, [ring_area(self.vertices[r]) > 0 for r in self.rings])
            self.__dict__["_holes"] = cached
        return cached[1]


@dataclass
class SpriteMesh:
    """A core result with what is needed to export or draw it."""

    mode: str
    parts: list[Part]
    mask_width: int
    mask_height: int
    margin: int  # as the caller passed it; see `border`
    scale: float = 1.0
    params: dict[str, Any] = field(default_factory=dict)
    source: str | None = None
    #: What the user should know about this result (a vertex budget that
    #: forced much overdraw, say); the command line prints them.
    warnings: list[str] = field(default_factory=list)

    @property
    def border(self) -> int:
        """Width of the transparent border actually added (negative margins add none)."""
        return max(self.margin, 0)

    @property
    def image_width(self) -> int:
        return self.mask_width - 2 * self.border

    @property
    def image_height(self) -> int:
        return self.mask_height - 2 * self.border

    @property
    def vertex_count(self) -> int:
        return sum(len(p.vertices) for p in self.parts)

    @property
    def triangle_count(self) -> int:
        return sum(len(p.triangles) for p in self.parts)

    def image_xy(self, vertices: np.ndarray) -> np.ndarray:
        """Mask-frame points to image pixels with texel-edge origin: (x - m + 0.5, y - m + 0.5)."""
        return np.asarray(vertices, np.float64) - self.border + 0.5

    def uvs(self, vertices: np.ndarray) -> np.ndarray:
        """Texture coordinates in 0..1 of the original image (see the module docstring)."""
        return self.image_xy(vertices) / np.array([self.image_width, self.image_height], np.float64)

    def all_triangles(self) -> np.ndarray:
        """(K, 3, 2) corner coordinates of every triangle of every part."""
        tris = [p.vertices[p.triangles] for p in self.parts if len(p.triangles)]
        return np.concatenate(tris) if tris else np.zeros((0, 3, 2))


# --- building SpriteMesh from core results ------------------------------------


def _flat_points(flat: Any) -> np.ndarray:
    return np.asarray(flat, np.float64).reshape(-1, 2)


def _tri_indices(idx: Any, n_vertices: int) -> np.ndarray:
    tris = np.asarray(idx, np.int64).reshape(-1, 3)
    if tris.size and (tris.min() < 0 or tris.max() >= n_vertices):
        raise ValueError("triangle index out of range")
    return tris


def from_islands(result: Mapping[str, Any], margin: int, params: dict | None = None,
                 source: str | None = None) -> SpriteMesh:
    parts = []
    for flat in result["loops"]:
        pts = _flat_points(flat)
        parts.append(Part(pts, np.zeros((0, 3), np.int64), [np.arange(len(pts))]))
    return SpriteMesh("outline", parts, int(result["w"]), int(result["h"]), margin,
                      float(result["scale"]), dict(params or {}), source)


def part_from_mesh(v: Any, idx: Any) -> Part:
    pts = _flat_points(v)
    tris = _tri_indices(idx, len(pts))
    return Part(pts, tris, boundary_rings(pts, tris))


def from_triangulate(result: Mapping[str, Any], margin: int, params: dict | None = None,
                     source: str | None = None) -> SpriteMesh:
    parts = [part_from_mesh(g["v"], g["idx"]) for g in result["groups"]]
    return SpriteMesh("earcut", parts, int(result["w"]), int(result["h"]), margin,
                      float(result["scale"]), dict(params or {}), source)


def from_poisson(result: Mapping[str, Any], margin: int, params: dict | None = None,
                 source: str | None = None) -> SpriteMesh:
    parts = [part_from_mesh(result["v"], result["idx"])]
    return SpriteMesh("poisson", parts, int(result["w"]), int(result["h"]), margin,
                      float(result["scale"]), dict(params or {}), source)


# --- geometry -------------------------------------------------------------------


def ring_area(points: np.ndarray) -> float:
    """Shoelace area; positive when the ring runs clockwise on screen (y down)."""
    p = np.asarray(points, np.float64)
    if len(p) < 3:
        return 0.0
    q = np.roll(p, -1, axis=0)
    return 0.5 * float(np.sum(p[:, 0] * q[:, 1] - q[:, 0] * p[:, 1]))


def triangle_areas(corners: np.ndarray) -> np.ndarray:
    """Signed areas of (K, 3, 2) triangles; positive = clockwise on screen."""
    a, b, c = corners[:, 0], corners[:, 1], corners[:, 2]
    return 0.5 * ((b[:, 0] - a[:, 0]) * (c[:, 1] - a[:, 1]) - (c[:, 0] - a[:, 0]) * (b[:, 1] - a[:, 1]))


def min_angles(corners: np.ndarray) -> np.ndarray:
    """Smallest interior angle of each (K, 3, 2) triangle, in degrees (0 for degenerate ones)."""
    if len(corners) == 0:
        return np.zeros(0)
    angles = []
    for i in range(3):
        p = corners[:, i]
        d1 = corners[:, (i + 1) % 3] - p
        d2 = corners[:, (i + 2) % 3] - p
        n1 = np.linalg.norm(d1, axis=1)
        n2 = np.linalg.norm(d2, axis=1)
        with np.errstate(invalid="ignore", divide="ignore"):
            cos = np.einsum("ij,ij->i", d1, d2) / (n1 * n2)
        ang = np.degrees(np.arccos(np.clip(cos, -1.0, 1.0)))
        angles.append(np.where((n1 > 0) & (n2 > 0), ang, 0.0))
    out = np.min(np.stack(angles, axis=1), axis=1)
    return np.where(np.abs(triangle_areas(corners)) > 1e-12, out, 0.0)


def boundary_rings(vertices: np.ndarray, triangles: np.ndarray) -> list[np.ndarray]:
    """Closed rings of vertex indices made of the mesh's boundary edges.

    An edge is on the boundary when it is used more often in one direction
    than in the other, once every triangle is turned the same way; the
    boundary edges then split into cycles. Outer rings come out with a
    signed area below 0 and holes above 0, the convention of the core's
    outlines, largest outer ring first. Degenerate triangles are left out.
    The walk is the sprite mesher's own (`vellumcut._mesher.boundary_rings`),
    so every result's rings are rebuilt the same way.
    """
    if len(triangles) == 0:
        return []
    from vellumcut import _mesher

    return _mesher.boundary_rings(np.asarray(vertices, np.float64).reshape(-1, 2),
                                  np.asarray(triangles, np.int64).reshape(-1, 3))
