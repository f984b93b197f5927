"""poisson_png(): which island and holes are meshed, the result layout, the
argument bounds, and invariants of the interior vertices and triangles checked
against a region model built independently with OpenCV's Python bindings."""
import cv2
import numpy as np
import pytest

import vellumcut_core as vc
from geometry import triangle_areas
from sprites import random_alpha


def traced_region(alpha, margin):
    """(outer, holes) as int contours (N, 2): the largest traced contour (the
    earliest of equal areas) and its children of area above 1.0."""
    mask = (np.asarray(alpha) > 0).astype(np.uint8) * 255
    if margin > 0:
        mask = np.pad(mask, margin)
    contours, hierarchy = cv2.findContours(mask, cv2.RETR_CCOMP, cv2.CHAIN_APPROX_NONE)
    areas = [abs(cv2.contourArea(c)) for c in contours]
    best = 0
    for i, a in enumerate(areas):
        if a > areas[best]:
            best = i
    holes, child = [], hierarchy[0][best][2]
    while child >= 0:
        if areas[child] > 1.0:
            holes.append(contours[child].reshape(-1, 2))
        child = hierarchy[0][child][0]
    return contours[best].reshape(-1, 2), holes, mask.shape


def outline_set(outer, holes):
    return {tuple(map(float, p)) for ring in [outer, *holes] for p in ring}


def interior_vertices(v, outer, holes):
    ring_points = outline_set(outer, holes)
    return np.array([p for p in v if (float(p[0]), float(p[1])) not in ring_points]).reshape(-1, 2)


def centroids(v, idx):
    return v[idx.reshape(-1, 3)].mean(axis=1)


def min_pair_distance(points):
    best = np.inf
    for start in range(0, len(points), 512):
        chunk = points[start:start + 512]
        d = np.hypot(chunk[:, None, 0] - points[None, :, 0], chunk[:, None, 1] - points[None, :, 1])
        d[np.arange(len(chunk)), np.arange(start, start + len(chunk))] = np.inf
        best = min(best, d.min(initial=np.inf))
    return best


def check_mesh_invariants(res, alpha, margin, rpx):
    outer, holes, shape = traced_region(alpha, margin)
    v, idx = res["v"], res["idx"]
    assert v.dtype == np.float64 and v.ndim == 2 and v.shape[1] == 2
    assert idx.dtype == np.int32 and idx.ndim == 1 and len(idx) % 3 == 0
    assert idx.size == 0 or (idx.min() >= 0 and idx.max() < len(v))
    assert (res["w"], res["h"]) == (shape[1], shape[0])

    # Every outline point is a vertex, once.
    rows = {tuple(p) for p in v.tolist()}
    assert len(rows) == len(v)
    assert outline_set(outer, holes) <= rows

    # Interior vertices: clearance, inside the outer outline, outside holes, spacing.
    region = np.zeros(shape, np.uint8)
    cv2.fillPoly(region, [outer.reshape(-1, 1, 2)], 255, cv2.LINE_8)
    for hole in holes:
        cv2.fillPoly(region, [hole.reshape(-1, 1, 2)], 0, cv2.LINE_8)
    clearance = cv2.distanceTransform(region, cv2.DIST_L2, 3, dstType=cv2.CV_32F)
    inner = interior_vertices(v, outer, holes)
    outer_f = outer.astype(np.float32)
    holes_f = [h.astype(np.float32) for h in holes]
    t = np.float32(rpx) * np.float32(1.5)
    for x, y in inner:
        assert clearance[int(y), int(x)] >= t, (x, y)
        assert cv2.pointPolygonTest(outer_f, (float(x), float(y)), False) >= 0, (x, y)
        for h in holes_f:
            assert cv2.pointPolygonTest(h, (float(x), float(y)), False) < 0, (x, y)
    assert min_pair_distance(inner) >= rpx * (1 - 1e-6)

    # The kept triangles tile the region exactly.
    region_area = abs(cv2.contourArea(outer)) - sum(abs(cv2.contourArea(h)) for h in holes)
    assert triangle_areas(v, idx).sum() == pytest.approx(region_area, rel=1e-9, abs=1e-9)
    return inner


def rect_alpha(h, w, boxes):
    alpha = np.zeros((h, w), np.uint8)
    for y0, y1, x0, x1 in boxes:
        alpha[y0:y1, x0:x1] = 255
    return alpha


# --- errors and argument bounds ---------------------------------------------

@pytest.mark.parametrize(
    "alpha, message",
    [
        (np.zeros((20, 20), np.uint8), "不透明領域が見つかりません"),
        (rect_alpha(20, 20, [(7, 8, 7, 8)]), "outer ring degenerate"),
        (rect_alpha(20, 20, [(7, 8, 2, 15)]), "outer ring degenerate"),
    ],
    ids=["transparent", "one_pixel", "one_pixel_line"],
)
def test_region_errors(write_png, alpha, message):
    with pytest.raises(RuntimeError, match=message):
        vc.poisson_png(write_png(alpha), 1.5, 2, 3)


@pytest.mark.parametrize("rpx", [0, -1, -(2**31)])
def test_rpx_must_be_positive(write_png, rpx):
    path = write_png(rect_alpha(20, 20, [(2, 18, 2, 18)]))
    with pytest.raises(ValueError, match="rpx"):
        vc.poisson_png(path, 1.5, 0, rpx)


def test_rpx_is_checked_before_the_image(tmp_path):
    with pytest.raises(ValueError, match="rpx"):
        vc.poisson_png(str(tmp_path / "missing.png"), 1.5, 0, 0)


def test_huge_rpx_gives_outline_only(write_png):
    alpha = rect_alpha(30, 30, [(3, 27, 3, 27)])
    res = vc.poisson_png(write_png(alpha), 1.5, 0, 2**31 - 1)
    outer, holes, _ = traced_region(alpha, 0)
    assert len(interior_vertices(res["v"], outer, holes)) == 0
    assert len(res["v"]) == len(outer)


def test_sixteen_bit_image_is_refused_by_opencv(write_png):
    alpha = np.zeros((20, 20), np.uint16)
    alpha[4:16, 4:16] = 65535
    with pytest.raises(RuntimeError, match=r"FindContours supports only CV_8UC1"):
        vc.poisson_png(write_png(alpha), 1.5, 0, 2)


def test_rpx_must_be_an_int(write_png):
    with pytest.raises(TypeError, match=r"^poisson_png\(\): incompatible function arguments"):
        vc.poisson_png(write_png(rect_alpha(20, 20, [(2, 18, 2, 18)])), 1.5, 0, 2.0)


# --- result layout -------------------------------------------------------------

@pytest.mark.parametrize("margin, expect_w, expect_h", [(0, 31, 23), (-4, 31, 23), (5, 41, 33)],
                         ids=["margin0", "negative_margin", "margin5"])
def test_size_keys_and_scale(write_png, margin, expect_w, expect_h):
    res = vc.poisson_png(write_png(rect_alpha(23, 31, [(2, 20, 3, 28)])), 1.5, margin, 3)
    assert list(res) == ["v", "idx", "w", "h", "scale"]
    assert (res["w"], res["h"], res["scale"]) == (expect_w, expect_h, 1.0)
    assert type(res["w"]) is int and type(res["scale"]) is float


def test_outline_rows_come_first_and_eps_is_ignored(write_png):
    alpha = np.zeros((40, 50), np.uint8)
    cv2.ellipse(alpha, (25, 20), (20, 14), 15, 0, 360, 255, -1)
    path = write_png(alpha)
    outer, _, _ = traced_region(alpha, 3)
    for eps in (0.0, 1.5, 40.0):
        v = vc.poisson_png(path, eps, 3, 4)["v"]
        # The full traced chain (no simplification, no reorientation) leads "v".
        np.testing.assert_array_equal(v[:len(outer)], outer)


# --- which island and holes -------------------------------------------------------

@pytest.mark.parametrize(
    "boxes",
    [
        [(2, 12, 2, 12), (20, 38, 20, 38)],   # larger island second
        [(2, 20, 2, 20), (26, 36, 26, 36)],   # larger island first
        [(2, 14, 2, 14), (24, 36, 24, 36)],   # equal areas: the first traced wins
        [(2, 14, 24, 36), (24, 36, 2, 14)],
    ],
    ids=["larger_second", "larger_first", "equal_diagonal", "equal_antidiagonal"],
)
def test_only_the_largest_island_is_meshed(write_png, boxes):
    alpha = rect_alpha(40, 40, boxes)
    res = vc.poisson_png(write_png(alpha), 1.5, 0, 2)
    outer, holes, _ = traced_region(alpha, 0)
    x0, y0 = outer.min(axis=0)
    x1, y1 = outer.max(axis=0)
    v = res["v"]
    assert ((v[:, 0] >= x0) & (v[:, 0] <= x1) & (v[:, 1] >= y0) & (v[:, 1] <= y1)).all()
    check_mesh_invariants(res, alpha, 0, 2)


@pytest.mark.parametrize("hole_rows, hole_cols", [(1, 1), (1, 2), (3, 4)],
                         ids=["one_pixel_hole", "two_pixel_hole", "3x4_hole"])
def test_holes_stay_empty(write_png, hole_rows, hole_cols):
    # Even the smallest traceable hole (one pixel, outline area 2.0) is kept.
    alpha = rect_alpha(40, 40, [(4, 36, 4, 36)])
    alpha[20:20 + hole_rows, 18:18 + hole_cols] = 0
    res = vc.poisson_png(write_png(alpha), 1.5, 1, 2)
    outer, holes, _ = traced_region(alpha, 1)
    assert len(holes) == 1
    hole = holes[0].astype(np.float32)
    for cx, cy in centroids(res["v"], res["idx"]):
        assert cv2.pointPolygonTest(hole, (float(cx), float(cy)), False) < 0
    check_mesh_invariants(res, alpha, 1, 2)


def test_island_inside_a_hole_is_not_meshed(write_png):
    alpha = rect_alpha(60, 60, [(2, 58, 2, 58)])
    alpha[12:48, 12:48] = 0
    alpha[24:36, 24:36] = 255
    res = vc.poisson_png(write_png(alpha), 1.5, 0, 2)
    inside = centroids(res["v"], res["idx"])
    assert not ((inside > 12) & (inside < 47)).all(axis=1).any()
    check_mesh_invariants(res, alpha, 0, 2)


def test_narrow_island_has_no_interior_vertex(write_png):
    # A 3-pixel-wide bar: no pixel is 3 * 1.5 from the outside.
    alpha = rect_alpha(20, 60, [(8, 11, 5, 55)])
    res = vc.poisson_png(write_png(alpha), 1.5, 2, 3)
    outer, holes, _ = traced_region(alpha, 2)
    assert len(interior_vertices(res["v"], outer, holes)) == 0
    assert len(res["v"]) == len(outer)
    assert len(res["idx"]) > 0
    check_mesh_invariants(res, alpha, 2, 3)


def test_one_pixel_neck_point_appears_once(write_png):
    alpha = rect_alpha(40, 60, [(5, 35, 4, 26), (5, 35, 34, 56), (20, 21, 26, 34)])
    outer, _, _ = traced_region(alpha, 0)
    # The traced outline walks the neck out and back: its points repeat.
    assert len({tuple(p) for p in outer.tolist()}) < len(outer)
    res = vc.poisson_png(write_png(alpha), 1.5, 0, 3)
    v = res["v"].tolist()
    for x in range(26, 34):
        assert v.count([float(x), 20.0]) == 1
    check_mesh_invariants(res, alpha, 0, 3)


def test_two_calls_share_outline_and_differ_inside(write_png):
    alpha = np.zeros((64, 64), np.uint8)
    cv2.circle(alpha, (32, 32), 28, 255, -1)
    cv2.circle(alpha, (32, 32), 8, 0, -1)
    path = write_png(alpha)
    a, b = (vc.poisson_png(path, 1.5, 2, 3) for _ in range(2))
    outer, holes, _ = traced_region(alpha, 2)
    n = len(outline_set(outer, holes))
    np.testing.assert_array_equal(a["v"][:n], b["v"][:n])
    inner_a = interior_vertices(a["v"], outer, holes)
    inner_b = interior_vertices(b["v"], outer, holes)
    assert len(inner_a) > 20 and len(inner_b) > 20
    assert {tuple(p) for p in inner_a.tolist()} != {tuple(p) for p in inner_b.tolist()}


# --- invariants over generated sprites ----------------------------------------------

@pytest.mark.parametrize("size", [None, 96], ids=["any_size", "96px"])
@pytest.mark.parametrize("seed", range(16))
def test_invariants_on_random_sprites(write_png, seed, size):
    rng = np.random.default_rng(1000 + seed)
    alpha = random_alpha(rng, size, size)
    margin = int(rng.integers(0, 4))
    rpx = int(rng.choice([1, 2, 3, 5]))
    path = write_png(alpha)
    if not (alpha > 0).any():
        with pytest.raises(RuntimeError, match="不透明領域が見つかりません"):
            vc.poisson_png(path, 1.5, margin, rpx)
        return
    outer, _, _ = traced_region(alpha, margin)
    if abs(cv2.contourArea(outer.astype(np.float32))) <= 0.001:
        with pytest.raises(RuntimeError, match="outer ring degenerate"):
            vc.poisson_png(path, 1.5, margin, rpx)
        return
    check_mesh_invariants(vc.poisson_png(path, 1.5, margin, rpx), alpha, margin, rpx)


def holey_alpha(rng):
    """A blob with round holes of several sizes and scattered one-pixel holes."""
    alpha = np.zeros((80, 80), np.uint8)
    cv2.ellipse(alpha, (40, 40), (int(rng.integers(25, 38)), int(rng.integers(25, 38))),
                float(rng.uniform(0, 180)), 0, 360, 255, -1)
    for _ in range(int(rng.integers(1, 5))):
        cv2.circle(alpha, (int(rng.integers(15, 65)), int(rng.integers(15, 65))),
                   int(rng.integers(1, 9)), 0, -1)
    pin = rng.random(alpha.shape) < 0.004
    alpha[pin] = 0
    return alpha


@pytest.mark.parametrize("seed", range(8))
def test_invariants_on_sprites_with_holes(write_png, seed):
    rng = np.random.default_rng(2000 + seed)
    alpha = holey_alpha(rng)
    rpx = int(rng.choice([1, 2, 4]))
    res = vc.poisson_png(write_png(alpha), 1.5, 2, rpx)
    _, holes, _ = traced_region(alpha, 2)
    assert holes
    inner = check_mesh_invariants(res, alpha, 2, rpx)
    assert len(inner) > 0
