"""Vellumcut C++ core (Earcut + Triangle + Poisson)

Every coordinate is a pixel coordinate of the alpha mask: x to the right,
y downwards, origin at the top-left pixel of the image *with* the transparent
margin added (image pixel (c, r) is mask pixel (c + margin, r + margin) when
margin > 0). Traced outlines run through pixel centres. Nothing is flipped,
shifted back or normalised, and "scale" is always 1.0.

Floats are held as 32-bit floats and integers as 32-bit signed integers; a
float where an integer is expected, an integer outside the 32-bit range, a
path object instead of str/bytes, or any other unconvertible argument raises
TypeError. The image functions raise RuntimeError with these messages:
"RGBA PNG を指定してください" (missing/unreadable file, fewer than 4 channels),
"画像が大きすぎます" (more than 4096 x 4096 pixels, margin not counted), and
OpenCV's own message when OpenCV refuses the input (a negative eps, 16-bit
samples).
"""

from collections.abc import Sequence
from typing import TypedDict

import numpy as np
import numpy.typing as npt

_Path = str | bytes | bytearray
_Point = Sequence[float]  # one (x, y) pair


class _IslandsResult(TypedDict):
    loops: list[list[float]]
    w: int
    h: int
    scale: float


class _Group(TypedDict):
    v: list[float]
    idx: list[int]


class _TriangulateResult(TypedDict):
    groups: list[_Group]
    w: int
    h: int
    scale: float


class _MeshResult(TypedDict):
    v: npt.NDArray[np.float64]
    idx: npt.NDArray[np.int32]


class _PoissonResult(TypedDict):
    v: npt.NDArray[np.float64]
    idx: npt.NDArray[np.int32]
    w: int
    h: int
    scale: float


def islands(path: _Path, eps: float, margin: int) -> _IslandsResult:
    """Simplified outer outline of every opaque island (alpha > 0).

    Parameters:
        path: image file (str as UTF-8, or bytes/bytearray unchanged); any
            format OpenCV decodes to 4 channels.
        eps: Douglas-Peucker tolerance in pixels.
        margin: transparent border added on every side; <= 0 adds none.

    Returns a dict with the keys, in this order:
        "loops": one flat list [x0, y0, x1, y1, ...] per island whose traced
            area is at least 3 square pixels; at least 3 points each, running
            counter-clockwise on screen (signed area <= 0). Holes and islands
            inside holes are not reported.
        "w", "h": mask size, margin included.
        "scale": 1.0.

    Raises:
        TypeError: an argument does not convert.
        RuntimeError: "RGBA PNG を指定してください", "画像が大きすぎます", or
            OpenCV's message (for instance a negative eps).
    """


def triangulate_png(path: _Path, eps: float, margin: int, maxA: float) -> _TriangulateResult:
    """Ear-clipping mesh of every opaque region, holes included.

    Parameters:
        path, eps, margin: as for islands().
        maxA: accepted and converted, but it has no effect on the result.

    Returns a dict with the keys, in this order:
        "groups": one dict per outer outline (with its direct holes) whose area
            reaches the area floor: "v" the flat coordinates [x0, y0, ...] of
            the outer outline's points followed by each hole's, "idx" three
            indices per triangle, counted from 0 within the group.
        "w", "h": mask size, margin included.
        "scale": 1.0.

    Raises:
        TypeError: an argument does not convert.
        RuntimeError: "RGBA PNG を指定してください", "画像が大きすぎます",
            "不透明領域が見つかりません" (no opaque pixel), or OpenCV's message.
    """


def poisson_png(path: _Path, eps: float, margin: int, rpx: int) -> _PoissonResult:
    """Constrained Delaunay mesh of the largest opaque island, holes included,
    with Poisson-disk samples as interior vertices.

    Parameters:
        path, margin: as for islands().
        eps: accepted and never read (the outline is used as traced).
        rpx: Poisson-disk radius in pixels; samples keep a clearance of
            1.5 * rpx from the outline and rpx from each other.

    Returns a dict with the keys, in this order:
        "v": float64 array of shape (N, 2), the vertices (x, y).
        "idx": int32 array of shape (3K,), three vertex indices per triangle.
        "w", "h": mask size, margin included.
        "scale": 1.0.
    The interior vertices differ from call to call (the sampler is seeded
    from a non-deterministic source); the outline vertices do not.

    Raises:
        TypeError: an argument does not convert.
        RuntimeError: "RGBA PNG を指定してください", "画像が大きすぎます",
            "不透明領域が見つかりません", "outer ring degenerate" (the island is
            a single pixel or a one-pixel-wide line), or OpenCV's message.
    """


def tri_mesh_debug(
    outer: Sequence[_Point], holes: Sequence[Sequence[_Point]], extra: Sequence[_Point]
) -> _MeshResult:
    """Constrained Delaunay mesh of the region inside `outer` and outside
    every ring of `holes`, with the `extra` points as free vertices.

    Parameters:
        outer: the outer ring, a sequence of (x, y) points, not closed by a
            repeated point; either orientation.
        holes: hole rings, each as for outer; rings with fewer than 3 points
            or an area of 0.001 or less are ignored.
        extra: free points that become vertices (no edges join them).

    Returns a dict with the keys, in this order:
        "v": float64 array of shape (N, 2): the triangulation's vertices.
        "idx": int32 array of shape (3K,): three indices per triangle whose
            centroid lies inside or on the outer ring and outside every hole.

    Raises:
        TypeError: an argument does not convert.
        RuntimeError: "outer ring degenerate" (fewer than 3 points, or an area
            of 0.001 or less), "seg index exceeds pointlist".
    """
