"""Area helpers shared by the test files, each in the precision its users need."""
from __future__ import annotations

import numpy as np


def signed_area32(points) -> float:
    """The core's shoelace area: each term x0*y1 - x1*y0 in float32, summed in
    double; positive = clockwise on screen (y down). `points` is flat
    (x0, y0, x1, ...) or N x 2."""
    pts = np.asarray(points, np.float32).reshape(-1, 2)
    total = 0.0
    for i in range(len(pts)):
        (x0, y0), (x1, y1) = pts[i], pts[(i + 1) % len(pts)]
        total += float(np.float32(np.float32(x0 * y1) - np.float32(x1 * y0)))
    return total * 0.5


def ring_area(points) -> float:
    """Unsigned shoelace area in double precision (exact for whole-number
    coordinates of sprite size)."""
    p = np.asarray(points, dtype=float).reshape(-1, 2)
    q = np.roll(p, -1, axis=0)
    return abs(float((p[:, 0] * q[:, 1] - q[:, 0] * p[:, 1]).sum())) / 2.0


def triangle_cross(v, idx) -> np.ndarray:
    """Twice the signed area of every triangle of a mesh, (b - a) x (c - a) in
    double: positive for counter-clockwise with y up (clockwise on screen).
    `v` is N x 2 or flat, `idx` flat with three indices per triangle."""
    pts = np.asarray(v, dtype=np.float64).reshape(-1, 2)
    tri = pts[np.asarray(idx, dtype=np.int64).reshape(-1, 3)]
    if len(tri) == 0:
        return np.zeros(0)
    a, b, c = tri[:, 0], tri[:, 1], tri[:, 2]
    return (b[:, 0] - a[:, 0]) * (c[:, 1] - a[:, 1]) - (c[:, 0] - a[:, 0]) * (b[:, 1] - a[:, 1])


def triangle_areas(v, idx) -> np.ndarray:
    """Unsigned area of every triangle."""
    return 0.5 * np.abs(triangle_cross(v, idx))
