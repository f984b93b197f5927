"""Generated benchmark sprites (nothing is fetched): deterministic per name.

Three kinds, each at any square size:
  island - one large island with a wavy outline and six holes of various sizes;
  many   - many small islands (discs and boxes) scattered over the canvas;
  noisy  - a large island whose alpha is noisy: a ragged edge, scattered
           transparent pinholes inside and faint specks outside.
"""
from __future__ import annotations

import os

import cv2
import numpy as np

KINDS = ("island", "many", "noisy")
MARGIN = 4


def _wavy_blob(size: int, rng: np.random.Generator, roughness: float) -> np.ndarray:
    """Boolean mask of a blob whose radius wobbles with the angle."""
    yy, xx = np.mgrid[0:size, 0:size].astype(np.float32)
    c = size / 2.0
    dy, dx = yy - c, xx - c
    ang = np.arctan2(dy, dx)
    rad = np.hypot(dx, dy)
    r = np.full_like(ang, 0.40 * size)
    for k in (3, 5, 11, 23):
        r += np.float32(0.02 * size / k * 3) * np.sin(k * ang + rng.uniform(0, 6.28)).astype(np.float32)
    if roughness:
        k = np.arange(40, 400, 7)
        phases = rng.uniform(0, 6.28, size=k.size)
        for kk, ph in zip(k, phases):
            r += np.float32(roughness * size / kk) * np.sin(kk * ang + ph).astype(np.float32)
    return rad <= r


def make_alpha(kind: str, size: int, seed: int = 1) -> np.ndarray:
    rng = np.random.default_rng(seed * 7919 + size)
    if kind == "island":
        alpha = np.where(_wavy_blob(size, rng, 0.0), 255, 0).astype(np.uint8)
        # Six holes: discs and ellipses of decreasing size, one touching another.
        holes = [(0.38, 0.40, 0.08), (0.62, 0.38, 0.06), (0.50, 0.62, 0.10),
                 (0.30, 0.62, 0.04), (0.70, 0.64, 0.05), (0.68, 0.50, 0.02)]
        for i, (fx, fy, fr) in enumerate(holes):
            centre = (int(fx * size), int(fy * size))
            axes = (max(2, int(fr * size)), max(2, int(fr * size * (0.6 if i % 2 else 1.0))))
            cv2.ellipse(alpha, centre, axes, 20.0 * i, 0, 360, 0, cv2.FILLED)
        return alpha
    if kind == "many":
        alpha = np.zeros((size, size), np.uint8)
        count = int(150 * (size / 512) ** 2)
        xs = rng.integers(0, size, count)
        ys = rng.integers(0, size, count)
        rs = rng.integers(2, max(3, size // 80), count)
        boxes = rng.random(count) < 0.4
        values = rng.integers(1, 256, count)
        for x, y, r, box, v in zip(xs, ys, rs, boxes, values):
            if box:
                cv2.rectangle(alpha, (int(x - r), int(y - r // 2)), (int(x + r), int(y + r // 2)),
                              int(v), cv2.FILLED)
            else:
                cv2.circle(alpha, (int(x), int(y)), int(r), int(v), cv2.FILLED)
        return alpha
    if kind == "noisy":
        blob = _wavy_blob(size, rng, 0.01)
        alpha = rng.integers(1, 256, size=(size, size), dtype=np.uint8)
        alpha[~blob] = 0
        pinholes = rng.random((size, size)) < 0.0004
        alpha[pinholes & blob] = 0
        specks = rng.random((size, size)) < 0.0004
        alpha[specks & ~blob] = rng.integers(1, 40, size=int((specks & ~blob).sum()), dtype=np.uint8)
        return alpha
    raise ValueError(kind)


def sprite_path(directory: str, kind: str, size: int) -> str:
    """Writes the sprite (once) as an RGBA PNG and returns its path."""
    os.makedirs(directory, exist_ok=True)
    path = os.path.join(directory, f"{kind}-{size}.png")
    if not os.path.exists(path):
        alpha = make_alpha(kind, size)
        img = np.zeros((size, size, 4), np.uint8)
        img[..., 0] = 40
        img[..., 1] = 120
        img[..., 2] = 200
        img[..., 3] = alpha
        tmp = path + ".tmp.png"
        if not cv2.imwrite(tmp, img):
            raise OSError(f"could not write {path}")
        os.replace(tmp, path)
    return path


def mesher_input(sprite: str, rpx: int) -> tuple[np.ndarray, list[np.ndarray], np.ndarray]:
    """Input for tri_mesh_debug: the largest traced outline of the sprite (with
    the margin), its holes above 1 square pixel, and a triangular lattice of
    points `rpx` apart over the outline's bounding box."""
    img = cv2.imread(sprite, cv2.IMREAD_UNCHANGED)
    alpha = cv2.copyMakeBorder(img[..., 3], MARGIN, MARGIN, MARGIN, MARGIN, cv2.BORDER_CONSTANT, value=0)
    mask = np.where(alpha > 0, 255, 0).astype(np.uint8)
    contours, hierarchy = cv2.findContours(mask, cv2.RETR_CCOMP, cv2.CHAIN_APPROX_NONE)
    areas = [abs(cv2.contourArea(c)) for c in contours]
    outer_i = int(np.argmax(areas))
    holes = []
    c = hierarchy[0][outer_i][2]
    while c >= 0:
        if areas[c] > 1.0:
            holes.append(contours[c].reshape(-1, 2).astype(np.float32))
        c = hierarchy[0][c][0]
    outer = contours[outer_i].reshape(-1, 2).astype(np.float32)
    x0, y0 = outer.min(axis=0)
    x1, y1 = outer.max(axis=0)
    step_y = rpx * np.sqrt(3) / 2
    rows = []
    for j, y in enumerate(np.arange(y0 + 0.25, y1, step_y)):
        xs = np.arange(x0 + 0.25 + (rpx / 2 if j % 2 else 0.0), x1, rpx)
        rows.append(np.stack([xs, np.full_like(xs, y)], axis=1))
    extra = np.concatenate(rows).astype(np.float32)
    return outer, holes, extra


def write_rings(path: str, rings: list[np.ndarray]) -> None:
    """Binary ring list: int32 count, then per ring int32 n and n (x, y) float32."""
    with open(path, "wb") as f:
        np.asarray([len(rings)], np.int32).tofile(f)
        for r in rings:
            r = np.ascontiguousarray(r, np.float32).reshape(-1, 2)
            np.asarray([len(r)], np.int32).tofile(f)
            r.tofile(f)


def read_rings(path: str) -> list[np.ndarray]:
    data = open(path, "rb").read()
    count = int(np.frombuffer(data, np.int32, 1, 0)[0])
    off = 4
    rings = []
    for _ in range(count):
        n = int(np.frombuffer(data, np.int32, 1, off)[0])
        off += 4
        rings.append(np.frombuffer(data, np.float32, 2 * n, off).reshape(n, 2))
        off += 8 * n
    return rings
