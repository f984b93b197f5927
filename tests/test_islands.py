"""islands(): which outlines are kept, their simplification and orientation,
plus a differential test against an independent model built on OpenCV's
Python bindings."""
import cv2
import numpy as np
import pytest

import vellumcut_core as vc
from geometry import signed_area32
from sprites import random_alpha


def cyclic_equal(flat, expected):
    pts = [tuple(p) for p in np.asarray(flat).reshape(-1, 2)]
    n = len(pts)
    return n == len(expected) and any(pts[k:] + pts[:k] == list(expected) for k in range(n))


@pytest.mark.parametrize(
    "rows, cols, kept",
    [(1, 1, 0), (2, 2, 0), (2, 3, 0), (1, 9, 0), (9, 1, 0), (2, 4, 1), (3, 3, 1)],
    ids=["pixel", "2x2_area1", "2x3_area2", "hline", "vline", "2x4_area3", "3x3_area4"],
)
def test_area_threshold(write_png, rows, cols, kept):
    alpha = np.zeros((16, 16), np.uint8)
    alpha[4:4 + rows, 4:4 + cols] = 255
    assert len(vc.islands(write_png(alpha), 1.0, 0)["loops"]) == kept


def test_ring_reports_only_its_outer_outline(write_png):
    alpha = np.zeros((40, 40), np.uint8)
    alpha[5:35, 5:35] = 255
    alpha[10:30, 10:30] = 0
    alpha[15:25, 15:25] = 255  # island inside the hole: not traced
    loops = vc.islands(write_png(alpha), 1.0, 0)["loops"]
    assert len(loops) == 1
    assert cyclic_equal(loops[0], [(5, 5), (5, 34), (34, 34), (34, 5)])


def test_block_with_margin(write_png):
    alpha = np.zeros((40, 30), np.uint8)
    alpha[20:24, 10:14] = 255
    r = vc.islands(write_png(alpha), 1.0, 5)
    assert (r["w"], r["h"], r["scale"]) == (40, 50, 1.0)
    assert len(r["loops"]) == 1
    assert cyclic_equal(r["loops"][0], [(15, 25), (15, 28), (18, 28), (18, 25)])


def test_huge_eps_gives_reversed_grown_rectangle(write_png):
    # A thin diagonal-free bar simplifies to its two far ends; clean_loop turns
    # them into a rectangle grown by one pixel, which is then reversed.
    alpha = np.zeros((20, 40), np.uint8)
    alpha[8:10, 5:35] = 255
    r = vc.islands(write_png(alpha), 1000.0, 0)
    (loop,) = r["loops"]
    pts = np.asarray(loop).reshape(-1, 2)
    assert len(pts) == 4
    (min_x, min_y), (max_x, max_y) = pts.min(0) + 1, pts.max(0) - 1
    assert pts.tolist() == [[min_x - 1, max_y + 1], [max_x + 1, max_y + 1],
                            [max_x + 1, min_y - 1], [min_x - 1, min_y - 1]]
    assert signed_area32(loop) < 0


# --- independent model -------------------------------------------------------


def model_clean_loop(pts):
    def dist(a, b):
        dx = np.float32(a[0]) - np.float32(b[0])
        dy = np.float32(a[1]) - np.float32(b[1])
        return float(np.sqrt(float(dx) ** 2 + float(dy) ** 2))

    kept = []
    for p in pts:
        if not kept or dist(p, kept[-1]) >= 1e-6:
            kept.append(p)
    if len(kept) >= 2 and dist(kept[0], kept[-1]) < 1e-6:
        kept.pop()
    if len(kept) >= 3:
        return kept
    xs = np.array([p[0] for p in kept], np.float32)
    ys = np.array([p[1] for p in kept], np.float32)
    one = np.float32(1)
    lo_x, hi_x, lo_y, hi_y = xs.min() - one, xs.max() + one, ys.min() - one, ys.max() + one
    return [(lo_x, lo_y), (hi_x, lo_y), (hi_x, hi_y), (lo_x, hi_y)]


def model_islands(path, eps, margin):
    image = cv2.imread(path, cv2.IMREAD_UNCHANGED)
    alpha = image[:, :, 3]
    if margin > 0:
        alpha = cv2.copyMakeBorder(alpha, margin, margin, margin, margin, cv2.BORDER_CONSTANT, value=0)
    _, mask = cv2.threshold(alpha, 0, 255, cv2.THRESH_BINARY)
    contours, _ = cv2.findContours(mask, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_NONE)
    loops = []
    eps32 = float(np.float32(eps))
    for c in contours:
        if cv2.contourArea(c, False) < 3.0:
            continue
        approx = cv2.approxPolyDP(c, eps32, True).reshape(-1, 2)
        loop = model_clean_loop([(np.float32(x), np.float32(y)) for x, y in approx])
        flat = [float(v) for p in loop for v in p]
        if signed_area32(flat) > 0:
            loop = loop[::-1]
            flat = [float(v) for p in loop for v in p]
        loops.append(flat)
    return {"loops": loops, "w": mask.shape[1], "h": mask.shape[0], "scale": 1.0}


@pytest.mark.parametrize("seed", range(60))
def test_matches_independent_model(write_png, seed):
    rng = np.random.default_rng(seed)
    path = write_png(random_alpha(rng))
    eps = float(rng.choice([0.0, 0.3, 1.0, 1.5, 2.7, 8.0, 100.0]))
    margin = int(rng.choice([-2, 0, 1, 4]))
    got = vc.islands(path, eps, margin)
    assert got == model_islands(path, eps, margin)
    for loop in got["loops"]:
        assert len(loop) % 2 == 0 and len(loop) >= 6
        assert signed_area32(loop) <= 0.0
