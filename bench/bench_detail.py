"""Detail control of `vellumcut.mesh_sprite` over the real sprites: `make bench-detail`.

Two sweeps, one JSON file in bench/results/ (detail-*.json and detail-latest.json):

tolerance  every sprite at tolerances 0.5 .. 16 px: outline vertices must
           never rise as the tolerance grows (target: monotonic on every
           sprite).
budget     every sprite at max_vertices 16 / 24 / 32 / 48 / 64 / 96, against
           a baseline computed here at the same vertex count: Douglas-Peucker
           on each island's pixel outline (OpenCV's approxPolyDP, the
           tolerance searched for the largest count within ours), then every
           island's polygon pushed out along its edges' normals (mitred, so
           the count stays) just far enough to hold every opaque pixel
           square: what the usual trace, simplify and extrude tools do.
           Targets: median overdraw at most 0.6x the baseline's at every
           budget; worse than the baseline on at most 5 % of sprites.

Overdraw is the transparent area inside the mesh over the opaque area, both
measured the same way for the two (tests/mesh_checks.py for the mesher,
a 4x raster for the baseline's polygons and for the mask).
"""
from __future__ import annotations

import argparse
import datetime
import json
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests"))
sys.path.insert(0, os.path.join(ROOT, "scripts"))

import cv2  # noqa: E402
import numpy as np  # noqa: E402

import vellumcut  # noqa: E402
from mesh_checks import opaque_mask  # noqa: E402
from real_sprites import sprite_paths  # noqa: E402

TOLERANCES = (0.5, 0.75, 1, 1.5, 2, 3, 4, 6, 8, 12, 16)
BUDGETS = (16, 24, 32, 48, 64, 96)
SCALE = 4  # raster cells per pixel for the area figures


def outline_vertices(mesh) -> int:
    return sum(len(r) for p in mesh.parts for r in p.rings)


def raster(polys: list[np.ndarray], shape: tuple[int, int], shift: np.ndarray) -> np.ndarray:
    """Cells (SCALE per pixel) inside the polygons (x, y in pixel-edge units, y down)."""
    img = np.zeros((shape[0] * SCALE, shape[1] * SCALE), np.uint8)
    pts = [np.round((p + shift) * SCALE * 16).astype(np.int32).reshape(-1, 1, 2) for p in polys if len(p) >= 3]
    if pts:
        cv2.fillPoly(img, pts, 1, cv2.LINE_8, 4)
    return img


def mesh_overdraw(mesh, mask: np.ndarray) -> float:
    """Overdraw of a mesh, from its outer rings less its holes, on the 4x raster."""
    pad = 4 * 2 + mesh.border
    shape = (mask.shape[0] + 2 * pad, mask.shape[1] + 2 * pad)
    # Mask-frame coordinates sit on pixel centres: +0.5 to pixel edges.
    shift = np.array([pad - mesh.border + 0.5, pad - mesh.border + 0.5])
    outer = raster([p.vertices[r] for p in mesh.parts for r in p.outer_rings], shape, shift)
    holes = raster([p.vertices[r] for p in mesh.parts for r in p.hole_rings], shape, shift)
    inside = outer.astype(bool) & ~holes.astype(bool)
    opaque = np.kron(np.pad(mask, pad), np.ones((SCALE, SCALE), bool))
    area = float(opaque.sum())
    return float((inside & ~opaque).sum()) / area if area else 0.0


def _offset(poly: np.ndarray, d: float) -> np.ndarray:
    """`poly` with every edge moved out by d, corners where the moved edges
    meet (mitred, capped at 8 d)."""
    n = len(poly)
    e = np.roll(poly, -1, axis=0) - poly
    length = np.maximum(np.linalg.norm(e, axis=1, keepdims=True), 1e-12)
    shoelace = float(np.sum(poly[:, 0] * np.roll(poly[:, 1], -1) - np.roll(poly[:, 0], -1) * poly[:, 1]))
    turn = 1.0 if shoelace < 0 else -1.0
    normal = turn * np.stack([-e[:, 1], e[:, 0]], axis=1) / length
    out = np.empty_like(poly)
    for i in range(n):
        n0, n1 = normal[i - 1], normal[i]
        m = n0 + n1
        c = float(np.dot(m, n1))
        out[i] = poly[i] + (m / c * d if c > 1e-3 and np.linalg.norm(m / c) < 8 else n1 * d)
    return out


def baseline(mask: np.ndarray, budget: int) -> tuple[int, float] | None:
    """(vertices, overdraw) of Douglas-Peucker + outward offset with at most `budget` vertices."""
    contours, _ = cv2.findContours(mask.astype(np.uint8), cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_NONE)
    contours = [c.reshape(-1, 2).astype(np.float64) for c in contours]
    if not contours or budget < 3 * len(contours):
        return None

    def simplify(eps: float) -> list[np.ndarray]:
        out = []
        for c in contours:
            p = cv2.approxPolyDP(c.astype(np.float32).reshape(-1, 1, 2), eps, True).reshape(-1, 2).astype(np.float64)
            if len(p) < 3:  # a sliver or a single pixel: its box
                x0, y0 = c.min(axis=0)
                x1, y1 = c.max(axis=0)
                p = np.array([[x0, y0], [x0, y1], [x1, y1], [x1, y0]], np.float64)
            out.append(p)
        return out

    lo, hi = 0.0, float(max(mask.shape))
    polys = simplify(hi)
    for _ in range(18):
        mid = (lo + hi) / 2
        cand = simplify(mid)
        if sum(len(p) for p in cand) <= budget:
            hi, polys = mid, cand
        else:
            lo = mid
    pad = 8
    shape = (mask.shape[0] + 2 * pad, mask.shape[1] + 2 * pad)
    shift = np.array([pad + 0.5, pad + 0.5])  # contour points are pixel centres
    opaque = np.kron(np.pad(mask, pad), np.ones((SCALE, SCALE), bool))
    total = np.zeros(opaque.shape, bool)
    for poly in polys:
        own = np.zeros(opaque.shape, bool)
        x0, y0 = poly.min(axis=0)
        x1, y1 = poly.max(axis=0)
        box = (slice(max(int((y0 + pad - 2) * SCALE), 0), int((y1 + pad + 3) * SCALE)),
               slice(max(int((x0 + pad - 2) * SCALE), 0), int((x1 + pad + 3) * SCALE)))
        own[box] = opaque[box]
        lo_d, hi_d = 0.0, 0.75
        while not (raster([_offset(poly, hi_d)], shape, shift).astype(bool) | ~own).all():
            hi_d *= 2
            if hi_d > max(mask.shape):
                break
        for _ in range(10):
            mid = (lo_d + hi_d) / 2
            if (raster([_offset(poly, mid)], shape, shift).astype(bool) | ~own).all():
                hi_d = mid
            else:
                lo_d = mid
        total |= raster([_offset(poly, hi_d)], shape, shift).astype(bool)
    area = float(opaque.sum())
    return sum(len(p) for p in polys), float((total & ~opaque).sum()) / area


def run(paths: list, args) -> dict:
    tol_rows, reversals, non_monotone = [], 0, []
    budget_rows = {b: [] for b in BUDGETS}
    start = time.perf_counter()
    for k, path in enumerate(paths):
        mask = opaque_mask(str(path))
        if not mask.any():
            continue
        counts = [outline_vertices(vellumcut.mesh_sprite(str(path), tolerance=t)) for t in TOLERANCES]
        bad = sum(1 for a, b in zip(counts, counts[1:]) if b > a)
        reversals += bad
        if bad:
            non_monotone.append({"sprite": os.path.basename(str(path)), "counts": counts})
        tol_rows.append(counts)
        if args.budgets:
            for b in BUDGETS:
                try:
                    mesh = vellumcut.mesh_sprite(str(path), max_vertices=b)
                except ValueError:
                    continue  # fewer than 3 vertices per island
                n = outline_vertices(mesh)
                base = baseline(mask, n)
                if base is None:
                    continue
                budget_rows[b].append({"sprite": os.path.basename(str(path)), "vertices": n,
                                       "overdraw": mesh_overdraw(mesh, mask), "baseline_vertices": base[0],
                                       "baseline_overdraw": base[1], "warned": bool(getattr(mesh, "warnings", []))})
        if (k + 1) % 100 == 0:
            print(f"  {k + 1} sprites, {time.perf_counter() - start:.0f} s", flush=True)
    summary = {"sprites": len(tol_rows), "tolerances": list(TOLERANCES),
               "median_vertices": [statistics.median(c[i] for c in tol_rows) for i in range(len(TOLERANCES))],
               "reversals": reversals, "non_monotone": non_monotone, "budgets": []}
    for b, rows in budget_rows.items():
        if not rows:
            continue
        ours = statistics.median(r["overdraw"] for r in rows)
        base = statistics.median(r["baseline_overdraw"] for r in rows)
        # Worse: more overdraw than the baseline by more than the raster's grain.
        worse = sum(1 for r in rows if r["overdraw"] > r["baseline_overdraw"] + 0.005)
        summary["budgets"].append({
            "budget": b, "sprites": len(rows), "median_vertices": statistics.median(r["vertices"] for r in rows),
            "median_overdraw": ours, "baseline_median_overdraw": base,
            "ratio": ours / base if base else None, "worse_share": worse / len(rows),
            "warned": sum(r["warned"] for r in rows)})
    summary["seconds"] = time.perf_counter() - start
    return summary


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--limit", type=int, default=0, help="only the first N sprites (0: all)")
    ap.add_argument("--no-budgets", dest="budgets", action="store_false", help="skip the budget sweep")
    ap.add_argument("--out", default=os.path.join(HERE, "results"))
    args = ap.parse_args()
    paths = sprite_paths()
    if args.limit:
        paths = paths[:: max(len(paths) // args.limit, 1)][: args.limit]
    summary = run(paths, args)
    ok_mono = summary["reversals"] == 0
    ok_budget = all(b["ratio"] is not None and b["ratio"] <= 0.6 and b["worse_share"] <= 0.05
                    for b in summary["budgets"])
    summary["targets"] = {"monotonic": ok_mono, "budget": ok_budget}
    print(f"tolerance sweep over {summary['sprites']} sprites: {summary['reversals']} reversals "
          f"({'monotonic' if ok_mono else 'NOT monotonic'})")
    print("  median outline vertices: " + ", ".join(
        f"{t:g} px {v:g}" for t, v in zip(summary["tolerances"], summary["median_vertices"])))
    if summary["budgets"]:
        print(f"{'budget':>6} {'sprites':>7} {'verts':>6} {'overdraw':>9} {'baseline':>9} {'ratio':>6} "
              f"{'worse':>6} {'warned':>6}")
        for b in summary["budgets"]:
            ratio = f"{b['ratio']:.2f}" if b["ratio"] is not None else "-"
            print(f"{b['budget']:>6} {b['sprites']:>7} {b['median_vertices']:>6g} {100 * b['median_overdraw']:>8.1f}% "
                  f"{100 * b['baseline_median_overdraw']:>8.1f}% {ratio:>6} {100 * b['worse_share']:>5.1f}% "
                  f"{b['warned']:>6}")
        print(f"targets: ratio <= 0.6 and worse on <= 5 % at every budget: {'met' if ok_budget else 'MISSED'}")
    os.makedirs(args.out, exist_ok=True)
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    for name in (f"detail-{stamp}.json", "detail-latest.json"):
        with open(os.path.join(args.out, name), "w") as f:
            json.dump(summary, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
