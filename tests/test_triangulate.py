"""triangulate_png(): which outlines become groups, how their rings are laid
out and oriented, and the meshes earcut makes of them; plus a differential
test of the rings against an independent model built on OpenCV's Python
bindings, and mesh invariants over generated sprites."""
import math

import cv2
import numpy as np
import pytest

import vellumcut_core as vc
from sprites import random_alpha
from geometry import ring_area, signed_area32, triangle_cross
from test_islands import cyclic_equal, model_clean_loop

NO_OPAQUE = "不透明領域が見つかりません"


def points(flat):
    return [tuple(p) for p in np.asarray(flat, dtype=float).reshape(-1, 2).tolist()]


def flat(pts):
    return [float(c) for p in pts for c in p]


def triangle_area_sum(group):
    """Sum of the unsigned areas of the group's triangles (exact for whole-number coordinates)."""
    return float(np.abs(triangle_cross(group["v"], group["idx"])).sum()) / 2.0


def check_indices(group):
    idx, n = group["idx"], len(group["v"]) // 2
    assert len(group["v"]) % 2 == 0
    assert len(idx) % 3 == 0
    assert all(isinstance(i, int) and 0 <= i < n for i in idx)


# --- independent model ---------------------------------------------------------


def model_mask(path, margin):
    alpha = cv2.imread(path, cv2.IMREAD_UNCHANGED)[:, :, 3]
    if margin > 0:
        alpha = cv2.copyMakeBorder(alpha, margin, margin, margin, margin, cv2.BORDER_CONSTANT, value=0)
    return cv2.threshold(alpha, 0, 255, cv2.THRESH_BINARY)[1]


def model_floor(mask):
    ys, xs = np.nonzero(mask)  # row-major order
    dx = int(xs[-1]) - int(xs[0]) + 1
    dy = int(ys[-1]) - int(ys[0]) + 1
    return float(dx * dy) * 0.0005


def model_loop(contour, eps, outer):
    approx = cv2.approxPolyDP(contour, float(np.float32(eps)), True).reshape(-1, 2)
    loop = model_clean_loop([(np.float32(x), np.float32(y)) for x, y in approx])
    loop = [(float(x), float(y)) for x, y in loop]
    area = signed_area32(flat(loop))
    if (outer and area > 0) or (not outer and area < 0):
        loop = loop[::-1]
    return loop


def model_rings(path, eps, margin):
    """Per group, its rings (outer first) as lists of (x, y); plus w and h."""
    mask = model_mask(path, margin)
    contours, hierarchy = cv2.findContours(mask, cv2.RETR_CCOMP, cv2.CHAIN_APPROX_NONE)
    if not contours:
        return None, mask.shape[1], mask.shape[0]
    hier = hierarchy[0]
    floor = model_floor(mask)
    groups = []
    for i, contour in enumerate(contours):
        if hier[i][3] != -1 or floor > cv2.contourArea(contour, False):
            continue
        rings = [model_loop(contour, eps, outer=True)]
        c = hier[i][2]
        while c != -1:
            if cv2.contourArea(contours[c], False) >= floor:
                rings.append(model_loop(contours[c], eps, outer=False))
            c = hier[c][0]
        groups.append(rings)
    return groups, mask.shape[1], mask.shape[0]


# --- proper polygon check --------------------------------------------------------


def _orient(p, q, r):
    return np.sign((q[..., 0] - p[..., 0]) * (r[..., 1] - p[..., 1])
                   - (q[..., 1] - p[..., 1]) * (r[..., 0] - p[..., 0]))


def _on_segment(p, q, r):
    """r lies within the bounding box of p-q (use with collinear points only)."""
    return ((np.minimum(p[..., 0], q[..., 0]) <= r[..., 0]) & (r[..., 0] <= np.maximum(p[..., 0], q[..., 0]))
            & (np.minimum(p[..., 1], q[..., 1]) <= r[..., 1]) & (r[..., 1] <= np.maximum(p[..., 1], q[..., 1])))


def _inside(pt, ring):
    """Even-odd test of a point that lies on no edge of the ring."""
    x, y = pt
    inside = False
    for (x0, y0), (x1, y1) in zip(ring, ring[1:] + ring[:1]):
        if (y0 > y) != (y1 > y) and x < x0 + (y - y0) * (x1 - x0) / (y1 - y0):
            inside = not inside
    return inside


def is_proper_polygon(rings):
    """True when every ring is simple with non-zero area, no two rings touch
    or cross, every hole lies inside the outer ring and no hole inside another."""
    if any(len(r) < 3 or ring_area(r) == 0 for r in rings):
        return False
    starts, ends, ring_of, nxt, prv = [], [], [], [], []
    for k, ring in enumerate(rings):
        base, n = len(starts), len(ring)
        for i in range(n):
            starts.append(ring[i])
            ends.append(ring[(i + 1) % n])
            ring_of.append(k)
            nxt.append(base + (i + 1) % n)
            prv.append(base + (i - 1) % n)
    a, b = np.asarray(starts, np.int64), np.asarray(ends, np.int64)
    m = len(a)
    A, B = a[:, None, :], b[:, None, :]
    C, D = a[None, :, :], b[None, :, :]
    d1, d2, d3, d4 = _orient(C, D, A), _orient(C, D, B), _orient(A, B, C), _orient(A, B, D)
    meet = ((d1 * d2 < 0) & (d3 * d4 < 0)
            | (d1 == 0) & _on_segment(C, D, A) | (d2 == 0) & _on_segment(C, D, B)
            | (d3 == 0) & _on_segment(A, B, C) | (d4 == 0) & _on_segment(A, B, D))
    adjacent = np.zeros((m, m), bool)
    adjacent[np.arange(m), nxt] = True
    adjacent[np.arange(m), prv] = True
    np.fill_diagonal(adjacent, True)
    if (meet & ~adjacent).any():
        return False
    # Edges that share a point must not fold back over each other.
    for i in range(m):
        j = nxt[i]
        p, q, r = a[i], b[i], b[j]
        if _orient(p, q, r) == 0 and np.dot(p - q, r - q) > 0:
            return False
    if not all(_inside(h[0], rings[0]) for h in rings[1:]):
        return False
    return not any(_inside(h[0], g) for i, h in enumerate(rings[1:]) for j, g in enumerate(rings[1:]) if i != j)


# --- explicit cases ------------------------------------------------------------


def square_with_hole(island=False):
    alpha = np.zeros((40, 40), np.uint8)
    alpha[5:35, 5:35] = 255
    alpha[10:30, 10:30] = 0
    if island:
        alpha[15:25, 15:25] = 255
    return alpha


@pytest.mark.parametrize("margin", [0, 3], ids=["no_margin", "margin3"])
def test_transparent_image_has_no_opaque_region(write_png, margin):
    path = write_png(np.zeros((10, 12), np.uint8))
    with pytest.raises(RuntimeError, match=f"^{NO_OPAQUE}$"):
        vc.triangulate_png(path, 1.0, margin, 0.0)


@pytest.mark.parametrize(
    "make, eps, message",
    [
        (lambda w: w(np.full((6, 6), 255, np.uint8)), -1.0, r"^OpenCV\(.*Epsilon not valid"),
        (lambda w: w(np.full((6, 6, 3), 255, np.uint8)), 1.0, "^RGBA PNG を指定してください$"),
        (lambda w: "/nonexistent/sprite.png", 1.0, "^RGBA PNG を指定してください$"),
    ],
    ids=["negative_eps", "rgb_without_alpha", "missing_file"],
)
def test_other_failures_are_runtime_errors(write_png, make, eps, message):
    with pytest.raises(RuntimeError, match=message):
        vc.triangulate_png(make(write_png), eps, 0, 0.0)


def test_single_pixel_is_below_the_floor(write_png):
    alpha = np.zeros((9, 7), np.uint8)
    alpha[4, 3] = 255
    assert vc.triangulate_png(write_png(alpha), 1.0, 2, 0.0) == {"groups": [], "w": 11, "h": 13, "scale": 1.0}


def test_signature_and_keywords(write_png):
    path = write_png(square_with_hole())
    doc = vc.triangulate_png.__doc__.splitlines()[0]
    assert doc == "triangulate_png(path: str, eps: float, margin: int, maxA: float) -> dict"
    r = vc.triangulate_png(maxA=0.0, margin=1, eps=1.5, path=path)
    assert list(r) == ["groups", "w", "h", "scale"]
    assert all(list(g) == ["v", "idx"] and type(g["v"]) is list and type(g["idx"]) is list
               for g in r["groups"])
    assert r == vc.triangulate_png(path.encode(), 1.5, 1, 0.0)


def test_square_with_square_hole(write_png):
    r = vc.triangulate_png(write_png(square_with_hole()), 1.0, 0, 0.0)
    (group,) = r["groups"]
    check_indices(group)
    pts = points(group["v"])
    assert len(pts) == 8
    outer, hole = pts[:4], pts[4:]
    assert cyclic_equal(flat(outer), [(5, 5), (5, 34), (34, 34), (34, 5)])
    assert signed_area32(flat(outer)) < 0  # counter-clockwise on screen
    assert signed_area32(flat(hole)) > 0  # clockwise on screen
    # The hole is traced on the opaque pixels around the transparent 10..29 square.
    xs, ys = zip(*hole)
    assert (min(xs), max(xs), min(ys), max(ys)) == (9, 30, 9, 30)
    assert any(i >= 4 for i in group["idx"]) and any(i < 4 for i in group["idx"])
    assert triangle_area_sum(group) == ring_area(outer) - ring_area(hole)


def test_island_inside_hole_is_its_own_group(write_png):
    path = write_png(square_with_hole(island=True))
    r = vc.triangulate_png(path, 1.0, 0, 0.0)
    assert len(r["groups"]) == 2
    for group in r["groups"]:
        check_indices(group)
        assert min(group["idx"]) == 0
    sizes = sorted(len(g["v"]) // 2 for g in r["groups"])
    assert sizes == [4, 8]
    (island,) = [g for g in r["groups"] if len(g["v"]) == 8]
    assert cyclic_equal(island["v"], [(15, 15), (15, 24), (24, 24), (24, 15)])
    assert triangle_area_sum(island) == 81.0


def test_separate_islands_in_contour_order(write_png):
    alpha = np.zeros((30, 50), np.uint8)
    alpha[3:13, 4:10] = 255  # 6 wide, 10 high
    alpha[18:26, 30:45] = 255  # 15 wide, 8 high
    path = write_png(alpha)
    r = vc.triangulate_png(path, 1.0, 0, 0.0)
    contours, _ = cv2.findContours(model_mask(path, 0), cv2.RETR_CCOMP, cv2.CHAIN_APPROX_NONE)
    expected = [cv2.boundingRect(c) for c in contours]
    got = []
    for group in r["groups"]:
        check_indices(group)
        xs, ys = zip(*points(group["v"]))
        got.append((min(xs), min(ys), max(xs) - min(xs) + 1, max(ys) - min(ys) + 1))
    assert sorted(got) == [(4, 3, 6, 10), (30, 18, 15, 8)]
    assert got == expected


@pytest.mark.parametrize("hole, kept", [(1, False), (2, True), (3, True)],
                         ids=["1px_dropped", "2px_kept", "3px_kept"])
def test_hole_below_floor_is_filled(write_png, hole, kept):
    # A 100 x 100 block puts the floor at 100 * 100 * 0.0005 = 5; a one-pixel
    # hole is traced as a diamond of area 2, a two-pixel one as an octagon of 7.
    alpha = np.zeros((110, 110), np.uint8)
    alpha[5:105, 5:105] = 255
    alpha[50:50 + hole, 50:50 + hole] = 0
    (group,) = vc.triangulate_png(write_png(alpha), 0.0, 0, 0.0)["groups"]
    check_indices(group)
    pts = points(group["v"])
    outer_area = 99.0 * 99.0
    if kept:
        assert len(pts) > 4
        assert triangle_area_sum(group) == outer_area - ring_area(pts[4:])
    else:
        assert len(pts) == 4
        assert triangle_area_sum(group) == outer_area


@pytest.mark.parametrize("cols, rows, kept", [(50, 80, True), (51, 80, False), (50, 81, False)],
                         ids=["floor_equals_hole_area", "one_column_more", "one_row_more"])
def test_hole_exactly_at_floor_is_kept(write_png, cols, rows, kept):
    # The floor is cols * rows * 0.0005: exactly 2.0 for 50 x 80, the area of
    # the diamond traced around a one-pixel hole; an area equal to the floor passes.
    alpha = np.zeros((rows + 10, cols + 10), np.uint8)
    alpha[5:5 + rows, 5:5 + cols] = 255
    alpha[30, 30] = 0
    (group,) = vc.triangulate_png(write_png(alpha), 0.0, 0, 0.0)["groups"]
    assert len(group["v"]) // 2 == (8 if kept else 4)
    assert triangle_area_sum(group) == (cols - 1) * (rows - 1) - (2.0 if kept else 0.0)


@pytest.mark.parametrize("max_a", [-1.0, 0.5, 3.0, 1e9, math.inf, math.nan])
def test_max_area_has_no_effect(write_png, max_a):
    path = write_png(random_alpha(np.random.default_rng(7), 64, 64))
    baseline = vc.triangulate_png(path, 1.0, 2, 0.0)
    assert baseline["groups"]
    assert vc.triangulate_png(path, 1.0, 2, max_a) == baseline


def test_block_with_margin_coordinates(write_png):
    alpha = np.zeros((40, 30), np.uint8)
    alpha[20:24, 10:14] = 255
    r = vc.triangulate_png(write_png(alpha), 1.0, 5, 0.0)
    assert (r["w"], r["h"], r["scale"]) == (40, 50, 1.0)
    (group,) = r["groups"]
    assert cyclic_equal(group["v"], [(15, 25), (15, 28), (18, 28), (18, 25)])
    assert triangle_area_sum(group) == 9.0


@pytest.mark.parametrize("seed", [4, 11, 19])
@pytest.mark.parametrize("margin", [1, 4])
def test_margin_shifts_every_point(write_png, seed, margin):
    path = write_png(random_alpha(np.random.default_rng(seed)))
    plain = vc.triangulate_png(path, 1.5, 0, 0.0)
    assert vc.triangulate_png(path, 1.5, -3, 0.0) == plain
    shifted = vc.triangulate_png(path, 1.5, margin, 0.0)
    assert (shifted["w"], shifted["h"]) == (plain["w"] + 2 * margin, plain["h"] + 2 * margin)
    assert len(shifted["groups"]) == len(plain["groups"])
    for a, b in zip(plain["groups"], shifted["groups"]):
        assert b["v"] == [c + margin for c in a["v"]]
        assert b["idx"] == a["idx"]


def grown_rect(x, y):
    """A lone point as an outer loop: its 1-pixel-grown square, reversed."""
    return [(x - 1, y + 1), (x + 1, y + 1), (x + 1, y - 1), (x - 1, y - 1)]


@pytest.mark.parametrize(
    "second, floor_positive",
    [((10, 3), False), ((10, 19), False), ((10, 20), True)],
    ids=["last_left_of_first", "last_one_left_floor_zero", "last_below_first"],
)
def test_floor_at_or_below_zero_meshes_zero_area_contours(write_png, second, floor_positive):
    # Two lone pixels: the first in scan order at row 2, column 20, the last
    # at `second` (row, column). When the last lies left of the first the
    # floor is <= 0 and even these zero-area contours are meshed.
    alpha = np.zeros((16, 30), np.uint8)
    alpha[2, 20] = 255
    alpha[second] = 255
    r = vc.triangulate_png(write_png(alpha), 1.0, 0, 0.0)
    if floor_positive:
        assert r["groups"] == []
        return
    rects = sorted(points(g["v"]) for g in r["groups"])
    assert rects == sorted([grown_rect(20, 2), grown_rect(second[1], second[0])])
    for group in r["groups"]:
        check_indices(group)
        assert triangle_area_sum(group) == 4.0


def test_floor_below_zero_meshes_a_line(write_png):
    alpha = np.zeros((16, 30), np.uint8)
    alpha[2, 20] = 255
    alpha[10, 3:9] = 255  # a one-pixel line, zero area, last in scan order
    r = vc.triangulate_png(write_png(alpha), 1.0, 0, 0.0)
    assert len(r["groups"]) == 2
    for group in r["groups"]:
        check_indices(group)
        assert len(group["idx"]) == 6
        assert signed_area32(group["v"]) < 0
    assert sorted(points(r["groups"][0]["v"]) + points(r["groups"][1]["v"])) == sorted(
        grown_rect(20, 2) + [(2, 11), (9, 11), (9, 9), (2, 9)])


def test_large_eps_reduces_outlines_to_rectangles(write_png):
    # Both the outer outline and the hole collapse to one or two points; each
    # becomes its bounding box grown by one pixel. The outer one is reversed to
    # run counter-clockwise, the hole keeps the rectangle's clockwise order.
    (group,) = vc.triangulate_png(write_png(square_with_hole()), 1000.0, 0, 0.0)["groups"]
    pts = points(group["v"])
    assert len(pts) == 8
    for ring, outer in ((pts[:4], True), (pts[4:], False)):
        (x0, y0), (x1, y1) = np.min(ring, axis=0), np.max(ring, axis=0)
        rect = [(x0, y0), (x1, y0), (x1, y1), (x0, y1)]
        assert ring == (rect[::-1] if outer else rect)
        assert x1 - x0 >= 2 and y1 - y0 >= 2
    # The collapsed points are traced outline points: within the opaque square.
    assert all(5 <= c + 1 and c - 1 <= 34 for c in group["v"])
    assert signed_area32(flat(pts[:4])) < 0 < signed_area32(flat(pts[4:]))
    check_indices(group)


# --- generated sprites ------------------------------------------------------------


def holed_alpha(rng):
    """Filled ellipses or rectangles with a few holes well clear of each other
    and of the outline, so that moderate simplification keeps the rings apart."""
    h, w = int(rng.integers(40, 96)), int(rng.integers(40, 96))
    alpha = np.zeros((h, w), np.uint8)
    yy, xx = np.mgrid[0:h, 0:w]
    cy, cx, ry, rx = h / 2, w / 2, h / 2 - 3, w / 2 - 3
    if rng.random() < 0.5:
        body = ((yy - cy) / ry) ** 2 + ((xx - cx) / rx) ** 2 <= 1
        inner = lambda y, x, r: ((y - cy) / ry) ** 2 + ((x - cx) / rx) ** 2 <= (1 - (r + 5) / min(ry, rx)) ** 2
    else:
        body = (abs(yy - cy) <= ry) & (abs(xx - cx) <= rx)
        inner = lambda y, x, r: abs(y - cy) <= ry - r - 5 and abs(x - cx) <= rx - r - 5
    alpha[body] = 255
    placed = []
    for _ in range(int(rng.integers(2, 7))):
        r = float(rng.uniform(1.5, min(h, w) / 6))
        y, x = rng.uniform(0, h), rng.uniform(0, w)
        if inner(y, x, r) and all(math.hypot(y - y2, x - x2) > r + r2 + 5 for y2, x2, r2 in placed):
            placed.append((y, x, r))
            alpha[(yy - y) ** 2 + (xx - x) ** 2 <= r * r] = 0
    return alpha


SPRITES = [("random", seed) for seed in range(60)] + [("holed", seed) for seed in range(30)]


@pytest.mark.parametrize("family, seed", SPRITES, ids=[f"{f}{s}" for f, s in SPRITES])
def test_matches_model_and_mesh_invariants(write_png, family, seed):
    rng = np.random.default_rng(1000 + seed)
    path = write_png(random_alpha(rng) if family == "random" else holed_alpha(rng))
    eps = float(rng.choice([0.0, 0.5, 1.0, 1.5, 3.0, 12.0] if family == "random" else [0.0, 0.5, 1.0, 1.5]))
    margin = int(rng.choice([-1, 0, 2, 5]))
    max_a = float(rng.choice([0.0, 10.0]))
    groups, w, h = model_rings(path, eps, margin)
    if groups is None:
        with pytest.raises(RuntimeError, match=NO_OPAQUE):
            vc.triangulate_png(path, eps, margin, max_a)
        return
    got = vc.triangulate_png(path, eps, margin, max_a)
    assert (got["w"], got["h"], got["scale"]) == (w, h, 1.0)
    assert [g["v"] for g in got["groups"]] == [[c for ring in rings for c in flat(ring)] for rings in groups]
    for group, rings in zip(got["groups"], groups):
        check_indices(group)
        assert signed_area32(flat(rings[0])) <= 0
        assert all(signed_area32(flat(hole)) >= 0 for hole in rings[1:])
        if is_proper_polygon(rings):
            expected = ring_area(rings[0]) - sum(ring_area(hole) for hole in rings[1:])
            assert triangle_area_sum(group) == pytest.approx(expected, rel=1e-12)
