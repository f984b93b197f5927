"""Property tests (hypothesis) of the sprite mesher's rings and of the rig's
weights, on small random masks and blobby shapes.

Examples are derandomized, so every run (and CI) tries the same ones.
"""
from __future__ import annotations

import cv2
import numpy as np
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st
from hypothesis.extra.numpy import arrays

import vellumcut
from vellumcut.meshes import boundary_rings, ring_area, triangle_areas

SETTINGS = settings(max_examples=50, deadline=None, derandomize=True, database=None,
                    suppress_health_check=[HealthCheck.too_slow])

# Every pixel drawn on its own (no fill value), so masks are as varied as noise.
masks = arrays(np.bool_, st.tuples(st.integers(1, 9), st.integers(1, 9)), elements=st.booleans(), fill=st.nothing())
options = st.fixed_dictionaries({
    "tolerance": st.sampled_from([0.5, 1.0, 2.5]),
    "padding": st.sampled_from([0.0, 1.5]),
    "interior": st.sampled_from(["none", "poisson", "quality"]),
    "min_hole_area": st.sampled_from([1, 16]),
    # A budget under 3 per island grows to that (strict_budget=False).
    "max_vertices": st.sampled_from([None, 6, 20]),
    "strict_budget": st.just(False),
})


def _alpha(mask: np.ndarray) -> np.ndarray:
    return mask.astype(np.uint8) * 255


def _cross(o: np.ndarray, a: np.ndarray, b: np.ndarray) -> float:
    return float((a[0] - o[0]) * (b[1] - o[1]) - (a[1] - o[1]) * (b[0] - o[0]))


def _segments_meet(p, q, r, s) -> bool:
    """Closed segments pq and rs share a point (exact: coordinates are on a
    1/64 px grid, so these products are exact in doubles)."""
    d1, d2 = _cross(r, s, p), _cross(r, s, q)
    d3, d4 = _cross(p, q, r), _cross(p, q, s)
    if ((d1 > 0 > d2) or (d1 < 0 < d2)) and ((d3 > 0 > d4) or (d3 < 0 < d4)):
        return True

    def on(a, b, c):  # c on the closed segment ab, given collinear
        return min(a[0], b[0]) <= c[0] <= max(a[0], b[0]) and min(a[1], b[1]) <= c[1] <= max(a[1], b[1])

    return ((d1 == 0 and on(r, s, p)) or (d2 == 0 and on(r, s, q)) or (d3 == 0 and on(p, q, r))
            or (d4 == 0 and on(p, q, s)))


def _ring_edges(mesh):
    """(part, ring, position, a, b) of every ring edge in the sprite."""
    for k, part in enumerate(mesh.parts):
        for j, ring in enumerate(part.rings):
            pts = part.vertices[ring]
            for i in range(len(ring)):
                yield k, j, i, len(ring), pts[i], pts[(i + 1) % len(ring)]


#: Samples sit at (X / 4 - 0.5 + OFFSET[0], Y / 4 - 0.5 + OFFSET[1]): off the
#: 1/64 px grid of the outline vertices, with unrelated offsets in x and y.
OFFSET = np.array([0.0123456789, 0.0314159265])


def _containing(mesh, per_pixel: int = 4) -> tuple[np.ndarray, np.ndarray]:
    """For per_pixel x per_pixel samples in every mask pixel: how many
    triangles hold each strictly inside, and how many hold it inside or on
    an edge; exact orientation tests, independent of the rasteriser."""
    h, w = mesh.mask_height * per_pixel, mesh.mask_width * per_pixel
    ys, xs = np.mgrid[0:h, 0:w]
    pts = np.stack([xs.ravel() / per_pixel - 0.5, ys.ravel() / per_pixel - 0.5], axis=1) + OFFSET
    strict = np.zeros(len(pts), np.int32)
    closed = np.zeros(len(pts), np.int32)
    corners = mesh.all_triangles()
    corners = corners[np.abs(triangle_areas(corners)) > 0]
    for tri in corners:
        lo, hi = tri.min(axis=0), tri.max(axis=0)
        near = np.flatnonzero(((pts >= lo) & (pts <= hi)).all(axis=1))
        q = pts[near]
        s = np.stack([(tri[(i + 1) % 3, 0] - tri[i, 0]) * (q[:, 1] - tri[i, 1])
                      - (tri[(i + 1) % 3, 1] - tri[i, 1]) * (q[:, 0] - tri[i, 0]) for i in range(3)], axis=1)
        strict[near] += ((s > 0).all(axis=1) | (s < 0).all(axis=1))
        closed[near] += ((s >= 0).all(axis=1) | (s <= 0).all(axis=1))
    return strict.reshape(h, w), closed.reshape(h, w)


@SETTINGS
@given(mask=masks, opts=options)
def test_rings_are_simple_oriented_and_disjoint(mask, opts):
    mesh = vellumcut.mesh_sprite(_alpha(mask), seed=1, **opts)
    for part in mesh.parts:
        areas = [ring_area(part.vertices[r]) for r in part.rings]
        # Outer ring first, counter-clockwise on screen (negative area, y
        # down); holes clockwise (positive); one outer ring per part.
        assert areas and areas[0] < 0 and all(a > 0 for a in areas[1:]), areas
        for ring in part.rings:
            assert len(ring) >= 3 and len(set(ring.tolist())) == len(ring)
    edges = list(_ring_edges(mesh))
    for i, (k1, j1, p1, n1, a1, b1) in enumerate(edges):
        for k2, j2, p2, n2, a2, b2 in edges[i + 1:]:
            neighbours = (k1, j1) == (k2, j2) and (p2 - p1) % n1 in (1, n1 - 1)
            if neighbours:
                continue  # consecutive edges share their corner, and only it
            assert not _segments_meet(a1, b1, a2, b2), ((k1, j1, p1), (k2, j2, p2))


@SETTINGS
@given(mask=masks, opts=options)
def test_every_opaque_pixel_is_covered_once(mask, opts):
    mesh = vellumcut.mesh_sprite(_alpha(mask), seed=1, **opts)
    strict, closed = _containing(mesh)
    # No sample is inside two triangles: no overlap within or between parts.
    assert strict.max(initial=0) <= 1
    # Every sample of every opaque pixel is inside the mesh.
    per = 4
    opaque = np.kron(np.pad(mask, mesh.border), np.ones((per, per), bool))
    assert closed[opaque].min(initial=1) >= 1, "an opaque pixel is left uncovered"


@SETTINGS
@given(mask=masks, opts=options)
def test_rings_rebuilt_from_the_triangles_are_the_meshers_own(mask, opts):
    mesh = vellumcut.mesh_sprite(_alpha(mask), seed=1, **opts)
    for part in mesh.parts:
        rebuilt = boundary_rings(part.vertices, part.triangles)

        def key(rings):
            return sorted((round(ring_area(part.vertices[r]), 6), frozenset(r.tolist())) for r in rings)

        assert key(rebuilt) == key(part.rings)
        assert np.abs(triangle_areas(part.vertices[part.triangles])).sum() == pytest.approx(
            sum(-ring_area(part.vertices[r]) for r in part.rings))


#: An earcut mesh whose boundary touches itself at one vertex: its rings
#: used to come back as one figure of eight.
PINCHED = np.array([[0, 1, 0, 0], [1, 0, 0, 1], [0, 1, 1, 1], [0, 1, 1, 0]], bool)


@SETTINGS
@example(mask=PINCHED, mode="earcut")
@given(mask=masks, mode=st.sampled_from(["earcut", "poisson"]))
def test_rings_of_the_cores_meshes_are_simple_and_bound_the_triangles(mask, mode):
    import tempfile

    with tempfile.TemporaryDirectory() as tmp:
        path = f"{tmp}/sprite.png"
        rgba = np.zeros(mask.shape + (4,), np.uint8)
        rgba[..., 3] = _alpha(mask)
        cv2.imwrite(path, rgba)
        try:
            mesh = vellumcut.run(mode, path, eps=1.0, margin=1)
        except RuntimeError as exc:  # no opaque pixel, or no island with area
            assert vellumcut.messages.core_kind(exc) in ("no_opaque", "degenerate"), exc
            return
    for part in mesh.parts:
        for ring in part.rings:
            assert len(set(ring.tolist())) == len(ring) >= 3, ring
        solid = np.abs(triangle_areas(part.vertices[part.triangles])) > 1e-12
        assert np.abs(triangle_areas(part.vertices[part.triangles][solid])).sum() == pytest.approx(
            sum(-ring_area(part.vertices[r]) for r in part.rings))


@st.composite
def blobs(draw) -> np.ndarray:
    """A 40 x 40 alpha mask of 1 to 4 overlapping ellipses."""
    alpha = np.zeros((40, 40), np.uint8)
    for _ in range(draw(st.integers(1, 4))):
        centre = (draw(st.integers(8, 31)), draw(st.integers(8, 31)))
        axes = (draw(st.integers(4, 12)), draw(st.integers(3, 8)))
        angle = draw(st.integers(0, 179))
        cv2.ellipse(alpha, centre, axes, angle, 0, 360, 255, -1)
    return alpha


@settings(max_examples=25, deadline=None, derandomize=True, database=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(alpha=blobs(), max_influences=st.integers(1, 4), max_bones=st.integers(1, 8))
def test_rig_weights_are_convex_and_sparse(alpha, max_influences, max_bones):
    rigged = vellumcut.rig_sprite(alpha, max_bones=max_bones, max_influences=max_influences, seed=1)
    assert 1 <= len(rigged.bones) <= max_bones
    assert len(rigged.weights) == len(rigged.mesh.parts)
    for part, w in zip(rigged.mesh.parts, rigged.weights):
        assert w.shape == (len(part.vertices), len(rigged.bones))
        assert np.isfinite(w).all() and (w >= 0).all()
        np.testing.assert_allclose(w.sum(axis=1), 1.0, atol=1e-9)
        assert (np.count_nonzero(w, axis=1) <= max_influences).all()
