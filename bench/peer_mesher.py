"""The Python peer of `vellumcut.mesh_sprite`, for bench/bench_mesher.py:
opencv-python outlines (findContours, then approxPolyDP at the tolerance)
and the `triangle` binding's own constrained and quality triangulation.
Runs in .venv-bench:

    peer_mesher.py LIST OUT.npz none|quality TOLERANCE MIN_ANGLE MAX_AREA MARGIN

LIST holds one sprite path a line. For every sprite it writes the vertices
and triangles (mask frame, margin included, like the module's results) and
the seconds the meshing took; an outline that approxPolyDP leaves with fewer
than 3 points is dropped, as a user of these packages would see it. MAX_AREA
0 means no area bound.
"""
from __future__ import annotations

import sys
import time

import cv2
import numpy as np
import triangle


def _rings(mask: np.ndarray, tolerance: float) -> list[list[np.ndarray]]:
    """[outer, hole, hole, ...] per outer contour, simplified."""
    contours, hierarchy = cv2.findContours(mask, cv2.RETR_CCOMP, cv2.CHAIN_APPROX_NONE)
    if hierarchy is None:
        return []
    hier = hierarchy[0]
    groups = []
    for i, c in enumerate(contours):
        if hier[i][3] != -1:
            continue
        group = []
        for k in [i] + _children(hier, i):
            ring = cv2.approxPolyDP(contours[k], tolerance, True).reshape(-1, 2).astype(np.float64)
            if len(ring) >= 3:
                group.append(ring)
            elif k == i:
                break
        if group and len(group[0]) >= 3:
            groups.append(group)
    return groups


def _children(hier: np.ndarray, i: int) -> list[int]:
    out, c = [], hier[i][2]
    while c != -1:
        out.append(int(c))
        c = hier[c][0]
    return out


def _inside_point(ring: np.ndarray) -> np.ndarray | None:
    """A point inside a ring: the centroid of a triangle of its own triangulation."""
    n = len(ring)
    segs = np.stack([np.arange(n), np.roll(np.arange(n), -1)], axis=1)
    try:
        t = triangle.triangulate({"vertices": ring, "segments": segs}, "pQ")
    except Exception:
        return None
    if "triangles" not in t or len(t["triangles"]) == 0:
        return None
    return t["vertices"][t["triangles"][0]].mean(axis=0)


def mesh_group(group: list[np.ndarray], opts: str) -> tuple[np.ndarray, np.ndarray]:
    pts = np.concatenate(group)
    # Triangle must not see a point twice (outlines pass one-pixel necks twice).
    uniq, first, inverse = np.unique(pts, axis=0, return_index=True, return_inverse=True)
    ids = inverse.reshape(-1)
    segs, start = [], 0
    for r in group:
        a = ids[start:start + len(r)]
        segs.append(np.stack([a, np.roll(a, -1)], axis=1))
        start += len(r)
    segs = np.concatenate(segs)
    segs = segs[segs[:, 0] != segs[:, 1]]
    data = {"vertices": uniq, "segments": segs.astype(np.int32)}
    holes = [p for p in (_inside_point(h) for h in group[1:]) if p is not None]
    if holes:
        data["holes"] = np.array(holes)
    out = triangle.triangulate(data, opts)
    if "triangles" not in out:
        return out["vertices"], np.zeros((0, 3), np.int64)
    return out["vertices"], out["triangles"].astype(np.int64)


def main(argv: list[str]) -> None:
    listing, out_path, interior = argv[1], argv[2], argv[3]
    tolerance, min_angle, max_area, margin = float(argv[4]), float(argv[5]), float(argv[6]), int(argv[7])
    opts = "pQ" if interior == "none" else f"pq{min_angle:g}" + (f"a{max_area:g}" if max_area > 0 else "") + "Q"
    paths = [line.strip() for line in open(listing) if line.strip()]
    arrays: dict[str, np.ndarray] = {}
    for n, path in enumerate(paths):
        img = cv2.imread(path, cv2.IMREAD_UNCHANGED)
        t0 = time.perf_counter()
        alpha = img[..., 3] if img.ndim == 3 and img.shape[2] == 4 else np.full(img.shape[:2], 255, np.uint8)
        if margin > 0:
            alpha = cv2.copyMakeBorder(alpha, margin, margin, margin, margin, cv2.BORDER_CONSTANT, value=0)
        mask = np.where(alpha > 0, 255, 0).astype(np.uint8)
        meshes = [mesh_group(g, opts) for g in _rings(mask, tolerance)]
        seconds = time.perf_counter() - t0
        arrays[f"s{n}_seconds"] = np.array(seconds)
        arrays[f"s{n}_parts"] = np.array(len(meshes))
        for k, (v, t) in enumerate(meshes):
            arrays[f"s{n}_p{k}_v"] = v
            arrays[f"s{n}_p{k}_t"] = t
    np.savez(out_path, **arrays)


if __name__ == "__main__":
    main(sys.argv)
