"""Timing of poisson_png on generated sprites (not part of the test suite).

Usage: python bench/bench_poisson.py [SIZE ...]   (default: 256 1024)

For each square size, a disc with a few holes is meshed at several rpx; the
best of three wall-clock times is printed with the vertex and triangle
counts. The sampler covers the whole mask, so time grows with w * h / rpx^2;
the outline tests grow with the outline length on top of that.
"""
from __future__ import annotations

import sys
import tempfile
import time
from pathlib import Path

import cv2
import numpy as np

import vellumcut_core as vc


def sprite(size: int) -> np.ndarray:
    alpha = np.zeros((size, size), np.uint8)
    c = size // 2
    cv2.circle(alpha, (c, c), int(size * 0.45), 255, -1)
    for k in range(4):
        cv2.circle(alpha, (c + int((k - 1.5) * size / 6), c), size // 20, 0, -1)
    return alpha


def main(argv: list[str]) -> int:
    sizes = [int(a) for a in argv[1:]] or [256, 1024]
    with tempfile.TemporaryDirectory() as tmp:
        for size in sizes:
            path = str(Path(tmp) / f"disc{size}.png")
            img = np.zeros((size, size, 4), np.uint8)
            img[..., 3] = sprite(size)
            cv2.imwrite(path, img)
            for rpx in (2, 4, 8, 16):
                best = float("inf")
                for _ in range(3):
                    t0 = time.perf_counter()
                    r = vc.poisson_png(path, 1.5, 0, rpx)
                    best = min(best, time.perf_counter() - t0)
                print(f"{size}x{size} rpx={rpx:2d}: {best * 1000:8.1f} ms  "
                      f"{len(r['v']):7d} vertices {len(r['idx']) // 3:7d} triangles")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
