"""The mesh checkers themselves: each passes sound meshes (exact pixel meshes
of generated masks, padded rectangles) and fails a mesh broken in the way it
is meant to catch; the core's meshes serve as real cases with known faults
(outlines through pixel centres clip every boundary pixel)."""
from __future__ import annotations

import math
from fractions import Fraction

import cv2
import numpy as np
import pytest

import vellumcut
from mesh_checks import (assert_sound, check_angles, check_coverage, check_tolerance, check_validity,
                         mesh_figures, opaque_mask)
from sprites import random_alpha
from vellumcut.meshes import Part, SpriteMesh, boundary_rings


def pixel_mesh(mask: np.ndarray, margin: int = 0, connectivity: int = 8) -> SpriteMesh:
    """Exact mesh of a mask: two triangles per opaque pixel square, one part per island."""
    b = max(margin, 0)
    count, labels = cv2.connectedComponents(mask.astype(np.uint8), connectivity=connectivity)
    parts = []
    for k in range(1, count):
        ys, xs = np.nonzero(labels == k)
        corners = np.stack([np.stack([xs + dx, ys + dy], axis=1) for dx, dy in ((0, 0), (1, 0), (1, 1), (0, 1))],
                           axis=1).reshape(-1, 2) + b - 0.5
        verts, ids = np.unique(corners, axis=0, return_inverse=True)
        quad = ids.reshape(-1, 4)
        tris = np.concatenate([quad[:, [0, 1, 2]], quad[:, [0, 2, 3]]])
        parts.append(Part(verts, tris, boundary_rings(verts, tris)))
    return SpriteMesh("mesh", parts, mask.shape[1] + 2 * b, mask.shape[0] + 2 * b, margin)


def polygon_mesh(rings: list[list[tuple[float, float]]], tris: list[tuple[int, int, int]] | None = None,
                 size: tuple[int, int] = (16, 16)) -> SpriteMesh:
    """One part from rings given as points (outer first); triangles index the
    concatenated points, by default a fan over the first ring (clockwise on
    screen, like the pixel meshes)."""
    pts = np.array([p for r in rings for p in r], np.float64)
    idx, start = [], 0
    for r in rings:
        idx.append(np.arange(start, start + len(r)))
        start += len(r)
    if tris is None:
        tris = [(0, i + 1, i) for i in range(1, len(rings[0]) - 1)]
    return SpriteMesh("mesh", [Part(pts, np.array(tris, np.int64).reshape(-1, 3), idx)], size[1], size[0], 0)


def box(x0: float, y0: float, x1: float, y1: float) -> list[tuple[float, float]]:
    """Counter-clockwise on screen (signed area < 0), the outer-ring convention."""
    return [(x0, y0), (x0, y1), (x1, y1), (x1, y0)]


def hole(x0: float, y0: float, x1: float, y1: float) -> list[tuple[float, float]]:
    return box(x0, y0, x1, y1)[::-1]


def rect_mask(shape=(16, 16), x0=4, y0=4, x1=11, y1=9) -> np.ndarray:
    """Opaque pixels x0..x1, y0..y1 inclusive; their squares span [x0 - 0.5, x1 + 0.5]."""
    m = np.zeros(shape, bool)
    m[y0:y1 + 1, x0:x1 + 1] = True
    return m


MASKS = {
    "blob": lambda: random_alpha(np.random.default_rng(3), 48, 40) > 0,
    "noise": lambda: np.random.default_rng(5).random((40, 36)) < 0.55,
    "checker": lambda: (np.indices((12, 12)).sum(axis=0) % 2) == 0,
    "ring": lambda: np.pad(np.pad(np.zeros((4, 6), bool), 3, constant_values=True), 2),
}


@pytest.mark.parametrize("margin", [0, 3], ids=["no_margin", "margin3"])
@pytest.mark.parametrize("connectivity", [4, 8], ids=["conn4", "conn8"])
@pytest.mark.parametrize("name", sorted(MASKS))
def test_exact_pixel_meshes_are_sound(name, connectivity, margin):
    """Pixel meshes touch their squares' edges and corners everywhere (rings
    sharing corners, islands meeting diagonally): all of it is allowed."""
    mask = MASKS[name]()
    mesh = pixel_mesh(mask, margin, connectivity)
    assert_sound(mesh, mask, tolerance=0.0)
    fig = mesh_figures(mesh, mask)
    assert fig["coverage"] == pytest.approx(1.0, abs=1e-12)
    assert fig["overdraw"] == pytest.approx(0.0, abs=1e-12)
    assert fig["angle_median"] == pytest.approx(45.0)


def test_a_mask_in_the_mask_frame_is_taken_as_it_is():
    mask = MASKS["blob"]()
    mesh = pixel_mesh(mask, 2)
    assert check_coverage(mesh, np.pad(mask, 2)) == []
    shifted = np.pad(mask, ((2, 2), (3, 1)))  # right size, wrong place
    assert check_coverage(mesh, shifted)
    with pytest.raises(ValueError, match="fits neither"):
        check_coverage(mesh, mask[1:])


PADDED = [  # (outline around the rectangle x 4..11, y 4..9, padding it keeps)
    ("edges", box(3.5, 3.5, 11.5, 9.5), 0.0),
    ("half", box(3.0, 3.0, 12.0, 10.0), 0.5),
    ("chamfered", [(3.5, 2.5), (2.5, 3.5), (2.5, 9.5), (3.5, 10.5), (11.5, 10.5), (12.5, 9.5),
                   (12.5, 3.5), (11.5, 2.5)], 1.0 / math.sqrt(2)),
]


@pytest.mark.parametrize("outline,padding", [(o, p) for _, o, p in PADDED], ids=[n for n, _, _ in PADDED])
def test_coverage_holds_up_to_the_padding_kept_and_not_beyond(outline, padding):
    mesh, mask = polygon_mesh([outline]), rect_mask()
    assert check_coverage(mesh, mask, padding) == []
    assert check_coverage(mesh, mask, padding + 1e-6)


BROKEN_COVERAGE = {
    # a corner of pixel (4, 4) cut off by 0.1 px
    "clipped_corner": polygon_mesh([[(3.5, 3.6), (3.5, 9.5), (11.5, 9.5), (11.5, 3.5), (3.6, 3.5)]]),
    # one edge pulled through the pixel centres, as a centre-traced outline runs
    "centre_edge": polygon_mesh([box(3.5, 4.0, 11.5, 9.5)]),
    "shrunk_by_a_hair": polygon_mesh([box(3.5, 3.5, 11.5, 9.5 - 1e-7)]),
    "a_pixel_outside": polygon_mesh([box(4.5, 3.5, 11.5, 9.5)]),
}


@pytest.mark.parametrize("name", sorted(BROKEN_COVERAGE))
def test_coverage_fails_on_clipped_pixels(name):
    problems = check_coverage(BROKEN_COVERAGE[name], rect_mask())
    assert problems and all("opaque pixel" in p for p in problems)


def test_coverage_fails_on_a_dropped_island_and_a_filled_hole_is_fine():
    mask = MASKS["noise"]()
    mesh = pixel_mesh(mask)
    mesh.parts.pop(len(mesh.parts) // 2)
    assert any("outside the mesh" in p for p in check_coverage(mesh, mask))
    ringed = MASKS["ring"]()
    filled = pixel_mesh(np.pad(np.ones((10, 12), bool), 2))  # the ring's hole meshed over
    assert check_coverage(filled, ringed) == []
    assert check_tolerance(filled, ringed, 0.0) == []  # outlines only: a filled hole is overdraw


@pytest.mark.parametrize("offset", [0.25, 1.0, 2.5])
def test_tolerance_is_the_distance_to_the_squares_corners_included(offset):
    """A rectangle grown by d on every side has its corners d*sqrt(2) from the
    opaque squares: it meets tolerance d*sqrt(2) and fails just below."""
    mesh = polygon_mesh([box(3.5 - offset, 3.5 - offset, 11.5 + offset, 9.5 + offset)])
    mask = rect_mask()
    reach = offset * math.sqrt(2)
    assert check_tolerance(mesh, mask, reach + 1e-6) == []
    assert check_tolerance(mesh, mask, reach - 1e-6)
    # Split over tolerance and padding the bound is the same.
    assert check_tolerance(mesh, mask, reach / 2 + 1e-6, reach / 2) == []


def test_tolerance_measures_edges_not_only_vertices():
    """Opaque pixels only at two ends of a long edge: the edge's middle strays."""
    mask = np.zeros((8, 30), bool)
    mask[2:5, 1:3] = mask[2:5, 26:28] = True
    bridge = polygon_mesh([box(0.5, 1.5, 27.5, 4.5)], size=(8, 30))
    assert check_coverage(bridge, mask) == []
    problems = check_tolerance(bridge, mask, 3.0)
    assert problems and "strays" in problems[0]
    assert check_tolerance(bridge, mask, 12.0) == []


def T(a, b, c):
    return (a, b, c)


BROKEN_VALIDITY = {
    "bowtie": (polygon_mesh([[(2, 2), (2, 8), (8, 2), (8, 8)]], [T(0, 1, 2)]), "crosses"),
    "hole_crossing_outer": (polygon_mesh([box(2, 2, 8, 8), hole(6, 3, 10, 5)]), "crosses"),
    "hole_outside": (polygon_mesh([box(2, 2, 8, 8), hole(10, 10, 12, 12)]), "hole ring 1"),
    "hole_in_hole": (polygon_mesh([box(1, 1, 14, 14), hole(3, 3, 12, 12), hole(5, 5, 7, 7)]), "hole ring 2"),
    "spike": (polygon_mesh([[(2, 2), (2, 8), (8, 8), (8, 5), (12, 5), (8, 5), (8, 2)]]), "overlaps"),
    "t_touch": (polygon_mesh([box(2, 2, 8, 8), hole(4, 3, 6, 8)]), "touches the inside"),
    "repeated_point": (polygon_mesh([[(2, 2), (2, 8), (8, 8), (8, 8), (8, 2)]]), "repeats a point"),
    "hole_as_outer": (polygon_mesh([hole(2, 2, 8, 8)], [T(0, 1, 2), T(0, 2, 3)]), "no outer ring"),
    "zero_area_triangle": (polygon_mesh([[(2, 2), (2, 8), (8, 8), (8, 2), (5, 2)]]), "zero area"),
    "duplicate_triangle": (polygon_mesh([box(2, 2, 8, 8)], [T(0, 1, 2), T(0, 2, 3), T(0, 2, 3)]), "cover"),
    "triangles_leave_a_gap": (polygon_mesh([box(2, 2, 8, 8)], [T(0, 1, 2)]), "boundary"),
    "t_junction": (polygon_mesh([[(2, 2), (2, 8), (8, 8), (8, 2), (5, 5)]],
                                [T(0, 1, 4), T(1, 2, 4), T(2, 3, 4), T(3, 0, 2)]), "boundary"),
    "out_of_range": (polygon_mesh([box(2, 2, 8, 8)], [T(0, 1, 4)]), "out of range"),
}


def folded_mesh() -> SpriteMesh:
    """A square fanned around a point pushed outside it: the triangle chain's
    boundary is still the ring, only winding and area show the fold."""
    return polygon_mesh([box(2, 2, 8, 8) + [(5, 10)]], [T(0, 1, 4), T(1, 2, 4), T(2, 3, 4), T(3, 0, 4)])


def parts_mesh(*parts: SpriteMesh) -> SpriteMesh:
    return SpriteMesh("mesh", [p for m in parts for p in m.parts], 16, 16, 0)


def crossing_at_a_shared_point() -> SpriteMesh:
    """Two diamonds through the same point (6, 6), one passing across the other."""
    a = polygon_mesh([[(6, 6), (3, 3), (3, 9)]])
    b = polygon_mesh([[(6, 6), (2, 8), (10, 8)]])
    return parts_mesh(a, b)


BROKEN_VALIDITY.update({
    "fold_over": (folded_mesh(), "wound one way"),
    "overlapping_parts": (parts_mesh(polygon_mesh([box(2, 2, 8, 8)]), polygon_mesh([box(3, 3, 6, 6)])),
                          "inside the filled region of another part"),
    "crossing_parts": (parts_mesh(polygon_mesh([box(2, 2, 8, 8)]), polygon_mesh([box(5, 5, 10, 10)])), "crosses"),
    "crossing_at_a_vertex": (crossing_at_a_shared_point(), "cross at the shared point"),
})


@pytest.mark.parametrize("name", sorted(BROKEN_VALIDITY))
def test_validity_fails_on_broken_meshes(name):
    mesh, words = BROKEN_VALIDITY[name]
    problems = check_validity(mesh)
    assert any(words in p for p in problems), problems


SOUND_VALIDITY = {
    "square": polygon_mesh([box(2, 2, 8, 8)]),
    "corner_to_corner": parts_mesh(polygon_mesh([box(2, 2, 5, 5)]), polygon_mesh([box(5, 5, 9, 9)])),
    "island_in_a_hole": parts_mesh(pixel_mesh(MASKS["ring"]()), polygon_mesh([box(7, 7, 9, 8)])),
    "touching_at_a_shared_point": parts_mesh(polygon_mesh([[(6, 6), (3, 3), (3, 9)]]),
                                             polygon_mesh([[(6, 6), (9, 3), (9, 9)][::-1]])),
    "clockwise_triangles": polygon_mesh([box(2, 2, 8, 8)], [T(0, 2, 1), T(0, 3, 2)]),
}


@pytest.mark.parametrize("name", sorted(SOUND_VALIDITY))
def test_validity_passes_sound_meshes(name):
    assert check_validity(SOUND_VALIDITY[name]) == []


def test_orientation_is_exact_where_float64_is_not():
    """Points a hair off a line: the plain float64 cross product gets some
    signs wrong; the checkers' orientation matches exact rational arithmetic."""
    from mesh_checks import _orient

    rng = np.random.default_rng(11)
    a = rng.uniform(0, 1, (4000, 2))
    b = a + rng.uniform(1e3, 1e4, (4000, 2))
    c = a + (b - a) * rng.uniform(-2, 3, (4000, 1)) + rng.integers(-2, 3, (4000, 2)) * 1e-13
    c[::7] = a[::7] + (b[::7] - a[::7]) * 0.5  # on the line, as far as float64 can say
    exact = np.array([np.sign((Fraction(bx) - Fraction(ax)) * (Fraction(cy) - Fraction(ay))
                              - (Fraction(by) - Fraction(ay)) * (Fraction(cx) - Fraction(ax)))
                      for (ax, ay), (bx, by), (cx, cy) in zip(a.tolist(), b.tolist(), c.tolist())])
    naive = np.sign((b[:, 0] - a[:, 0]) * (c[:, 1] - a[:, 1]) - (b[:, 1] - a[:, 1]) * (c[:, 0] - a[:, 0]))
    assert np.any(naive != exact)  # the case is hard enough to matter
    assert np.array_equal(_orient(a, b, c), exact)


AREAS = [  # (outline, opaque pixels as (x, y), coverage, overdraw), exact by hand
    ("quarter_of_a_pixel", box(0, 0, 1, 1), [(0, 0)], 0.25, 0.75),
    ("half_by_a_diagonal", [(-0.5, -0.5), (-0.5, 0.5), (0.5, -0.5)], [(0, 0)], 0.5, 0.0),
    ("two_pixels_one_taken", box(-0.5, -0.5, 0.5, 0.5), [(0, 0), (3, 0)], 0.5, 0.0),
    ("slanted_strip", [(-0.5, -0.5), (-0.5, 0.5), (2.5, 0.5), (1.5, -0.5)], [(0, 0), (1, 0), (2, 0)],
     2.5 / 3, 0.0),
    ("overhanging", box(-1.5, -0.5, 1.5, 1.5), [(0, 0), (1, 1)], 1.0, 2.0),
    ("off_the_image", box(-5, -0.5, 40, 0.5), [(1, 0), (3, 0), (4, 0)], 1.0, 14.0),
]


@pytest.mark.parametrize("outline,pixels,coverage,overdraw", [a[1:] for a in AREAS], ids=[a[0] for a in AREAS])
def test_figures_integrate_the_exact_area(outline, pixels, coverage, overdraw):
    mask = np.zeros((4, 6), bool)
    for x, y in pixels:
        mask[y, x] = True
    fig = mesh_figures(polygon_mesh([outline], size=(4, 6)), mask)
    assert fig["coverage"] == pytest.approx(coverage, abs=1e-12)
    assert fig["overdraw"] == pytest.approx(overdraw, abs=1e-12)


def test_figures_agree_with_a_fine_rasterisation_on_the_core_mesh(write_png):
    """The core's earcut mesh of a random blob, integrated exactly, against its
    coverage measured on a 16x finer raster."""
    alpha = random_alpha(np.random.default_rng(7), 60, 50)
    mesh = vellumcut.earcut(write_png(alpha), eps=2.0, margin=2)
    mask = opaque_mask(alpha)
    fig = mesh_figures(mesh, mask)
    k = 16
    fine = np.zeros((mesh.mask_height * k, mesh.mask_width * k), np.uint8)
    for tri in mesh.all_triangles():
        cv2.fillPoly(fine, [np.round((tri + 0.5) * k * 16 - 8).astype(np.int32)], 1, shift=4)
    opaque_fine = np.kron(np.pad(mask, 2), np.ones((k, k), bool))
    inside = (fine.astype(bool) & opaque_fine).sum() / k ** 2
    assert fig["coverage"] * mask.sum() == pytest.approx(inside, rel=5e-3)
    assert 0.9 < fig["coverage"] < 1.0 and fig["overdraw"] > 0


def test_the_cores_meshes_clip_pixels_but_keep_their_tolerance(write_png):
    """Outlines through pixel centres lose half of every boundary pixel; they
    stay within eps of the pixels, and earcut of rings that do not cross is valid."""
    alpha = np.zeros((40, 48), np.uint8)
    cv2.ellipse(alpha, (24, 20), (18, 12), 15, 0, 360, 255, cv2.FILLED)
    cv2.circle(alpha, (22, 20), 4, 0, cv2.FILLED)
    path = write_png(alpha)
    mask = opaque_mask(path)
    for mesh in (vellumcut.earcut(path, eps=1.0, margin=3), vellumcut.poisson(path, margin=3, rpx=4)):
        assert check_coverage(mesh, mask), mesh.mode
        assert check_tolerance(mesh, mask, 1.0) == [], mesh.mode
        assert check_validity(mesh) == [], mesh.mode


def sliver_mesh() -> SpriteMesh:
    """A square fanned around a point a hair inside one side: one needle,
    two triangles of 26.6 degrees, one of 53."""
    mesh = polygon_mesh([[(2, 2), (2, 8), (8, 8), (8, 2), (5, 2.001)]],
                        [T(0, 4, 1), T(1, 4, 2), T(2, 4, 3), T(3, 4, 0)])
    mesh.parts[0].rings = [np.arange(4)]  # the fan's centre is inside, not on the ring
    return mesh


def test_angle_check_fails_slivers_and_passes_pixel_meshes():
    problems = check_angles(sliver_mesh(), min_angle=25.0, max_below=0.05, min_median=30.0)
    assert len(problems) == 2 and "below 25" in problems[0] and "median" in problems[1]
    assert check_validity(sliver_mesh()) == []  # thin is not degenerate
    assert check_angles(pixel_mesh(MASKS["blob"]())) == []


@pytest.mark.parametrize("dtype,threshold,expected", [(np.uint8, 0, 3), (np.uint8, 100, 2), (np.uint16, 100, 2),
                                                     (np.uint16, 254, 1)], ids=["u8", "u8_100", "u16_100", "u16_254"])
def test_opaque_mask_thresholds_on_the_8_bit_scale(dtype, threshold, expected):
    scale = 257 if dtype == np.uint16 else 1
    alpha = np.array([[0, 50, 101, 255]], np.int64) * scale
    alpha[0, 2] = 100 * scale + (1 if dtype == np.uint16 else 1)  # just above 100 on either scale
    rgba = np.zeros((1, 4, 4), dtype)
    rgba[..., 3] = alpha
    assert int(opaque_mask(rgba, threshold).sum()) == expected
    assert opaque_mask(np.zeros((2, 3, 3), dtype)).all()  # no alpha: all opaque


def _mutated(mesh: SpriteMesh, how: str, rng: np.random.Generator) -> SpriteMesh:
    import copy

    out = copy.deepcopy(mesh)
    part = out.parts[int(rng.integers(len(out.parts)))]
    ring = part.rings[int(rng.integers(len(part.rings)))]
    k = int(rng.integers(len(ring)))
    if how == "vertex_into_a_square":
        # Every ring vertex of a pixel mesh is a square's corner; pushed 0.1 px
        # towards an opaque square's centre, the outline cuts into that square.
        v = part.vertices[ring[k]]
        tri = part.triangles[np.any(part.triangles == ring[k], axis=1)][0]
        centre = np.round(part.vertices[tri].mean(axis=0))  # of the square this triangle halves
        part.vertices[ring[k]] = v + 0.1 * (centre - v)
    elif how == "ring_points_swapped":
        j = (k + 1) % len(ring)
        ring[k], ring[j] = ring[j], ring[k]
    elif how == "triangle_dropped":
        part.triangles = np.delete(part.triangles, int(rng.integers(len(part.triangles))), axis=0)
    return out


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("how,checker", [("vertex_into_a_square", "coverage"), ("ring_points_swapped", "validity"),
                                         ("triangle_dropped", "validity"), ("triangle_dropped", "coverage")])
def test_any_single_fault_in_a_sound_mesh_is_caught(how, checker, seed):
    rng = np.random.default_rng(seed)
    mask = random_alpha(rng) > 0
    if not mask.any():
        mask[0, 0] = True
    mesh = pixel_mesh(mask, margin=int(rng.integers(0, 3)))
    broken = _mutated(mesh, how, rng)
    problems = check_coverage(broken, mask) if checker == "coverage" else check_validity(broken)
    assert problems
