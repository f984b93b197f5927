"""The peer: the same jobs assembled from the Python ecosystem.

opencv-python-headless traces and simplifies outlines, mapbox-earcut clips
ears, scipy.stats.qmc.PoissonDisk draws the interior points, the `triangle`
binding builds the constrained Delaunay triangulation and numpy filters
centroids. Where the module tests points against the exact outline, the peer
looks them up in a rasterised region mask (the usual numpy idiom, and cheaper
than an exact polygon test), so it never does more work than the module.
Results have the same shape as the module's; they are not expected to be
identical to them.
"""
from __future__ import annotations

import cv2
import numpy as np


def _mask(path: str, margin: int) -> np.ndarray:
    img = cv2.imread(path, cv2.IMREAD_UNCHANGED)
    alpha = img[..., 3]
    if margin > 0:
        alpha = cv2.copyMakeBorder(alpha, margin, margin, margin, margin, cv2.BORDER_CONSTANT, value=0)
    _, mask = cv2.threshold(alpha, 0, 255, cv2.THRESH_BINARY)
    return mask


def _simplified(contour: np.ndarray, eps: float) -> np.ndarray:
    loop = cv2.approxPolyDP(contour, eps, True).reshape(-1, 2).astype(np.float32)
    if len(loop) < 3:
        x0, y0 = loop.min(axis=0) - 1
        x1, y1 = loop.max(axis=0) + 1
        loop = np.array([[x0, y0], [x1, y0], [x1, y1], [x0, y1]], np.float32)
    return loop


def _signed_area(loop: np.ndarray) -> float:
    x, y = loop[:, 0].astype(np.float64), loop[:, 1].astype(np.float64)
    return 0.5 * float(np.sum(x * np.roll(y, -1) - np.roll(x, -1) * y))


def islands(path: str, eps: float, margin: int) -> dict:
    mask = _mask(path, margin)
    contours, _ = cv2.findContours(mask, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_NONE)
    loops = []
    for c in contours:
        if cv2.contourArea(c) < 3.0:
            continue
        loop = _simplified(c, eps)
        if _signed_area(loop) > 0:
            loop = loop[::-1]
        loops.append(loop.reshape(-1).tolist())
    return {"loops": loops, "w": mask.shape[1], "h": mask.shape[0], "scale": 1.0}


def triangulate_png(path: str, eps: float, margin: int, maxA: float) -> dict:
    import mapbox_earcut

    mask = _mask(path, margin)
    contours, hierarchy = cv2.findContours(mask, cv2.RETR_CCOMP, cv2.CHAIN_APPROX_NONE)
    flat = np.flatnonzero(mask)
    first, last = divmod(int(flat[0]), mask.shape[1]), divmod(int(flat[-1]), mask.shape[1])
    floor = (last[1] - first[1] + 1) * (last[0] - first[0] + 1) * 0.0005
    groups = []
    hier = hierarchy[0]
    for i, c in enumerate(contours):
        if hier[i][3] != -1 or floor > cv2.contourArea(c):
            continue
        outer = _simplified(c, eps)
        if _signed_area(outer) > 0:
            outer = outer[::-1]
        rings = [outer]
        child = hier[i][2]
        while child != -1:
            if cv2.contourArea(contours[child]) >= floor:
                hole = _simplified(contours[child], eps)
                if _signed_area(hole) < 0:
                    hole = hole[::-1]
                rings.append(hole)
            child = hier[child][0]
        verts = np.concatenate(rings).astype(np.float64)
        ends = np.cumsum([len(r) for r in rings]).astype(np.uint32)
        idx = mapbox_earcut.triangulate_float64(verts, ends)
        groups.append({"v": verts.reshape(-1).tolist(), "idx": idx.tolist()})
    return {"groups": groups, "w": mask.shape[1], "h": mask.shape[0], "scale": 1.0}


def _triangulate_region(outer: np.ndarray, holes: list[np.ndarray], extra: np.ndarray,
                        region: np.ndarray) -> dict:
    """Constrained triangulation over the convex hull, then keep triangles whose
    centroid pixel lies in the region mask."""
    import triangle

    rings = [outer] + holes
    ring_pts = np.concatenate(rings).astype(np.float64)
    pts = np.concatenate([ring_pts, extra.astype(np.float64)])
    # Triangle must not see a point twice (outlines pass one-pixel necks twice).
    uniq, first_index, inverse = np.unique(pts, axis=0, return_index=True, return_inverse=True)
    order = np.argsort(first_index)
    rank = np.empty_like(order)
    rank[order] = np.arange(len(order))
    verts = uniq[order]
    ids = rank[inverse.reshape(-1)]
    segs = []
    start = 0
    for r in rings:
        n = len(r)
        a = ids[start:start + n]
        segs.append(np.stack([a, np.roll(a, -1)], axis=1))
        start += n
    segs = np.concatenate(segs)
    segs = segs[segs[:, 0] != segs[:, 1]]
    segs = np.unique(np.sort(segs, axis=1), axis=0)
    out = triangle.triangulate({"vertices": verts, "segments": segs.astype(np.int32)}, "pcQ")
    v = out["vertices"]
    tri = out["triangles"]
    cen = v[tri].mean(axis=1)
    cx = np.clip(cen[:, 0].astype(np.int64), 0, region.shape[1] - 1)
    cy = np.clip(cen[:, 1].astype(np.int64), 0, region.shape[0] - 1)
    keep = region[cy, cx] > 0
    return {"v": v, "idx": tri[keep].reshape(-1).astype(np.int32)}


def poisson_png(path: str, eps: float, margin: int, rpx: int) -> dict:
    from scipy.stats import qmc

    mask = _mask(path, margin)
    h, w = mask.shape
    contours, hierarchy = cv2.findContours(mask, cv2.RETR_CCOMP, cv2.CHAIN_APPROX_NONE)
    areas = [abs(cv2.contourArea(c)) for c in contours]
    outer_i = int(np.argmax(areas))
    hier = hierarchy[0]
    hole_contours = []
    c = hier[outer_i][2]
    while c != -1:
        if areas[c] > 1.0:
            hole_contours.append(contours[c])
        c = hier[c][0]
    region = np.zeros((h, w), np.uint8)
    cv2.fillPoly(region, [contours[outer_i]], 255)
    for hc in hole_contours:
        cv2.fillPoly(region, [hc], 0)
    clearance = cv2.distanceTransform(region, cv2.DIST_L2, 3)
    engine = qmc.PoissonDisk(2, radius=rpx, ncandidates=30, l_bounds=[0, 0], u_bounds=[w, h])
    samples = engine.fill_space()
    sx = samples[:, 0].astype(np.int64)
    sy = samples[:, 1].astype(np.int64)
    kept = samples[clearance[sy, sx] >= 1.5 * rpx].astype(np.float32)
    outer = contours[outer_i].reshape(-1, 2).astype(np.float32)
    holes = [hc.reshape(-1, 2).astype(np.float32) for hc in hole_contours]
    result = _triangulate_region(outer, holes, kept, region)
    result.update(w=w, h=h, scale=1.0)
    return result


def tri_mesh_debug(outer: np.ndarray, holes: list[np.ndarray], extra: np.ndarray) -> dict:
    allpts = np.concatenate([outer] + holes + [extra])
    x0, y0 = np.floor(allpts.min(axis=0)).astype(int)
    x1, y1 = np.ceil(allpts.max(axis=0)).astype(int)
    region = np.zeros((y1 - y0 + 1, x1 - x0 + 1), np.uint8)
    shift = np.array([x0, y0], np.float32)
    cv2.fillPoly(region, [np.round(outer - shift).astype(np.int32)], 255)
    for hl in holes:
        cv2.fillPoly(region, [np.round(hl - shift).astype(np.int32)], 0)
    return _triangulate_region(outer - shift, [hl - shift for hl in holes], extra - shift, region)
