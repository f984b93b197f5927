"""Invariant checkers for sprite meshes, shared by the mesher's tests and the
mesher benchmark.

Every checker takes a `vellumcut.meshes.SpriteMesh` and, where pixels matter,
the opaque mask of the sprite: a boolean array in the image frame (the
original image's H x W) or already in the mask frame (margin included). Pixel
(row r, column c) of the image is the closed unit square centred on
(c + m, r + m) in the mask frame, m = mesh.border, so its edges lie on
half-integers. "The opaque set" below is the union of those squares.

    problems = check_coverage(mesh, mask, padding=0.5)   # [] when it holds
    assert_sound(mesh, mask, tolerance=1.0, padding=0.5)  # AssertionError listing every problem
    mesh_figures(mesh, mask, min_angle=25.0)              # coverage, overdraw, angles, counts

What each checker decides, and how exactly:

* `check_coverage`: every opaque pixel square lies inside the triangles and
  at least `padding` px from their boundary (the edges that two triangles do
  not share; for outline-only parts, the rings). Pixel centres are tested by
  an even-odd scan per part; every boundary segment is measured against
  every opaque square near it (closed-form segment-to-box distance; with
  padding 0 the segment must not enter a square's interior). Both use
  float64 on coordinates that are usually half-integers, with 1e-9 px slack.
* `check_tolerance`: no point of an outline (vertices and edges) lies more
  than `tolerance + padding` px from the opaque set. For each short piece of
  every ring, the parameter intervals where it lies within that distance of
  each nearby opaque square (a square grown by a disc: two rectangles and
  four discs, solved in closed form) must cover the whole piece.
* `check_validity`: coordinates finite, indices in range; per part at least
  one outer ring (signed area < 0, counter-clockwise on screen with y down,
  the convention of `vellumcut.meshes`; an island whose pixels touch only at a
  corner may come as rings touching there) and holes (> 0); no ring segment crosses,
  overlaps or touches the inside of another (rings may touch at a shared
  vertex when they do not cross there); holes inside their part's outer
  ring and outside its other holes; no part's outer ring inside another
  part's region. Triangles: none of zero area, all wound one way (exact
  orientation: float64 with an error bound, exact rationals when unsure),
  and the boundary of the triangle chain is exactly the rings (edges that do
  not cancel between triangles, compared by vertex position). With rings
  that bound a region of winding number 0 or 1 this proves the triangles
  cover the region exactly once: no overlap, no gap, no T-junction. The
  summed triangle area is compared with the ring area as well.
* `mesh_figures`: coverage fraction and overdraw from the exact area of the
  triangles (their boundary, as for coverage) inside the opaque set (integrated strip by strip, one per pixel row),
  smallest-angle figures, vertex and triangle counts.
"""
from __future__ import annotations

import math
import os
from fractions import Fraction
from typing import Any, Iterable

import numpy as np

from vellumcut.meshes import SpriteMesh, min_angles, ring_area, triangle_areas

__all__ = ["assert_sound", "check_angles", "check_coverage", "check_tolerance", "check_validity",
           "mask_frame", "mesh_figures", "opaque_mask"]

SLACK = 1e-9  # px: distances within this of a bound count as meeting it
PIECE = 4.0  # px: outlines are measured in pieces at most this long
MAX_LISTED = 8  # problems of one kind spelled out before the rest are counted


# --- inputs --------------------------------------------------------------------


def opaque_mask(image: Any, alpha_threshold: int = 0) -> np.ndarray:
    """Boolean image-frame mask of the pixels whose alpha exceeds the threshold.

    `image` is a path (read by OpenCV, as the core reads it) or an array:
    (H, W) alpha, (H, W, 1) or (H, W, 3) (all opaque), (H, W, 2) or
    (H, W, 4) with alpha last; uint16 alpha is compared on the 8-bit scale (> threshold * 257).
    """
    if isinstance(image, (str, bytes, os.PathLike)):
        import cv2

        arr = cv2.imread(os.fsdecode(image), cv2.IMREAD_UNCHANGED)
        if arr is None:
            raise OSError(f"cannot read {os.fsdecode(image)}")
    else:
        arr = np.asarray(image)
    if arr.ndim == 3 and arr.shape[2] in (2, 4):
        alpha = arr[..., -1]
    elif arr.ndim == 3 and arr.shape[2] in (1, 3):
        return np.ones(arr.shape[:2], bool)
    elif arr.ndim == 2:
        alpha = arr
    else:
        raise ValueError(f"cannot take an opaque mask from an array of shape {arr.shape}")
    limit = alpha_threshold * 257 if alpha.dtype == np.uint16 else alpha_threshold
    return alpha > limit


def mask_frame(mesh: SpriteMesh, mask: np.ndarray) -> np.ndarray:
    """The mask in the mesh's mask frame (padded by the border when given in the image frame)."""
    mask = np.asarray(mask, bool)
    if mask.shape == (mesh.mask_height, mesh.mask_width):
        return mask
    if mask.shape == (mesh.image_height, mesh.image_width):
        return np.pad(mask, mesh.border)
    raise ValueError(f"mask of shape {mask.shape} fits neither the image ({mesh.image_height}, "
                     f"{mesh.image_width}) nor the mask frame ({mesh.mask_height}, {mesh.mask_width})")


def _rings(mesh: SpriteMesh) -> list[tuple[int, int, np.ndarray]]:
    """(part index, ring index, (n, 2) points) of every ring."""
    return [(pi, ri, np.asarray(part.vertices, np.float64)[r])
            for pi, part in enumerate(mesh.parts) for ri, r in enumerate(part.rings)]


def _edges(mesh: SpriteMesh) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(p0, p1, part) of every ring edge, each ring closed."""
    p0, p1, part = [], [], []
    for pi, _, pts in _rings(mesh):
        if len(pts) == 0:
            continue
        p0.append(pts)
        p1.append(np.roll(pts, -1, axis=0))
        part.append(np.full(len(pts), pi))
    if not p0:
        return np.zeros((0, 2)), np.zeros((0, 2)), np.zeros(0, np.int64)
    return np.concatenate(p0), np.concatenate(p1), np.concatenate(part)


def _mesh_edges(mesh: SpriteMesh) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(p0, p1, part) of the boundary of each part's triangles: the edges left
    when every triangle is turned one way and opposite edges cancel, reversed
    so that they run like the rings (outer boundaries with signed area < 0).
    Parts without triangles (outlines) give their rings. This is what the
    triangles actually cover, whatever the rings say."""
    p0s, p1s, parts = [], [], []
    for pi, part in enumerate(mesh.parts):
        v = np.asarray(part.vertices, np.float64)
        t = np.asarray(part.triangles, np.int64).reshape(-1, 3)
        if len(t) == 0:
            for r in part.rings:
                pts = v[np.asarray(r, np.int64)]
                p0s.append(pts)
                p1s.append(np.roll(pts, -1, axis=0))
                parts.append(np.full(len(pts), pi))
            continue
        uniq, canon = np.unique(v, axis=0, return_inverse=True)
        canon = canon.reshape(-1)
        area = triangle_areas(v[t])
        t = canon[t[area != 0]]
        t = np.where((area[area != 0] < 0)[:, None], t[:, ::-1], t)
        e = np.concatenate([t[:, [0, 1]], t[:, [1, 2]], t[:, [2, 0]]])
        n = int(canon.max()) + 1
        keys, counts = np.unique(e[:, 0] * n + e[:, 1], return_counts=True)
        rev_keys = (keys % n) * n + keys // n
        pos = np.searchsorted(keys, rev_keys)
        pos = np.minimum(pos, len(keys) - 1)
        rev_counts = np.where(keys[pos] == rev_keys, counts[pos], 0)
        net = np.maximum(counts - rev_counts, 0)
        keys = np.repeat(keys, net)
        a, b = keys // n, keys % n
        p0s.append(uniq[b])
        p1s.append(uniq[a])
        parts.append(np.full(len(keys), pi))
    if not p0s:
        return np.zeros((0, 2)), np.zeros((0, 2)), np.zeros(0, np.int64)
    return np.concatenate(p0s), np.concatenate(p1s), np.concatenate(parts)


def _pieces(p0: np.ndarray, p1: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Edges cut into pieces at most PIECE long (an edge meets a bound where one of its pieces does)."""
    if len(p0) == 0:
        return p0, p1
    n = np.maximum(np.ceil(np.linalg.norm(p1 - p0, axis=1) / PIECE), 1).astype(np.int64)
    edge = np.repeat(np.arange(len(p0)), n)
    k = np.arange(len(edge)) - np.repeat(np.cumsum(n) - n, n)
    t0 = (k / n[edge])[:, None]
    t1 = ((k + 1) / n[edge])[:, None]
    d = p1[edge] - p0[edge]
    a = p0[edge] + t0 * d
    b = np.where(t1 >= 1.0, p1[edge], p0[edge] + t1 * d)
    return a, b


def _limited(kind: str, items: list[str]) -> list[str]:
    if len(items) <= MAX_LISTED:
        return items
    return items[:MAX_LISTED] + [f"... and {len(items) - MAX_LISTED} more {kind}"]


# --- pixel centres inside the mesh ---------------------------------------------


def _inside_centres(mesh: SpriteMesh, shape: tuple[int, int]) -> np.ndarray:
    """Boolean mask-frame image of the pixel centres strictly inside the
    triangles' boundary (even-odd per part, any part counts). A centre
    exactly on the boundary is not inside."""
    h, w = shape
    p0, p1, part = _mesh_edges(mesh)
    inside = np.zeros((h, w + 1), np.int64)
    keep = p0[:, 1] != p1[:, 1]
    p0, p1, part = p0[keep], p1[keep], part[keep]
    if len(p0) == 0:
        return inside[:, :w] > 0
    ylo = np.minimum(p0[:, 1], p1[:, 1])
    yhi = np.maximum(p0[:, 1], p1[:, 1])
    # Half-open rule: an edge crosses row y when ylo <= y < yhi, so a closed
    # ring crosses every row an even number of times.
    r0 = np.ceil(ylo).astype(np.int64)
    r1 = np.ceil(yhi).astype(np.int64)  # exclusive
    cnt = np.maximum(r1 - r0, 0)
    e = np.repeat(np.arange(len(p0)), cnt)
    rows = r0[e] + np.arange(len(e)) - np.repeat(np.cumsum(cnt) - cnt, cnt)
    x = p0[e, 0] + (rows - p0[e, 1]) * (p1[e, 0] - p0[e, 0]) / (p1[e, 1] - p0[e, 1])
    order = np.lexsort((x, rows, part[e]))
    rows, x = rows[order], x[order]
    a, b, rr = x[0::2], x[1::2], rows[0::2]
    c0 = np.floor(a).astype(np.int64) + 1  # first centre with c > a
    c1 = np.ceil(b).astype(np.int64)  # first centre with c >= b
    c0, c1 = np.clip(c0, 0, w), np.clip(c1, 0, w)
    ok = (rr >= 0) & (rr < h) & (c1 > c0)
    np.add.at(inside, (rr[ok], c0[ok]), 1)
    np.add.at(inside, (rr[ok], c1[ok]), -1)
    return np.cumsum(inside, axis=1)[:, :w] > 0


# --- outline pieces against nearby opaque squares ------------------------------


def _near_squares(a: np.ndarray, b: np.ndarray, opaque: np.ndarray, reach: float,
                  chunk: int = 400_000) -> Iterable[tuple[np.ndarray, np.ndarray, np.ndarray]]:
    """For pieces a -> b, yield (piece index, centre x, centre y) of every
    opaque square within `reach` of the piece's bounding box, in chunks."""
    h, w = opaque.shape
    if len(a) == 0:
        return
    lo = np.minimum(a, b) - reach - 0.5
    hi = np.maximum(a, b) + reach + 0.5
    c_lo = np.ceil(lo).astype(np.int64)
    c_hi = np.floor(hi).astype(np.int64)
    span = int(np.max(c_hi - c_lo)) + 1
    ox, oy = np.meshgrid(np.arange(span), np.arange(span))
    ox, oy = ox.ravel(), oy.ravel()
    step = max(1, chunk // (span * span))
    for s in range(0, len(a), step):
        idx = np.arange(s, min(s + step, len(a)))
        cx = c_lo[idx, 0][:, None] + ox[None, :]
        cy = c_lo[idx, 1][:, None] + oy[None, :]
        ok = (cx <= c_hi[idx, 0][:, None]) & (cy <= c_hi[idx, 1][:, None])
        ok &= (cx >= 0) & (cx < w) & (cy >= 0) & (cy < h)
        ok[ok] = opaque[cy[ok], cx[ok]]
        pi = np.broadcast_to(idx[:, None], cx.shape)[ok]
        yield pi, cx[ok].astype(np.float64), cy[ok].astype(np.float64)


def _slab(p0: np.ndarray, d: np.ndarray, lo: np.ndarray, hi: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Parameter interval [t0, t1] (of p0 + t d, t in [0, 1]) inside the
    closed box [lo, hi]; empty when t0 > t1."""
    t0 = np.zeros(len(p0))
    t1 = np.ones(len(p0))
    for k in range(2):
        dk = d[:, k]
        flat = dk == 0
        with np.errstate(divide="ignore", invalid="ignore"):
            ta = (lo[:, k] - p0[:, k]) / dk
            tb = (hi[:, k] - p0[:, k]) / dk
        inside = (p0[:, k] >= lo[:, k]) & (p0[:, k] <= hi[:, k])
        enter = np.where(flat, np.where(inside, -np.inf, np.inf), np.minimum(ta, tb))
        leave = np.where(flat, np.where(inside, np.inf, -np.inf), np.maximum(ta, tb))
        t0 = np.maximum(t0, enter)
        t1 = np.minimum(t1, leave)
    return t0, t1


def _point_segment_d2(p: np.ndarray, a: np.ndarray, d: np.ndarray) -> np.ndarray:
    dd = np.einsum("ij,ij->i", d, d)
    with np.errstate(divide="ignore", invalid="ignore"):
        t = np.where(dd > 0, np.einsum("ij,ij->i", p - a, d) / dd, 0.0)
    q = a + np.clip(t, 0.0, 1.0)[:, None] * d
    return np.einsum("ij,ij->i", p - q, p - q)


def _segment_box_distance(a: np.ndarray, b: np.ndarray, lo: np.ndarray, hi: np.ndarray) -> np.ndarray:
    """Euclidean distance between segments a -> b and closed boxes [lo, hi]:
    0 when they meet, else attained at a segment end or a box corner."""
    d = b - a
    t0, t1 = _slab(a, d, lo, hi)
    best = np.full(len(a), np.inf)
    for p in (a, b):
        gap = np.maximum(np.maximum(lo - p, p - hi), 0.0)
        best = np.minimum(best, np.einsum("ij,ij->i", gap, gap))
    for cx, cy in ((lo[:, 0], lo[:, 1]), (hi[:, 0], lo[:, 1]), (lo[:, 0], hi[:, 1]), (hi[:, 0], hi[:, 1])):
        best = np.minimum(best, _point_segment_d2(np.stack([cx, cy], axis=1), a, d))
    return np.where(t0 <= t1, 0.0, np.sqrt(best))


def check_coverage(mesh: SpriteMesh, mask: np.ndarray, padding: float = 0.0) -> list[str]:
    """Problems with 'every opaque pixel square lies inside the mesh, at least
    `padding` px inside it'; empty when it holds."""
    opaque = mask_frame(mesh, mask)
    problems: list[str] = []
    outside = opaque & ~_inside_centres(mesh, opaque.shape)
    ys, xs = np.nonzero(outside)
    problems += _limited("pixels outside", [f"opaque pixel centred at ({x}, {y}) is outside the mesh"
                                            for x, y in zip(xs.tolist(), ys.tolist())])
    a, b = _pieces(*_mesh_edges(mesh)[:2])
    near: list[str] = []
    for pi, cx, cy in _near_squares(a, b, opaque, max(padding, 0.0)):
        lo = np.stack([cx - 0.5, cy - 0.5], axis=1)
        hi = np.stack([cx + 0.5, cy + 0.5], axis=1)
        if padding > 0:
            dist = _segment_box_distance(a[pi], b[pi], lo, hi)
            bad = dist < padding - SLACK
        else:
            # The outline may run along a square's edge or touch its corner,
            # never through its inside.
            t0, t1 = _slab(a[pi], b[pi] - a[pi], lo + SLACK, hi - SLACK)
            bad = t0 <= t1
            dist = np.zeros(len(pi))
        for i in np.flatnonzero(bad)[:MAX_LISTED + 1]:
            p, q = a[pi[i]], b[pi[i]]
            what = (f"passes {dist[i]:.4g} px from it (padding {padding:g})" if padding > 0
                    else "cuts into it")
            near.append(f"outline piece ({p[0]:.6g}, {p[1]:.6g})-({q[0]:.6g}, {q[1]:.6g}) {what}: "
                        f"opaque pixel centred at ({cx[i]:g}, {cy[i]:g})")
    return problems + _limited("outline pieces too close", near)


def check_tolerance(mesh: SpriteMesh, mask: np.ndarray, tolerance: float, padding: float = 0.0) -> list[str]:
    """Problems with 'no point of an outline lies more than tolerance +
    padding px from the opaque pixels'; empty when it holds."""
    opaque = mask_frame(mesh, mask)
    bound = float(tolerance) + float(padding) + SLACK
    a, b = _pieces(*_edges(mesh)[:2])
    if len(a) == 0:
        return []
    pieces, starts, ends = [], [], []
    for pi, cx, cy in _near_squares(a, b, opaque, bound):
        p0, d = a[pi], b[pi] - a[pi]
        t_lo = np.full(len(pi), np.inf)
        t_hi = np.full(len(pi), -np.inf)
        # The square grown by `bound` is the union of two rectangles and four
        # discs; the piece meets it in one interval, the union of theirs.
        for gx, gy in ((bound + 0.5, 0.5), (0.5, bound + 0.5)):
            lo = np.stack([cx - gx, cy - gy], axis=1)
            hi = np.stack([cx + gx, cy + gy], axis=1)
            t0, t1 = _slab(p0, d, lo, hi)
            hit = t0 <= t1
            t_lo = np.where(hit, np.minimum(t_lo, t0), t_lo)
            t_hi = np.where(hit, np.maximum(t_hi, t1), t_hi)
        qa = np.einsum("ij,ij->i", d, d)
        for sx in (-0.5, 0.5):
            for sy in (-0.5, 0.5):
                f = p0 - np.stack([cx + sx, cy + sy], axis=1)
                qb = 2.0 * np.einsum("ij,ij->i", d, f)
                qc = np.einsum("ij,ij->i", f, f) - bound * bound
                disc = qb * qb - 4.0 * qa * qc
                with np.errstate(divide="ignore", invalid="ignore"):
                    root = np.sqrt(np.maximum(disc, 0.0))
                    r0 = np.where(qa > 0, (-qb - root) / (2.0 * qa), 0.0)
                    r1 = np.where(qa > 0, (-qb + root) / (2.0 * qa), np.where(qc <= 0, 1.0, -1.0))
                r0, r1 = np.maximum(r0, 0.0), np.minimum(r1, 1.0)
                hit = (disc >= 0) & (r0 <= r1)
                t_lo = np.where(hit, np.minimum(t_lo, r0), t_lo)
                t_hi = np.where(hit, np.maximum(t_hi, r1), t_hi)
        keep = t_lo <= t_hi
        pieces.append(pi[keep])
        starts.append(t_lo[keep])
        ends.append(t_hi[keep])
    pi = np.concatenate(pieces) if pieces else np.zeros(0, np.int64)
    ts = np.concatenate(starts) if starts else np.zeros(0)
    te = np.concatenate(ends) if ends else np.zeros(0)
    order = np.lexsort((ts, pi))
    pi, ts, te = pi[order], ts[order], te[order]
    # Within each piece, sorted by start, the intervals cover [0, 1] when
    # none starts past the furthest end reached before it and the last
    # reach is 1. Offsetting by 2 x piece keeps the running maximum per piece.
    reach = np.maximum.accumulate(te + 2.0 * pi) if len(pi) else te
    before = np.concatenate([[-np.inf], reach[:-1]])
    before = np.maximum(before, 2.0 * pi)  # a piece's first interval must start at 0
    gap = ts + 2.0 * pi > before + 1e-9
    uncovered = np.ones(len(a), bool)
    if len(pi):
        last = np.r_[pi[1:] != pi[:-1], True]
        full = reach[last] - 2.0 * pi[last] >= 1.0 - 1e-9
        uncovered[pi[last][full]] = False
        uncovered[np.unique(pi[gap])] = True
    problems = []
    for i in np.flatnonzero(uncovered):
        p, q = a[i], b[i]
        problems.append(f"outline piece ({p[0]:.6g}, {p[1]:.6g})-({q[0]:.6g}, {q[1]:.6g}) strays more than "
                        f"{tolerance:g} + {padding:g} px from the opaque pixels")
    return _limited("outline pieces too far", problems)


# --- validity -------------------------------------------------------------------


def _two_diff_exact(x: np.ndarray, y: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """x - y and whether float64 got it exactly (Knuth's two-sum error term is 0)."""
    s = x - y
    bp = s - x
    ap = s - bp
    err = (x - ap) + (-y - bp)
    return s, err == 0


def _two_prod_exact(x: np.ndarray, y: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """x * y and whether float64 got it exactly (Dekker's product error term is 0)."""
    p = x * y
    with np.errstate(over="ignore", invalid="ignore"):
        cx, cy = 134217729.0 * x, 134217729.0 * y
        xh, yh = cx - (cx - x), cy - (cy - y)
        xl, yl = x - xh, y - yh
        err = xl * yl - (((p - xh * yh) - xl * yh) - xh * yl)
    return p, (err == 0) & np.isfinite(p)


def _orient(a: np.ndarray, b: np.ndarray, c: np.ndarray) -> np.ndarray:
    """Sign (-1, 0, 1) of the cross product (b - a) x (c - a), exact: float64
    where its error bound allows; where it does not, the float64 sign is
    still exact when the differences and products came out exact (pixel
    geometry nearly always does); exact rationals for what is left."""
    l = (b[:, 0] - a[:, 0]) * (c[:, 1] - a[:, 1])
    r = (b[:, 1] - a[:, 1]) * (c[:, 0] - a[:, 0])
    det = l - r
    sign = np.sign(det).astype(np.int64)
    unsure = np.flatnonzero(np.abs(det) <= 1e-14 * (np.abs(l) + np.abs(r)))
    if len(unsure) == 0:
        return sign
    A, B, C = a[unsure], b[unsure], c[unsure]
    bx, e1 = _two_diff_exact(B[:, 0], A[:, 0])
    by, e2 = _two_diff_exact(B[:, 1], A[:, 1])
    cx, e3 = _two_diff_exact(C[:, 0], A[:, 0])
    cy, e4 = _two_diff_exact(C[:, 1], A[:, 1])
    pl, e5 = _two_prod_exact(bx, cy)
    pr, e6 = _two_prod_exact(by, cx)
    exact = e1 & e2 & e3 & e4 & e5 & e6
    # Rounding the difference of two exact products never flips its sign.
    sign[unsure[exact]] = np.sign(pl[exact] - pr[exact]).astype(np.int64)
    for i in unsure[~exact]:
        ax, ay, bx_, by_, cx_, cy_ = (Fraction(float(v)) for v in (a[i, 0], a[i, 1], b[i, 0], b[i, 1],
                                                                    c[i, 0], c[i, 1]))
        e = (bx_ - ax) * (cy_ - ay) - (by_ - ay) * (cx_ - ax)
        sign[i] = (e > 0) - (e < 0)
    return sign


def _between(a: np.ndarray, b: np.ndarray, p: np.ndarray) -> np.ndarray:
    """For p collinear with a-b: p lies on the closed segment."""
    return ((np.minimum(a[:, 0], b[:, 0]) <= p[:, 0]) & (p[:, 0] <= np.maximum(a[:, 0], b[:, 0]))
            & (np.minimum(a[:, 1], b[:, 1]) <= p[:, 1]) & (p[:, 1] <= np.maximum(a[:, 1], b[:, 1])))


def _candidate_pairs(p0: np.ndarray, p1: np.ndarray) -> np.ndarray:
    """(M, 2) index pairs i < j of segments whose bounding boxes share a grid cell."""
    n = len(p0)
    if n < 2:
        return np.zeros((0, 2), np.int64)
    lo, hi = np.minimum(p0, p1), np.maximum(p0, p1)
    cell = max(1.0, 2.0 * float(np.median(np.max(hi - lo, axis=1))))
    c_lo = np.floor(lo / cell).astype(np.int64)
    c_hi = np.floor(hi / cell).astype(np.int64)
    nx = c_hi[:, 0] - c_lo[:, 0] + 1
    ny = c_hi[:, 1] - c_lo[:, 1] + 1
    cnt = nx * ny
    seg = np.repeat(np.arange(n), cnt)
    k = np.arange(len(seg)) - np.repeat(np.cumsum(cnt) - cnt, cnt)
    gx = c_lo[seg, 0] + k % nx[seg]
    gy = c_lo[seg, 1] + k // nx[seg]
    key = (gx - gx.min()) * (int(gy.max() - gy.min()) + 1) + (gy - gy.min())
    order = np.argsort(key, kind="stable")
    key, seg = key[order], seg[order]
    start = np.r_[0, np.flatnonzero(np.diff(key)) + 1]
    size = np.diff(np.r_[start, len(key)])
    group_end = np.repeat(start + size, size)
    later = group_end - np.arange(len(key)) - 1  # entries after each one in its cell
    first = np.repeat(np.arange(len(key)), later)
    off = np.arange(len(first)) - np.repeat(np.cumsum(later) - later, later) + 1
    i, j = seg[first], seg[first + off]
    pairs = np.stack([np.minimum(i, j), np.maximum(i, j)], axis=1)
    pairs = pairs[pairs[:, 0] != pairs[:, 1]]
    return np.unique(pairs, axis=0)


def _ring_problems(mesh: SpriteMesh) -> list[str]:
    rings = _rings(mesh)
    problems: list[str] = []
    names: list[str] = []
    seg_ring: list[np.ndarray] = []
    p0s, p1s = [], []
    for k, (pi, ri, pts) in enumerate(rings):
        name = f"ring {ri} of part {pi}"
        names.append(name)
        if len(pts) < 3:
            problems.append(f"{name} has {len(pts)} points")
            continue
        nxt = np.roll(pts, -1, axis=0)
        if np.any(np.all(pts == nxt, axis=1)):
            problems.append(f"{name} repeats a point")
            continue
        p0s.append(pts)
        p1s.append(nxt)
        seg_ring.append(np.full(len(pts), k))
    for pi, part in enumerate(mesh.parts):
        outer = [ri for ri, r in enumerate(part.rings) if ring_area(part.vertices[r]) < 0]
        zero = [ri for ri, r in enumerate(part.rings) if ring_area(part.vertices[r]) == 0 and len(r) >= 3]
        if not outer:
            problems.append(f"part {pi} has no outer ring (signed area < 0)")
        for ri in zero:
            problems.append(f"ring {ri} of part {pi} encloses no area")
    if not p0s:
        return problems
    p0, p1, sr = np.concatenate(p0s), np.concatenate(p1s), np.concatenate(seg_ring)
    pairs = _candidate_pairs(p0, p1)
    if len(pairs):
        i, j = pairs[:, 0], pairs[:, 1]
        a, b, c, d = p0[i], p1[i], p0[j], p1[j]
        lo_i, hi_i = np.minimum(a, b), np.maximum(a, b)
        lo_j, hi_j = np.minimum(c, d), np.maximum(c, d)
        boxes = np.all((lo_i <= hi_j) & (lo_j <= hi_i), axis=1)
        i, j, a, b, c, d = i[boxes], j[boxes], a[boxes], b[boxes], c[boxes], d[boxes]
        o1, o2, o3, o4 = _orient(a, b, c), _orient(a, b, d), _orient(c, d, a), _orient(c, d, b)
        cross = (o1 * o2 < 0) & (o3 * o4 < 0)
        same = lambda p, q: np.all(p == q, axis=1)  # noqa: E731
        # A point of one segment on the other that is not a shared end: a T-touch.
        touch = np.zeros(len(i), bool)
        for o, p, s0, s1, ends in ((o1, c, a, b, (a, b)), (o2, d, a, b, (a, b)),
                                   (o3, a, c, d, (c, d)), (o4, b, c, d, (c, d))):
            on = (o == 0) & _between(s0, s1, p)
            touch |= on & ~same(p, ends[0]) & ~same(p, ends[1])
        # Collinear segments sharing more than a point.
        coll = (o1 == 0) & (o2 == 0)
        axis = np.where(np.abs(b[:, 0] - a[:, 0]) >= np.abs(b[:, 1] - a[:, 1]), 0, 1)
        rows = np.arange(len(i))
        lo1 = np.minimum(a[rows, axis], b[rows, axis])
        hi1 = np.maximum(a[rows, axis], b[rows, axis])
        lo2 = np.minimum(c[rows, axis], d[rows, axis])
        hi2 = np.maximum(c[rows, axis], d[rows, axis])
        overlap = coll & (np.minimum(hi1, hi2) > np.maximum(lo1, lo2))
        bad = cross | touch | overlap
        found = []
        for k in np.flatnonzero(bad):
            kind = "crosses" if cross[k] else ("overlaps" if overlap[k] else "touches the inside of")
            found.append(f"segment {tuple(a[k])}-{tuple(b[k])} of {names[sr[i[k]]]} {kind} "
                         f"segment {tuple(c[k])}-{tuple(d[k])} of {names[sr[j[k]]]}")
        problems += _limited("ring intersections", found)
    problems += _vertex_crossings(p0, p1, sr, names)
    if problems:
        return problems  # nesting is only meaningful for rings that do not cross
    return _nesting_problems(mesh, rings)


def _vertex_crossings(p0: np.ndarray, p1: np.ndarray, sr: np.ndarray, names: list[str]) -> list[str]:
    """Rings that pass through one point twice must touch there, not cross:
    the two directions of one pass may not separate those of another."""
    prev = np.empty_like(p0)
    # The point before p0[k] within its ring is p0 of the ring's previous segment.
    for ring in np.unique(sr):
        idx = np.flatnonzero(sr == ring)
        prev[idx] = p0[np.roll(idx, 1)]
    _, inverse, counts = np.unique(p0, axis=0, return_inverse=True, return_counts=True)
    inverse = inverse.reshape(-1)
    problems = []
    for g in np.flatnonzero(counts > 1):
        ks = np.flatnonzero(inverse == g)
        v = p0[ks[0]]
        ang_in = np.arctan2(prev[ks, 1] - v[1], prev[ks, 0] - v[0])
        ang_out = np.arctan2(p1[ks, 1] - v[1], p1[ks, 0] - v[0])
        for x in range(len(ks)):
            for y in range(x + 1, len(ks)):
                lo, hi = sorted((ang_in[x], ang_out[x]))
                s1 = lo < ang_in[y] < hi
                s2 = lo < ang_out[y] < hi
                if s1 != s2:
                    problems.append(f"{names[sr[ks[x]]]} and {names[sr[ks[y]]]} cross at the shared point "
                                    f"{tuple(v)}")
    return _limited("vertex crossings", problems)


def _inside_ring(points: np.ndarray, ring: np.ndarray) -> np.ndarray:
    """Even-odd test of points (none on the ring) against one closed ring."""
    q = np.roll(ring, -1, axis=0)
    x, y = points[:, 0][:, None], points[:, 1][:, None]
    up = (ring[:, 1][None, :] <= y) != (q[:, 1][None, :] <= y)
    with np.errstate(divide="ignore", invalid="ignore"):
        xc = ring[:, 0] + (y - ring[:, 1]) * (q[:, 0] - ring[:, 0]) / (q[:, 1] - ring[:, 1])
    return (np.sum(up & (x < xc), axis=1) % 2) == 1


def _nesting_problems(mesh: SpriteMesh, rings: list) -> list[str]:
    """Rings that do not cross nest like a tree; what keeps the filled region
    at winding number 0 or 1 is that every outer ring starts in empty space
    and every hole in its own part's filled space. Rings do not cross here,
    so the midpoint of a ring's first edge (which lies on no other ring)
    tells on which side of every other ring it lies."""
    probes = np.array([0.5 * (pts[0] + pts[1]) for _, _, pts in rings])
    sign = np.array([-1 if ring_area(pts) < 0 else 1 for _, _, pts in rings])  # -1 outer, +1 hole
    part = np.array([pi for pi, _, _ in rings])
    inside = np.zeros((len(rings), len(rings)), bool)  # inside[i, j]: probe i inside ring j
    for j, (_, _, pts) in enumerate(rings):
        lo, hi = pts.min(axis=0), pts.max(axis=0)
        near = np.flatnonzero(np.all((probes >= lo) & (probes <= hi), axis=1))
        near = near[near != j]
        if len(near):
            inside[near, j] = _inside_ring(probes[near], pts)
    filled = inside * -sign[None, :]  # +1 for each outer ring around a probe, -1 for each hole
    problems = []
    for i, (pi, ri, _) in enumerate(rings):
        everywhere = int(filled[i].sum())
        own = int(filled[i][part == pi].sum())
        if sign[i] < 0 and everywhere != 0:
            problems.append(f"outer ring {ri} of part {pi} lies inside the filled region of "
                            f"{'its own part' if own else 'another part'}")
        elif sign[i] > 0 and (own != 1 or everywhere != 1):
            problems.append(f"hole ring {ri} of part {pi} does not lie inside its part's filled region")
    return _limited("nesting problems", problems)


def _triangle_problems(mesh: SpriteMesh) -> list[str]:
    problems: list[str] = []
    signs = set()
    for pi, part in enumerate(mesh.parts):
        v = np.asarray(part.vertices, np.float64)
        t = np.asarray(part.triangles, np.int64).reshape(-1, 3)
        if len(t) == 0:
            problems.append(f"part {pi} has no triangles")
            continue
        o = _orient(v[t[:, 0]], v[t[:, 1]], v[t[:, 2]])
        flat = np.flatnonzero(o == 0)
        problems += _limited("degenerate triangles", [f"triangle {k} of part {pi} has zero area" for k in flat])
        signs.update(np.unique(o[o != 0]).tolist())
        # Vertices compared by position: duplicated points count as one.
        _, canon = np.unique(v, axis=0, return_inverse=True)
        canon = canon.reshape(-1)
        tt = canon[t[o != 0]]
        tt = np.where((o[o != 0] < 0)[:, None], tt[:, ::-1], tt)  # all positive
        edges: dict[tuple[int, int], int] = {}
        for a, b, c in tt.tolist():
            for e in ((a, b), (b, c), (c, a)):
                edges[e] = edges.get(e, 0) + 1
        chain: dict[tuple[int, int], int] = {}
        for (a, b), n in edges.items():
            net = n - edges.get((b, a), 0)
            if net > 0:
                chain[(a, b)] = net
        # Positive triangles trace the boundary of their union positively, the
        # rings store outer rings negatively: compare with the rings reversed.
        ring_edges: dict[tuple[int, int], int] = {}
        for r in part.rings:
            ids = canon[np.asarray(r, np.int64)]
            for a, b in zip(np.roll(ids, -1).tolist(), ids.tolist()):
                ring_edges[(a, b)] = ring_edges.get((a, b), 0) + 1
        extra = [e for e in chain if chain[e] != ring_edges.get(e, 0)]
        missing = [e for e in ring_edges if e not in chain]
        if extra or missing:
            problems.append(f"part {pi}: the triangles' boundary is not its rings ({len(extra)} triangle edges "
                            f"neither shared by two triangles nor on a ring, e.g. "
                            f"{[tuple(v[list(e)].tolist()) for e in extra[:2]]}; {len(missing)} ring edges "
                            f"on no triangle's free side)")
        tri_area = float(np.sum(np.abs(triangle_areas(v[t]))))
        ring_region = -sum(ring_area(v[r]) for r in part.rings)
        if not math.isclose(tri_area, ring_region, rel_tol=1e-9, abs_tol=1e-9):
            problems.append(f"part {pi}: triangles cover {tri_area:.6g} px^2, its rings enclose {ring_region:.6g}")
    if len(signs) > 1:
        problems.append("triangles are not all wound one way")
    return problems


def check_validity(mesh: SpriteMesh) -> list[str]:
    """Problems with the rings' topology and the triangles (see the module docstring)."""
    problems = []
    for pi, part in enumerate(mesh.parts):
        v = np.asarray(part.vertices)
        t = np.asarray(part.triangles)
        if v.ndim != 2 or (len(v) and v.shape[1] != 2) or not np.all(np.isfinite(v)):
            problems.append(f"part {pi}: vertices are not finite (N, 2) coordinates")
        n = len(v)
        bad = [x for x in [t.reshape(-1)] + [np.asarray(r).reshape(-1) for r in part.rings]
               if x.size and (x.min() < 0 or x.max() >= n)]
        if bad:
            problems.append(f"part {pi}: an index is out of range for {n} vertices")
    if problems:
        return problems
    return _ring_problems(mesh) + _triangle_problems(mesh)


def assert_sound(mesh: SpriteMesh, mask: np.ndarray, tolerance: float, padding: float = 0.0) -> None:
    """Coverage, tolerance and validity at once; AssertionError lists every problem."""
    problems = (check_coverage(mesh, mask, padding) + check_tolerance(mesh, mask, tolerance, padding)
                + check_validity(mesh))
    if problems:
        raise AssertionError(f"{len(problems)} problems:\n  " + "\n  ".join(problems))


# --- figures --------------------------------------------------------------------


def _area_inside(mesh: SpriteMesh, opaque: np.ndarray) -> float:
    """Exact area of the triangles' region (bounded by `_mesh_edges`) inside the opaque set.

    The region's area left of x = X within a strip of rows is minus the sum,
    over the boundary edges clipped to the strip, of the integral of
    min(x, X) dy (outer boundaries run with negative signed area). Each pixel row is a strip,
    and each opaque run [a, b] of the row adds F(b) - F(a): every run end
    carries a weight +1 (right) or -1 (left), and an edge piece lying wholly
    right (left) of a run end contributes X dy (its own integral) in closed
    form through prefix sums; only run ends within a piece's x range are
    evaluated one by one."""
    h, w = opaque.shape
    p0, p1, _ = _mesh_edges(mesh)
    keep = p0[:, 1] != p1[:, 1]
    p0, p1 = p0[keep], p1[keep]
    if len(p0) == 0 or not opaque.any():
        return 0.0
    # Run ends per row, sorted by (row, X) through one key.
    padded = np.zeros((h, w + 2), np.int8)
    padded[:, 1:-1] = opaque
    step = np.diff(padded, axis=1)  # +1 at a run's first pixel, -1 after its last
    er, ec = np.nonzero(step)
    weight = -step[er, ec].astype(np.float64)  # left end -1, right end +1
    ex = ec - 0.5
    stride = float(w + 2)
    key = er * stride + ex + 1.0
    cw = np.r_[0.0, np.cumsum(weight)]
    cwx = np.r_[0.0, np.cumsum(weight * ex)]
    # Edge pieces per strip [r - 0.5, r + 0.5].
    ylo = np.minimum(p0[:, 1], p1[:, 1])
    yhi = np.maximum(p0[:, 1], p1[:, 1])
    r0 = np.clip(np.floor(ylo + 0.5).astype(np.int64), 0, h)
    r1 = np.clip(np.ceil(yhi + 0.5).astype(np.int64), 0, h)  # exclusive
    cnt = np.maximum(r1 - r0, 0)
    e = np.repeat(np.arange(len(p0)), cnt)
    rows = r0[e] + np.arange(len(e)) - np.repeat(np.cumsum(cnt) - cnt, cnt)
    a, b = p0[e], p1[e]
    ya = np.clip(a[:, 1], rows - 0.5, rows + 0.5)
    yb = np.clip(b[:, 1], rows - 0.5, rows + 0.5)
    slope = (b[:, 0] - a[:, 0]) / (b[:, 1] - a[:, 1])
    xa = a[:, 0] + (ya - a[:, 1]) * slope
    xb = a[:, 0] + (yb - a[:, 1]) * slope
    dy = yb - ya
    live = dy != 0
    rows, xa, xb, dy = rows[live], xa[live], xb[live], dy[live]
    xlo, xhi = np.minimum(xa, xb), np.maximum(xa, xb)
    base = rows * stride
    s = np.searchsorted(key, base, "left")
    f = np.searchsorted(key, base + stride, "left")
    # Clipped so that a piece off the image's sides never reaches into the next row's keys.
    i_lo = np.searchsorted(key, base + np.clip(xlo + 1.0, 0.0, stride - 0.25), "left")
    i_hi = np.searchsorted(key, base + np.clip(xhi + 1.0, 0.0, stride - 0.25), "right")
    total = np.sum(dy * (cwx[i_lo] - cwx[s]))  # run ends left of the piece: min(x, X) = X
    total += np.sum(0.5 * (xa + xb) * dy * (cw[f] - cw[i_hi]))  # right of it: min(x, X) = x
    n_mid = i_hi - i_lo
    if n_mid.sum():
        pc = np.repeat(np.arange(len(rows)), n_mid)
        k = i_lo[pc] + np.arange(len(pc)) - np.repeat(np.cumsum(n_mid) - n_mid, n_mid)
        X = ex[k]
        u, v = xa[pc], xb[pc]
        lo, hi = np.minimum(u, v), np.maximum(u, v)
        with np.errstate(divide="ignore", invalid="ignore"):
            frac = np.where(hi > lo, (X - lo) / (hi - lo), 1.0)  # share of the piece with x < X
        frac = np.clip(frac, 0.0, 1.0)
        mean = frac * 0.5 * (lo + np.minimum(X, hi)) + (1.0 - frac) * X
        total += np.sum(weight[k] * dy[pc] * mean)
    return -float(total)


def mesh_figures(mesh: SpriteMesh, mask: np.ndarray, min_angle: float = 25.0) -> dict[str, float]:
    """Figures of a mesh against its opaque mask.

    coverage: share of the opaque area inside the mesh (1.0 when nothing is
    clipped); overdraw: transparent area inside the mesh over the opaque
    area; angle_below: share of triangles whose smallest angle is below
    `min_angle`; angle_median / angle_min: smallest angles in degrees."""
    opaque = mask_frame(mesh, mask)
    opaque_area = float(opaque.sum())
    p0, p1, _ = _mesh_edges(mesh)
    region = -0.5 * float(np.sum(p0[:, 0] * p1[:, 1] - p1[:, 0] * p0[:, 1]))
    inside = _area_inside(mesh, opaque)
    angles = min_angles(mesh.all_triangles())
    return {
        "opaque_area": opaque_area,
        "mesh_area": float(region),
        "coverage": inside / opaque_area if opaque_area else 1.0,
        "overdraw": (region - inside) / opaque_area if opaque_area else 0.0,
        "parts": float(len(mesh.parts)),
        "vertices": float(mesh.vertex_count),
        "triangles": float(mesh.triangle_count),
        "angle_below": float(np.mean(angles < min_angle)) if len(angles) else 0.0,
        "angle_median": float(np.median(angles)) if len(angles) else 0.0,
        "angle_min": float(angles.min()) if len(angles) else 0.0,
    }


def check_angles(mesh: SpriteMesh, min_angle: float = 25.0, max_below: float = 0.05,
                 min_median: float = 30.0) -> list[str]:
    """Problems with 'at most `max_below` of the triangles have a smallest
    angle below `min_angle`, and the median smallest angle is at least
    `min_median` degrees'."""
    angles = min_angles(mesh.all_triangles())
    if len(angles) == 0:
        return ["the mesh has no triangles"]
    problems = []
    below = float(np.mean(angles < min_angle))
    if below > max_below:
        problems.append(f"{below:.1%} of triangles have a smallest angle below {min_angle:g} degrees "
                        f"(at most {max_below:.1%} allowed; smallest {angles.min():.3g})")
    med = float(np.median(angles))
    if med < min_median:
        problems.append(f"median smallest angle {med:.3g} degrees is below {min_median:g}")
    return problems
