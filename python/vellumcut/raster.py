"""The package's one rasteriser: triangles (many at once) and closed
polygons (the outlines of results without triangles), with numpy.

A pixel (c, r) is inside a triangle or polygon when its centre, the point
(c, r) itself in the frame the corners are given in, lies inside it or on
its edge (polygons by the even-odd rule). Each triangle is cut into the rows of centres it spans; for every
(triangle, row) pair the span of centres comes from the three edges at once,
so the cost grows with the number of such pairs, not with Python loops.
Triangles without area (three collinear corners) cover nothing.
Corners are widened by a small tolerance so that centres lying exactly on
an edge (pixel-centre outlines put many there) count as inside.
"""
from __future__ import annotations

from typing import Iterable, Iterator

import numpy as np

from vellumcut.meshes import triangle_areas

AREA_EPS = 1e-12
ROW_TOL = 1e-6
X_TOL = 1e-4
# (triangle, row) pairs handled at once: bounds the temporaries to a few tens of MB.
CHUNK = 1 << 20


def spans(corners: np.ndarray, height: int, width: int) -> Iterator[tuple[np.ndarray, ...]]:
    """Yield (triangle, row, x0, x1) arrays, chunk by chunk: the inclusive
    columns x0..x1 of the centres in `row` covered by `triangle` (an index
    into `corners`, (K, 3, 2)), clipped to the image; empty spans left out."""
    c = np.asarray(corners, np.float64).reshape(-1, 3, 2)
    if c.size == 0 or height <= 0 or width <= 0:
        return
    # Triangles without area cover nothing, though centres may lie on them.
    solid = np.flatnonzero(np.abs(triangle_areas(c)) > AREA_EPS)
    if len(solid) < len(c):
        for tri, row, x0, x1 in spans(c[solid], height, width):
            yield solid[tri], row, x0, x1
        return
    y = c[:, :, 1]
    r0 = np.maximum(np.ceil(y.min(axis=1) - ROW_TOL), 0).astype(np.int64)
    r1 = np.minimum(np.floor(y.max(axis=1) + ROW_TOL), height - 1).astype(np.int64)
    counts = np.maximum(r1 - r0 + 1, 0)
    ends = np.cumsum(counts)
    starts = ends - counts
    total = int(ends[-1]) if len(ends) else 0
    if total == 0:
        return
    # Triangles whose rows begin each chunk.
    bounds = np.searchsorted(ends, np.arange(0, total, CHUNK), side="right")
    bounds = np.append(bounds, len(counts))
    for lo, hi in zip(bounds[:-1], bounds[1:]):
        if lo == hi:
            continue
        n = counts[lo:hi]
        tri = np.repeat(np.arange(lo, hi), n)
        row = r0[tri] + (np.arange(len(tri)) - np.repeat(starts[lo:hi] - starts[lo], n))
        yy = row.astype(np.float64)
        xmin = np.full(len(tri), np.inf)
        xmax = np.full(len(tri), -np.inf)
        for i in range(3):
            ax, ay = c[tri, i, 0], c[tri, i, 1]
            bx, by = c[tri, (i + 1) % 3, 0], c[tri, (i + 1) % 3, 1]
            lo_y, hi_y = np.minimum(ay, by), np.maximum(ay, by)
            meets = (yy >= lo_y - ROW_TOL) & (yy <= hi_y + ROW_TOL)
            flat = (hi_y - lo_y) <= ROW_TOL
            with np.errstate(invalid="ignore", divide="ignore"):
                t = np.clip((yy - ay) / (by - ay), 0.0, 1.0)
            x = ax + t * (bx - ax)
            # A (nearly) horizontal edge on this row contributes both ends.
            xa = np.where(flat, np.minimum(ax, bx), x)
            xb = np.where(flat, np.maximum(ax, bx), x)
            xmin = np.where(meets, np.minimum(xmin, xa), xmin)
            xmax = np.where(meets, np.maximum(xmax, xb), xmax)
        ok = np.isfinite(xmin) & np.isfinite(xmax)
        x0 = np.ceil(xmin[ok] - X_TOL)
        x1 = np.floor(xmax[ok] + X_TOL)
        x0 = np.clip(x0, 0, width).astype(np.int64)
        x1 = np.clip(x1, -1, width - 1).astype(np.int64)
        keep = x1 >= x0
        yield tri[ok][keep], row[ok][keep], x0[keep], x1[keep]


def coverage(corners: np.ndarray, height: int, width: int,
             polygons: Iterable[np.ndarray] = ()) -> np.ndarray:
    """Boolean (height, width) image of the centres covered by any triangle
    of `corners` (K, 3, 2) or any closed polygon of `polygons` ((N, 2) each)."""
    pitch = width + 2  # a gap column between rows, so merged runs never join rows
    chunks = [(row * pitch + x0, row * pitch + x1) for _, row, x0, x1 in spans(corners, height, width)]
    flat = np.zeros(height * pitch + 1, np.int8)
    if chunks:
        start = np.concatenate([c[0] for c in chunks])
        stop = np.concatenate([c[1] for c in chunks])
        order = np.argsort(start, kind="stable")
        start, stop = start[order], stop[order]
        # Merge overlapping and touching runs: a run opens a new one where it
        # starts past the furthest end of every run before it.
        reach = np.maximum.accumulate(stop)
        new = np.ones(len(start), bool)
        new[1:] = start[1:] > reach[:-1] + 1
        first = np.flatnonzero(new)
        last = np.append(first[1:], len(start)) - 1
        # Merged runs are separated by at least one pixel, so no two marks collide.
        flat[start[first]] = 1
        flat[reach[last] + 1] = -1
    out = (np.cumsum(flat[:-1], dtype=np.int8).reshape(height, pitch)[:, :width]) > 0
    for points in polygons:
        fill_polygon(points, out)
    return out


def fill_polygon(points: np.ndarray, out: np.ndarray) -> None:
    """Set the pixels of `out` whose centre (integer x, y) lies inside or on the
    closed polygon `points` (even-odd rule).

    Each row is scanned just above and just below its centre line and the two
    spans are joined, so centres lying exactly on an edge, horizontal ones
    included, count as inside.
    """
    p = np.asarray(points, np.float64)
    h, w = out.shape
    if len(p) < 3:
        return
    y_lo = max(int(np.floor(p[:, 1].min())), 0)
    y_hi = min(int(np.ceil(p[:, 1].max())), h - 1)
    if y_hi < y_lo:
        return
    rows = np.arange(y_lo, y_hi + 1)
    x0, y0 = p[:, 0], p[:, 1]
    x1, y1 = np.roll(x0, -1), np.roll(y0, -1)
    hit = np.zeros((len(rows), w + 1), np.int32)
    for off in (-ROW_TOL, ROW_TOL):
        yy = (rows + off)[:, None]
        cross = ((y0 <= yy) & (yy < y1)) | ((y1 <= yy) & (yy < y0))
        with np.errstate(invalid="ignore", divide="ignore"):
            xs = x0 + (yy - y0) / (y1 - y0) * (x1 - x0)
        xs = np.sort(np.where(cross, xs, np.inf), axis=1)
        starts, ends = xs[:, 0::2], xs[:, 1::2]
        k = min(starts.shape[1], ends.shape[1])
        starts, ends = starts[:, :k], ends[:, :k]
        ok = np.isfinite(ends)
        r_idx = np.broadcast_to(np.arange(len(rows))[:, None], starts.shape)[ok]
        a = np.clip(np.ceil(starts[ok] - X_TOL), 0, w).astype(np.int64)
        b = np.clip(np.floor(ends[ok] + X_TOL) + 1, 0, w).astype(np.int64)
        keep = b > a
        row_hits = np.zeros((len(rows), w + 1), np.int32)
        np.add.at(row_hits, (r_idx[keep], a[keep]), 1)
        np.add.at(row_hits, (r_idx[keep], b[keep]), -1)
        hit += np.cumsum(row_hits, axis=1) > 0
    out[y_lo:y_hi + 1] |= hit[:, :w] > 0


def labels(corners: np.ndarray, height: int, width: int) -> np.ndarray:
    """int32 (height, width) image holding, per centre, the index of a
    triangle covering it (the last one, where triangles share an edge) or -1."""
    out = np.full(height * width, -1, np.int32)
    for tri, row, x0, x1 in spans(corners, height, width):
        length = x1 - x0 + 1
        first = np.cumsum(length) - length
        flat = np.repeat(row * width + x0 - first, length) + np.arange(int(length.sum()))
        out[flat] = np.repeat(tri.astype(np.int32), length)
    return out.reshape(height, width)
