"""tri_mesh_debug on rings that cross, overlap or touch one another: the
segments are split where they meet before Triangle sees them."""
from __future__ import annotations

import math
import pathlib
import subprocess
import sys
import textwrap

import cv2
import numpy as np
import pytest

import vellumcut_core as vc
from geometry import signed_area32

REGRESSIONS = pathlib.Path(__file__).parent / "fuzz_regressions" / "mesh"


def f32(points) -> np.ndarray:
    return np.asarray(points, dtype=np.float32).reshape(-1, 2).astype(np.float64)


def unique_in_order(points) -> np.ndarray:
    seen, out = set(), []
    for x, y in f32(points).tolist():
        key = (x + 0.0, y + 0.0)
        if key not in seen:
            seen.add(key)
            out.append(key)
    return np.array(out, dtype=np.float64).reshape(-1, 2)


def coverage(r, samples: np.ndarray) -> np.ndarray:
    """How many kept triangles hold each sample strictly inside (y up, counter-clockwise)."""
    t = r["v"][r["idx"].reshape(-1, 3)]
    count = np.zeros(len(samples), dtype=int)
    for k in range(0, len(t), 256):
        a, b, c = (t[k:k + 256, i][None] for i in range(3))
        s = samples[:, None, :]

        def side(p, q):
            return (q[..., 0] - p[..., 0]) * (s[..., 1] - p[..., 1]) - (q[..., 1] - p[..., 1]) * (s[..., 0] - p[..., 0])

        count += ((side(a, b) > 0) & (side(b, c) > 0) & (side(c, a) > 0)).sum(axis=1)
    return count


def check_region(outer, holes, extra, samples=3000, seed=0):
    """Meshes the input and checks that the kept triangles tile exactly the
    region the centroid rule selects: inside or on the outer ring and outside
    every usable hole, each ring taken by the even-odd rule (what OpenCV's
    point test does for a ring that crosses itself)."""
    usable = [h for h in holes if len(h) >= 3 and abs(signed_area32(h)) > 0.001]
    r = vc.tri_mesh_debug(outer, holes, extra)
    v, idx = r["v"], r["idx"]
    assert v.dtype == np.float64 and v.shape[1] == 2 and idx.dtype == np.int32 and idx.size % 3 == 0
    assert idx.size == 0 or (idx.min() >= 0 and idx.max() < len(v))

    inputs = unique_in_order(list(outer) + [p for h in usable for p in h] + list(extra))
    n_in = len(inputs)
    np.testing.assert_array_equal(v[:n_in], inputs)  # input points first, in order
    added = v[n_in:]
    np.testing.assert_array_equal(added, added.astype(np.float32))  # crossings on float32 values
    assert len({(x + 0.0, y + 0.0) for x, y in v.tolist()}) == len(v)  # no point twice

    rings = [np.asarray(f32(outer), dtype=np.float32)] + [np.asarray(f32(h), dtype=np.float32) for h in usable]
    lo, hi = rings[0].min(axis=0), rings[0].max(axis=0)
    rng = np.random.default_rng(seed)
    pts = rng.uniform(lo, hi, (samples, 2)).astype(np.float32)
    # Points within rounding distance of a ring decide nothing.
    near = 1e-5 * float(np.max(hi - lo))
    keep, expected = [], []
    for p in pts.tolist():
        tests = [cv2.pointPolygonTest(ring, p, True) for ring in rings]
        if min(abs(d) for d in tests) < near:
            continue
        keep.append(p)
        expected.append(int(tests[0] > 0 and all(d < 0 for d in tests[1:])))
    keep_arr = np.array(keep, dtype=np.float64)
    got = coverage(r, keep_arr)
    assert (got <= 1).all(), "kept triangles overlap"
    wrong = np.flatnonzero(got != np.array(expected))
    assert wrong.size == 0, f"{wrong.size} of {len(keep)} samples misplaced, e.g. {keep_arr[wrong[:3]].tolist()}"
    assert sum(expected) > 0 or idx.size == 0
    return r, n_in


def pentagram(cx, cy, rad):
    return [(cx + rad * math.sin(4 * math.pi * k / 5), cy + rad * math.cos(4 * math.pi * k / 5)) for k in range(5)]


def tangle(seed, n_rings, scale, grid=None):
    """Random closed rings through one box: many crossings, collinear and
    touching runs when snapped to a coarse grid (like the fuzzer's inputs)."""
    rng = np.random.default_rng(seed)
    rings = []
    for _ in range(n_rings):
        p = rng.uniform(-scale, scale, (int(rng.integers(4, 16)), 2))
        if grid:
            p = np.round(p / grid) * grid
        rings.append([tuple(map(float, q)) for q in p.astype(np.float32)])
    return rings


CASES = {
    "bowtie_outer": ([(0, 0), (10, 6), (10, 0), (0, 10)], [], []),
    "pentagram_outer": (pentagram(0, 0, 10), [], [(0, 0), (9, 9)]),
    "two_holes_cross": ([(0, 0), (10, 0), (10, 10), (0, 10)],
                        [[(2, 2), (6, 2), (6, 6), (2, 6)], [(4, 4), (8, 4), (8, 8), (4, 8)]], []),
    "hole_crosses_outer": ([(0, 0), (10, 0), (10, 10), (0, 10)], [[(8, 4), (12, 4), (12, 6), (8, 6)]], []),
    "hole_overlaps_outer_edge": ([(0, 0), (10, 0), (10, 10), (0, 10)], [[(2, 0), (6, 0), (6, 3), (2, 3)]], []),
    "extra_point_on_edge": ([(0, 0), (10, 0), (10, 10), (0, 10)], [[(2, 2), (8, 2), (5, 7)]], [(5, 0), (5, 2)]),
    "self_overlapping_outer": ([(0, 0), (8, 0), (8, 4), (2, 4), (2, 0), (6, 0), (6, 8), (0, 8)], [], []),
    "near_parallel_crossings": ([(0, 0), (100, 0.001), (100, 5), (0, 5)],
                                [[(1, 0.0004), (99, 0.0006), (50, 3)], [(1, 0.0006), (99, 0.0004), (50, 4)]], []),
}


@pytest.mark.parametrize("name", CASES)
def test_crossing_rings_tile_the_even_odd_region(name):
    outer, holes, extra = CASES[name]
    check_region(outer, holes, extra)


@pytest.mark.parametrize(
    "seed, n_rings, scale, grid",
    [(s, 1 + s % 4, 10.0 ** (s % 3), None) for s in range(8)]
    + [(s, 5, 0.128, 0.001) for s in range(8, 14)]   # the fuzzer's ordinary-scale grid
    + [(s, 4, 128.0, 1.0) for s in range(14, 18)],
)
def test_random_tangles_tile_the_even_odd_region(seed, n_rings, scale, grid):
    rings = tangle(seed, n_rings, scale, grid)
    if abs(signed_area32(rings[0])) <= 0.001:
        pytest.skip("outer ring degenerate")
    check_region(rings[0], rings[1:], tangle(seed + 100, 1, scale, grid)[0], seed=seed)


def test_crossing_resolution_is_deterministic():
    rings = tangle(3, 5, 0.128, 0.001)
    a = vc.tri_mesh_debug(rings[0], rings[1:], [])
    b = vc.tri_mesh_debug(rings[0], rings[1:], [])
    np.testing.assert_array_equal(a["v"], b["v"])
    np.testing.assert_array_equal(a["idx"], b["idx"])


def test_every_fuzz_finding_ends_in_a_result_or_an_exception():
    """Replays the inputs Triangle once crashed or looped on, in a child
    interpreter that would die or hang in their place."""
    files = sorted(p for p in REGRESSIONS.iterdir() if not p.name.startswith("."))
    assert files
    script = textwrap.dedent(
        """
        import sys
        sys.path.insert(0, sys.argv[1])
        import vellumcut_core as vc
        from mesh_fuzz_input import decode_mesh_input
        for path in sys.argv[2:]:
            print("start", path, flush=True)
            outer, holes, extra = decode_mesh_input(open(path, "rb").read())
            try:
                r = vc.tri_mesh_debug(outer, holes, extra)
                assert r["idx"].size == 0 or r["idx"].max() < len(r["v"])
                print("result", path, flush=True)
            except (RuntimeError, ValueError) as e:
                print("raised", path, type(e).__name__, e, flush=True)
        """
    )
    proc = subprocess.run([sys.executable, "-c", script, str(pathlib.Path(__file__).parent), *map(str, files)],
                          capture_output=True, text=True, timeout=240)
    lines = proc.stdout.splitlines()
    assert proc.returncode == 0, f"died (status {proc.returncode}) after: {lines[-1:]}\n{proc.stderr[-2000:]}"
    ended = [line.split()[1] for line in lines if line.startswith(("result", "raised"))]
    assert ended == [str(f) for f in files]
    raised = [line for line in lines if line.startswith("raised")]
    # What still raises is Triangle stopped or failing on inputs whose
    # crossings did not settle; most findings now mesh.
    assert len(raised) <= len(files) // 4, raised
    for line in raised:
        assert "Triangle" in line, line
