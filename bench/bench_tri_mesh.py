"""Timing of tri_mesh_debug on Poisson-like inputs (not part of the test suite).

Usage: python bench/bench_tri_mesh.py [OUTLINE_POINTS ...]   (default: 1000 4000)

The outer ring is a circle of OUTLINE_POINTS points, with four round holes of a
tenth of that each and free points on a jittered grid filling the disc
(about OUTLINE_POINTS**2 / 100 of them). The centroid filter walks every ring
point for every triangle, so time grows with triangles x ring points. Best of
three wall-clock times, for list and numpy arguments.
"""
from __future__ import annotations

import sys
import time

import numpy as np

import vellumcut_core as vc


def circle(cx: float, cy: float, r: float, n: int) -> np.ndarray:
    t = np.linspace(0, 2 * np.pi, n, endpoint=False)
    return np.stack([cx + r * np.cos(t), cy + r * np.sin(t)], axis=1).astype(np.float32)


def case(n: int):
    r = n / (2 * np.pi)  # about one pixel between outline points
    outer = circle(0, 0, r, n)
    holes = [circle(0.5 * r * np.cos(a), 0.5 * r * np.sin(a), 0.1 * r, n // 10)
             for a in np.arange(4) * np.pi / 2]
    step = 2 * r / (n / 10)
    g = np.arange(-r, r, step)
    xy = np.stack(np.meshgrid(g, g), axis=-1).reshape(-1, 2)
    xy += np.random.default_rng(1).uniform(-0.3, 0.3, xy.shape) * step
    extra = xy[np.hypot(xy[:, 0], xy[:, 1]) < 0.95 * r].astype(np.float32)
    return outer, holes, extra


def best_of(fn, k: int = 3) -> float:
    times = []
    for _ in range(k):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def main(argv: list[str]) -> int:
    sizes = [int(a) for a in argv[1:]] or [1000, 4000]
    print(f"{'outline':>8} {'extra':>7} {'verts':>7} {'tris':>7} {'lists s':>9} {'numpy s':>9}")
    for n in sizes:
        outer, holes, extra = case(n)
        lists = (outer.tolist(), [h.tolist() for h in holes], extra.tolist())
        r = vc.tri_mesh_debug(*lists)
        t_list = best_of(lambda: vc.tri_mesh_debug(*lists))
        t_np = best_of(lambda: vc.tri_mesh_debug(outer, holes, extra))
        print(f"{n:>8} {len(extra):>7} {len(r['v']):>7} {len(r['idx']) // 3:>7} "
              f"{t_list:>9.3f} {t_np:>9.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
