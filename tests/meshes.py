"""Synthetic core results in the exact shapes the core returns, for testing
exporters and previews independently of the meshers."""
from __future__ import annotations

import numpy as np


def grid_group(x0: float, y0: float, cell: float, n: int) -> dict:
    """triangulate_png-style group: an n x n grid of squares, two triangles each."""
    v, idx = [], []
    for j in range(n + 1):
        for i in range(n + 1):
            v += [x0 + i * cell, y0 + j * cell]
    for j in range(n):
        for i in range(n):
            a = j * (n + 1) + i
            b, c, d = a + 1, a + n + 1, a + n + 2
            idx += [a, b, d, a, d, c]
    return {"v": v, "idx": idx}


def square_with_hole_group() -> dict:
    """Outer square (counter-clockwise on screen) and a square hole, 8 triangles."""
    v = [2, 2, 2, 22, 22, 22, 22, 2,   # outer, signed area < 0
         8, 8, 16, 8, 16, 16, 8, 16]   # hole, signed area > 0
    idx = [0, 1, 4, 1, 7, 4, 1, 2, 7, 2, 6, 7, 2, 3, 6, 3, 5, 6, 3, 0, 5, 0, 4, 5]
    return {"v": v, "idx": idx}


def triangulate_result(groups: list[dict], w: int, h: int) -> dict:
    return {"groups": groups, "w": w, "h": h, "scale": 1.0}


def poisson_result(group: dict, w: int, h: int) -> dict:
    return {"v": np.asarray(group["v"], np.float64).reshape(-1, 2),
            "idx": np.asarray(group["idx"], np.int32), "w": w, "h": h, "scale": 1.0}
