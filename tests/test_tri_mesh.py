"""tri_mesh_debug: constrained Delaunay mesh of an outline with holes and free points."""
from __future__ import annotations

import math
import subprocess
import sys
import textwrap
from fractions import Fraction

import cv2
import numpy as np
import pytest

import vellumcut_core as vc
from geometry import ring_area, triangle_cross

UNIT = [(0, 0), (1, 0), (1, 1), (0, 1)]
SQ10 = [(0, 0), (10, 0), (10, 10), (0, 10)]
SQ20 = [(0, 0), (20, 0), (20, 20), (0, 20)]
C_HOLE = [(4, 4), (16, 4), (16, 8), (8, 8), (8, 12), (16, 12), (16, 16), (4, 16)]


def f32(points) -> np.ndarray:
    """Points as the module holds them: float32, widened to float64."""
    return np.asarray(points, dtype=np.float32).reshape(-1, 2).astype(np.float64)


def tri_cross(r) -> np.ndarray:
    """Twice the signed area of every kept triangle (y up: counter-clockwise > 0)."""
    return triangle_cross(r["v"], r["idx"])


def kept_area(r) -> float:
    return float(np.sum(np.abs(tri_cross(r)))) / 2


def triangles_as_points(r) -> set:
    """Kept triangles as sets of corner coordinates: comparable across index orders."""
    return {frozenset(map(tuple, r["v"][t])) for t in r["idx"].reshape(-1, 3)}


def covered(r, point) -> bool:
    """Whether `point` lies strictly inside some kept triangle."""
    for t in r["v"][r["idx"].reshape(-1, 3)]:
        if cv2.pointPolygonTest(t.astype(np.float32), tuple(map(float, point)), False) > 0:
            return True
    return False


def unique_in_order(points) -> np.ndarray:
    seen, out = set(), []
    for x, y in f32(points):
        key = (x + 0.0, y + 0.0)
        if key not in seen:
            seen.add(key)
            out.append(key)
    return np.array(out, dtype=np.float64).reshape(-1, 2)


def check_result_shape(r):
    assert list(r) == ["v", "idx"]
    v, idx = r["v"], r["idx"]
    assert v.dtype == np.float64 and v.ndim == 2 and v.shape[1] == 2
    assert idx.dtype == np.int32 and idx.ndim == 1 and idx.size % 3 == 0
    assert v.flags.c_contiguous and idx.flags.c_contiguous
    assert v.flags.owndata and idx.flags.owndata
    if idx.size:
        assert idx.min() >= 0 and idx.max() < len(v)


# --- degenerate input ------------------------------------------------------------------

# float32(0.001) lies above 0.001; the float before it lies below.
W_ABOVE = float(np.float32(0.001))
W_BELOW = float(np.nextafter(np.float32(0.001), np.float32(0)))
assert W_BELOW < 0.001 < W_ABOVE


@pytest.mark.parametrize(
    "outer",
    [
        [],
        [(0, 0), (5, 5)],
        [(0, 0), (1, 1), (2, 2)],
        [(0, 0), (1, 0), (1, 0), (0, 0)],
        [(0, 0), (1, 0), (0, 2**-9)],  # area 2**-10 < 0.001
        [(0, 0), (W_BELOW, 0), (W_BELOW, 1), (0, 1)],  # area a hair below 0.001
    ],
    ids=["empty", "two_points", "three_collinear", "repeated_points", "area_0.00098", "area_0.001"],
)
def test_degenerate_outer_ring_raises(outer):
    with pytest.raises(RuntimeError, match="^outer ring degenerate$"):
        vc.tri_mesh_debug(outer, [], [(0.5, 0.5)])


def test_outer_ring_just_above_area_limit_is_meshed():
    outer = [(0, 0), (W_ABOVE, 0), (W_ABOVE, 1), (0, 1)]
    r = vc.tri_mesh_debug(outer, [], [])
    check_result_shape(r)
    assert len(r["idx"]) == 6
    assert kept_area(r) == pytest.approx(ring_area(outer), rel=1e-12)


@pytest.mark.parametrize(
    "hole",
    [
        [],
        [(0.5, 0.5)],
        [(0.2, 0.2), (0.7, 0.6)],
        [(0.2, 0.2), (0.4, 0.4), (0.6, 0.6)],
        [(0.2, 0.2), (0.8, 0.2), (0.2, 0.2011)],
    ],
    ids=["empty", "one_point", "two_points", "collinear", "tiny_area"],
)
def test_unusable_hole_is_ignored_entirely(hole):
    extra = [(0.3, 0.6)]
    plain = vc.tri_mesh_debug(UNIT, [], extra)
    r = vc.tri_mesh_debug(UNIT, [hole, [(0.1, 0.1), (0.2, 0.1)]], extra)
    np.testing.assert_array_equal(r["v"], plain["v"])
    np.testing.assert_array_equal(r["idx"], plain["idx"])
    assert kept_area(r) == pytest.approx(1.0)


# --- holes and the centroid filter -----------------------------------------------------------


def test_unit_square_with_square_hole():
    hole = [(0.25, 0.25), (0.75, 0.25), (0.75, 0.75), (0.25, 0.75)]
    r = vc.tri_mesh_debug(UNIT, [hole], [])
    check_result_shape(r)
    np.testing.assert_array_equal(r["v"], f32(UNIT + hole))
    assert len(r["idx"]) == 3 * 8
    assert kept_area(r) == pytest.approx(0.75, rel=1e-12)
    assert not covered(r, (0.5, 0.5))
    assert all(covered(r, p) for p in [(0.1, 0.5), (0.9, 0.5), (0.5, 0.1), (0.5, 0.9)])


@pytest.mark.parametrize("reverse", [False, True], ids=["as_given", "reversed"])
@pytest.mark.parametrize("start", [0, 3, 5], ids=lambda s: f"start{s}")
def test_c_shaped_hole_with_mean_in_solid_part(start, reverse):
    hole = C_HOLE[start:] + C_HOLE[:start]
    if reverse:
        hole = hole[::-1]
    assert np.mean(hole, axis=0).tolist() == [11, 10]  # inside the C's notch: solid
    r = vc.tri_mesh_debug(SQ20, [hole], [])
    assert kept_area(r) == pytest.approx(400 - 112)
    assert covered(r, (10, 9)) and covered(r, (2.5, 2))
    assert not covered(r, (6, 10))
    # The same triangles whatever vertex the hole starts at or its direction.
    assert triangles_as_points(r) == triangles_as_points(vc.tri_mesh_debug(SQ20, [C_HOLE], []))


@pytest.mark.parametrize("hole", [SQ10, SQ10[::-1], SQ10[2:] + SQ10[:2]], ids=["same", "reversed", "rotated"])
def test_hole_equal_to_outer_ring_leaves_no_triangle(hole):
    r = vc.tri_mesh_debug(SQ10, [hole], [])
    check_result_shape(r)
    assert r["idx"].shape == (0,)
    np.testing.assert_array_equal(r["v"], f32(SQ10))


def test_concave_outer_ring_drops_hull_triangles():
    outer = [(0, 0), (10, 0), (10, 10), (5, 2), (0, 10)]  # a deep notch from the top
    r = vc.tri_mesh_debug(outer, [], [])
    assert kept_area(r) == pytest.approx(ring_area(outer))
    assert not covered(r, (5, 8))


# Float32 centroids can land exactly on a ring: (1 + 1 + (1 +- tiny)) rounds to 3.
EPS_UP = float(np.nextafter(np.float32(1), np.float32(2)))
EPS_DOWN = float(np.nextafter(np.float32(1), np.float32(0)))


def test_centroid_exactly_on_outer_ring_is_kept():
    outer = [(0, 1), (3, 1), (3, 4), (0, 4)]
    r = vc.tri_mesh_debug(outer, [], [(1.5, EPS_UP)])
    sliver = frozenset({(0.0, 1.0), (3.0, 1.0), (1.5, EPS_UP)})
    assert np.float32(np.float32(1 + 1 + EPS_UP) / np.float32(3)) == 1.0
    assert sliver in triangles_as_points(r)
    assert kept_area(r) == pytest.approx(9.0, rel=1e-12)


def test_centroid_exactly_on_hole_ring_is_dropped():
    hole = [(0, 1), (3, 1), (3, 4), (0, 4)]
    outer = [(-10, -10), (10, -10), (10, 10), (-10, 10)]
    r = vc.tri_mesh_debug(outer, [hole], [(1.5, EPS_DOWN)])
    sliver = frozenset({(0.0, 1.0), (3.0, 1.0), (1.5, EPS_DOWN)})
    assert np.float32(np.float32(1 + 1 + EPS_DOWN) / np.float32(3)) == 1.0
    kept = triangles_as_points(r)
    assert sliver not in kept
    # Every other triangle outside the hole is kept.
    assert kept_area(r) == pytest.approx(400 - 9 - 1.5 * (1 - EPS_DOWN), rel=1e-12)


def test_coordinates_near_float_max_keep_their_triangles():
    big = 3e38  # corner sums overflow float32 while centroids do not
    outer = [(0, 0), (big, 0), (big, big), (0, big)]
    r = vc.tri_mesh_debug(outer, [], [(-big, -big), (big / 2, big / 3)])
    assert kept_area(r) == pytest.approx(ring_area(outer), rel=1e-6)
    assert 4 not in r["idx"] and 5 in r["idx"]


# --- coincident points -------------------------------------------------------------------------


def test_repeated_closing_point_meshes_like_open_ring():
    outer = [(0, 0), (6, 0), (6, 4), (3, 6), (0, 4)]
    extra = [(2, 2), (4, 1)]
    open_ring = vc.tri_mesh_debug(outer, [], extra)
    closed = vc.tri_mesh_debug(outer + [outer[0]], [], extra)
    np.testing.assert_array_equal(closed["v"], open_ring["v"])
    assert triangles_as_points(closed) == triangles_as_points(open_ring)


def test_extra_points_on_existing_points_add_no_rows():
    hole = [(4, 4), (6, 4), (6, 6), (4, 6)]
    extra = [(0, 0), (6, 6), (2, 2), (2, 2), (-0.0, 10)]
    r = vc.tri_mesh_debug(SQ10, [hole], extra)
    np.testing.assert_array_equal(r["v"], f32(SQ10 + hole + [(2, 2)]))
    assert kept_area(r) == pytest.approx(96)


@pytest.mark.parametrize(
    "outer, holes, area",
    [
        (SQ10, [[(10, 5), (6, 3), (6, 7)]], 100 - 8),  # hole touching the outer ring at a point
        (SQ10, [[(0, 0), (4, 0), (4, 4)]], 100 - 8),  # hole sharing an outer edge
        (SQ10, [[(2, 2), (5, 2), (5, 5)], [(5, 5), (8, 5), (8, 8)]], 100 - 9),  # holes touching
        ([(0, 0), (2, 0), (2, 2), (4, 2), (4, 4), (2, 4), (2, 2), (0, 2)], [], 8),  # one-point neck
        (SQ20, [C_HOLE, C_HOLE], 400 - 112),  # the same hole twice
    ],
    ids=["hole_touches_outer", "hole_shares_edge", "holes_touch", "figure_eight", "duplicate_hole"],
)
def test_shared_points_are_merged_in_input_order(outer, holes, area):
    r = vc.tri_mesh_debug(outer, holes, [])
    np.testing.assert_array_equal(r["v"], unique_in_order(outer + sum(holes, [])))
    assert (tri_cross(r) > 0).all()
    assert kept_area(r) == pytest.approx(area)


def test_extra_point_outside_is_a_row_no_triangle_uses():
    r = vc.tri_mesh_debug(SQ10, [], [(5, 5), (15, 5), (5, 5)])
    np.testing.assert_array_equal(r["v"], f32(SQ10 + [(5, 5), (15, 5)]))
    assert 5 not in r["idx"] and 4 in r["idx"]
    assert kept_area(r) == pytest.approx(100)


@pytest.mark.parametrize(
    "holes, crossings, area",
    [
        ([[(2, 2), (6, 2), (6, 6), (2, 6)], [(4, 4), (8, 4), (8, 8), (4, 8)]], [(6, 4), (4, 6)], 100 - 28),
        ([[(8, 4), (12, 4), (12, 6), (8, 6)]], [(10, 4), (10, 6)], 100 - 4),
    ],
    ids=["two_holes_cross", "hole_crosses_outer"],
)
def test_crossing_rings_append_crossing_points(holes, crossings, area):
    r = vc.tri_mesh_debug(SQ10, holes, [(1, 1)])
    n_in = len(SQ10) + sum(map(len, holes)) + 1
    np.testing.assert_array_equal(r["v"][:n_in], f32(SQ10 + sum(holes, []) + [(1, 1)]))
    assert sorted(map(tuple, r["v"][n_in:])) == sorted(crossings)
    check_result_shape(r)
    assert kept_area(r) == pytest.approx(area)


# --- argument forms --------------------------------------------------------------------------


OUTER_F = [(0.1, 0.2), (9.7, 0.3), (9.9, 9.4), (0.3, 9.8)]
HOLE_F = [(3.3, 3.1), (6.2, 3.4), (5.1, 6.6)]
EXTRA_F = [(1.5, 1.25), (8.1, 2.2)]
BASE = vc.tri_mesh_debug(OUTER_F, [HOLE_F], EXTRA_F)


@pytest.mark.parametrize(
    "convert",
    [
        lambda pts: [list(p) for p in pts],
        lambda pts: tuple(pts),
        lambda pts: np.array(pts),
        lambda pts: np.array(pts, dtype=np.float32),
        lambda pts: np.array(pts, dtype=np.longdouble),
        lambda pts: np.array(pts)[::-1][::-1],
        lambda pts: np.asfortranarray(np.array(pts)),
        lambda pts: list(np.array(pts)),
        lambda pts: [(np.float32(x), np.float64(y)) for x, y in pts],
        lambda pts: [(Fraction(x), y) for x, y in pts],
    ],
    ids=["lists", "tuple", "ndarray_f64", "ndarray_f32", "ndarray_longdouble", "ndarray_strided",
         "ndarray_fortran", "ndarray_rows", "numpy_scalars", "fraction"],
)
def test_point_forms_agree(convert):
    r = vc.tri_mesh_debug(outer=convert(OUTER_F), holes=[convert(HOLE_F)], extra=convert(EXTRA_F))
    np.testing.assert_array_equal(r["v"], BASE["v"])
    np.testing.assert_array_equal(r["idx"], BASE["idx"])


@pytest.mark.parametrize("dtype", [np.int8, np.uint8, np.int32, np.int64, np.uint64])
def test_integer_arrays_agree_with_int_lists(dtype):
    outer, hole, extra = SQ20, [(3, 3), (9, 3), (9, 9)], [(15, 15), (25, 2)]
    as_list = vc.tri_mesh_debug(outer, [hole], extra)
    as_arr = vc.tri_mesh_debug(np.array(outer, dtype), np.array([hole], dtype), np.array(extra, dtype))
    np.testing.assert_array_equal(as_arr["v"], as_list["v"])
    np.testing.assert_array_equal(as_arr["idx"], as_list["idx"])


def test_large_integers_narrow_like_lists():
    big = 2**53 + 1  # float64 then float32, in both forms
    outer = [(0, 0), (big, 0), (big, big), (0, big)]
    np.testing.assert_array_equal(
        vc.tri_mesh_debug(np.array(outer, np.int64), [], [])["v"], vc.tri_mesh_debug(outer, [], [])["v"])


def test_coordinates_are_narrowed_to_float32():
    r = vc.tri_mesh_debug(SQ10, [], [(0.1, 1 / 3)])
    assert r["v"][4].tolist() == [float(np.float32(0.1)), float(np.float32(1 / 3))]


@pytest.mark.parametrize(
    "holes, extra",
    [([], np.empty((0, 2))), (np.empty((0, 4, 2)), np.empty(0)), ((), ())],
    ids=["empty_2d", "empty_3d_holes_1d_extra", "empty_tuples"],
)
def test_empty_sequences_convert(holes, extra):
    r = vc.tri_mesh_debug(np.array(SQ10, np.float32), holes, extra)
    np.testing.assert_array_equal(r["v"], f32(SQ10))


def test_empty_arguments_reach_the_mesher():
    with pytest.raises(RuntimeError, match="^outer ring degenerate$"):
        vc.tri_mesh_debug([], [], [])
    with pytest.raises(RuntimeError, match="^outer ring degenerate$"):
        vc.tri_mesh_debug(np.empty((0, 2)), np.empty((0, 0, 2)), np.empty((0, 2)))


@pytest.mark.parametrize(
    "args",
    [
        ("abcd", [], []),
        (b"abcd", [], []),
        (["ab", "cd", "ef"], [], []),
        ([b"ab", b"cd", b"ef"], [], []),
        ([(0, 0, 0), (1, 0, 0), (1, 1, 0)], [], []),
        ([(0,), (1,), (2,)], [], []),
        ([(0, 0), (1, 0), None], [], []),
        ([(0, 0), (1, 0), (1, "1")], [], []),
        ([(0, 0), (1, 0), (1, 1j)], [], []),
        ([(0, 0), (1, 0), ([1], [1])], [], []),
        ([(0, 0), (1, 0), np.array([[1], [1]])], [], []),
        (iter(SQ10), [], []),
        (5, [], []),
        (None, [], []),
        (np.zeros((4, 3)), [], []),
        (np.zeros(8), [], []),
        (np.zeros((4, 2, 1)), [], []),
        (np.array(SQ10, dtype=complex), [], []),
        (np.array(SQ10, dtype=bool), [], []),
        (np.array([["0", "0"]] * 4), [], []),
        (SQ10, SQ10, []),
        (SQ10, [[(1, 1), (2, 1), (2, 2)], 3], []),
        (SQ10, "ab", []),
        (SQ10, [], {(1, 1): 0}),
        (SQ10, [], [(1, 1), 2]),
    ],
    ids=["str", "bytes", "str_points", "bytes_points", "three_coords", "one_coord", "none_point",
         "str_coord", "complex_coord", "nested_coord", "array_column_point", "iterator", "int",
         "none", "array_n3", "array_flat", "array_3d", "array_complex", "array_bool", "array_str",
         "holes_as_ring", "hole_not_a_ring", "holes_str", "extra_dict", "extra_bare_number"],
)
def test_refused_arguments_raise_type_error(args):
    with pytest.raises(TypeError, match=r"^tri_mesh_debug\(\): incompatible function arguments"):
        vc.tri_mesh_debug(*args)


def test_arguments_are_required_and_named():
    assert vc.tri_mesh_debug(extra=[], outer=SQ10, holes=[])["v"].shape == (4, 2)
    with pytest.raises(TypeError, match=r"^tri_mesh_debug\(\): incompatible function arguments"):
        vc.tri_mesh_debug(SQ10, [])
    with pytest.raises(TypeError, match=r"^tri_mesh_debug\(\): incompatible function arguments"):
        vc.tri_mesh_debug(SQ10, [], [], [])
    assert vc.tri_mesh_debug.__doc__.startswith("tri_mesh_debug(outer: list[tuple[float, float]], ")


# --- invariants over generated inputs ----------------------------------------------------------


def star_ring(rng, centre, r_min, r_max, n):
    # Jittered angles keep every gap below pi, so the ring cannot cross itself.
    ang = (np.arange(n) + rng.uniform(0.05, 0.95, n)) * (2 * math.pi / n)
    rad = rng.uniform(r_min, r_max, len(ang))
    pts = np.stack([centre[0] + rad * np.cos(ang), centre[1] + rad * np.sin(ang)], axis=1)
    pts = pts.astype(np.float32)
    return pts[::-1] if rng.random() < 0.5 else pts


def random_case(seed):
    """A star-shaped outline, disjoint star-shaped holes well inside it, a few
    unusable holes and free points anywhere, some repeating ring points."""
    rng = np.random.default_rng(seed)
    scale = 10.0 ** rng.integers(0, 4)
    outer = star_ring(rng, (0, 0), 0.5 * scale, scale, int(rng.integers(3, 60)))
    holes, circles = [], []
    for _ in range(int(rng.integers(0, 8))):
        c = rng.uniform(-scale, scale, 2)
        rh = rng.uniform(0.03, 0.25) * scale
        clearance = cv2.pointPolygonTest(outer, tuple(map(float, c)), True)
        if clearance < 1.2 * rh or any(np.hypot(*(c - c2)) < 1.2 * (rh + r2) for c2, r2 in circles):
            continue
        circles.append((c, rh))
        holes.append(star_ring(rng, c, 0.3 * rh, rh, int(rng.integers(3, 25))))
    usable = list(holes)
    for _ in range(int(rng.integers(0, 3))):
        bad = rng.uniform(-scale, scale, (int(rng.integers(0, 3)), 2)).astype(np.float32)
        holes.insert(int(rng.integers(0, len(holes) + 1)), bad)
    ring_pts = np.concatenate([outer] + usable)
    extra = rng.uniform(-1.3 * scale, 1.3 * scale, (int(rng.integers(0, 80)), 2)).astype(np.float32)
    extra = np.concatenate([extra, ring_pts[rng.integers(0, len(ring_pts), 3)], extra[:2]])
    return outer, holes, usable, extra


def ring_edges_present(r, ring, index_of) -> bool:
    v = r["v"]
    adj = {}
    for t in r["idx"].reshape(-1, 3):
        for i, j in ((t[0], t[1]), (t[1], t[2]), (t[2], t[0])):
            adj.setdefault(i, set()).add(j)
            adj.setdefault(j, set()).add(i)
    ids = [index_of[(float(x), float(y))] for x, y in f32(ring)]
    for i, j in zip(ids, ids[1:] + ids[:1]):
        a, d = v[i], v[j] - v[i]
        cur, t_cur = i, 0.0
        while cur != j:  # walk along the edge through collinear mesh vertices
            best = None
            for n in adj.get(cur, ()):
                w = v[n] - a
                t = float(w @ d) / float(d @ d)
                if abs(d[0] * w[1] - d[1] * w[0]) <= 1e-9 * float(d @ d) and t_cur < t <= 1 + 1e-12:
                    if best is None or t < best[1]:
                        best = (n, t)
            if best is None:
                return False
            cur, t_cur = best
    return True


@pytest.mark.parametrize("seed", range(40))
def test_invariants_on_generated_inputs(seed):
    outer, holes, usable, extra = random_case(seed)
    r = vc.tri_mesh_debug(outer.tolist(), [h.tolist() for h in holes], extra.tolist())
    check_result_shape(r)

    expected_v = unique_in_order(np.concatenate([outer] + usable + [extra]))
    np.testing.assert_array_equal(r["v"], expected_v)  # no crossings: no added points
    assert (tri_cross(r) > 0).all()  # counter-clockwise with y up, none degenerate

    region = ring_area(outer) - sum(ring_area(h) for h in usable)
    assert kept_area(r) == pytest.approx(region, rel=1e-9)

    index_of = {(x, y): i for i, (x, y) in enumerate(r["v"].tolist())}
    for ring in [outer] + usable:
        assert ring_edges_present(r, ring, index_of)

    again = vc.tri_mesh_debug(outer.tolist(), [h.tolist() for h in holes], extra.tolist())
    from_arrays = vc.tri_mesh_debug(outer.astype(np.float64), holes, extra)
    for other in (again, from_arrays):
        np.testing.assert_array_equal(other["v"], r["v"])
        np.testing.assert_array_equal(other["idx"], r["idx"])


# --- faults of the triangulation library, each in a fresh process --------------------------------


def run_isolated(code: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120)


def test_coincident_points_with_segments_do_not_crash():
    # Triangle drops all but one of a set of coincident points and then reads
    # uninitialised memory for segments ending at the dropped ones.
    proc = run_isolated(f"""
        import vellumcut_core as vc
        sq10 = {SQ10!r}
        for _ in range(20):
            a = vc.tri_mesh_debug({SQ20!r}, [{C_HOLE!r}], [])
            b = vc.tri_mesh_debug(sq10, [], [(10, 10), (20, 20), (5, 5)])
            c = vc.tri_mesh_debug(sq10, [sq10], [])
            d = vc.tri_mesh_debug(sq10 + [(0, 0)], [[(0, 0), (5, 0), (5, 5)], [(5, 5), (10, 10), (5, 10)]],
                                  [(0, 0), (5, 5)])
        print(len(a["idx"]) > 0, len(b["v"]), c["idx"].shape, len(d["v"]))
    """)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stdout.split() == ["True", "6", "(0,)", "7"]


def test_non_finite_points_are_refused_before_triangulation():
    # A NaN free point crashes or hangs Triangle; a NaN anywhere is refused
    # before the rings are even looked at.
    proc = run_isolated(f"""
        import vellumcut_core as vc
        nan, inf = float("nan"), float("inf")
        sq = {SQ10!r}
        cases = [
            (sq, [], [(nan, 5)]),
            (sq, [], [(5, nan)]),
            (sq, [], [(inf, 5)]),
            (sq, [], [(5, -inf)]),
            (sq + [(5, inf)], [], []),  # NaN area: not just "degenerate"
            (sq, [[(2, -2), (inf, 3), (3, 4)]], []),  # infinite area: a usable hole
            (sq, [[(2, 2), (4, 2), (3, nan)]], []),  # NaN area: not dropped silently
            (sq, [[(2, 2)], [(1, nan)]], []),  # too short to be used, still refused
            ([(nan, nan)], [], []),
        ]
        for args in cases:
            try:
                vc.tri_mesh_debug(*args)
                print("accepted")
            except (ValueError, RuntimeError) as e:
                print(type(e).__name__ + ":" + str(e).replace(" ", "_"))
    """)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stdout.split() == ["ValueError:non-finite_coordinate"] * 9


def test_float_traps_stay_masked_after_meshing():
    # Triangle loads an x87 control word that unmasks overflow and
    # divide-by-zero traps; numpy's first import (building the result) and any
    # long-double overflow afterwards would die of SIGFPE.
    proc = run_isolated(f"""
        import vellumcut_core as vc
        r = vc.tri_mesh_debug({SQ10!r}, [{SQ10!r}], [])
        import numpy as np
        with np.errstate(all="ignore"):
            big = np.finfo(np.longdouble).max * np.longdouble(2)
            inf = np.longdouble(1) / np.longdouble(0)
            nan = np.longdouble("inf") - np.longdouble("inf")
        print(r["idx"].shape, np.isinf(big), np.isinf(inf), np.isnan(nan))
    """)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stdout.split() == ["(0,)", "True", "True", "True"]
