"""The mesher benchmark's own parts: the timed call in a fresh process, the
bisection that says how far an outline strays, and the per-configuration
tally the real-sprite table is made of."""
from __future__ import annotations

import json
import math
import os
import subprocess
import sys

import numpy as np
import pytest

import vellumcut
from test_mesh_checks import box, pixel_mesh, polygon_mesh, rect_mask

BENCH = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench")
sys.path.insert(0, BENCH)

import bench_mesher  # noqa: E402


@pytest.mark.parametrize("offset,padding", [(0.9, 0.0), (1.5, 0.0), (2.0, 0.5)], ids=["0.9", "1.5", "2_pad0.5"])
def test_outline_reach_finds_the_farthest_point(offset, padding):
    """A rectangle grown by d strays d*sqrt(2) at its corners."""
    mesh = polygon_mesh([box(3.5 - offset, 3.5 - offset, 11.5 + offset, 9.5 + offset)])
    reach = bench_mesher.outline_reach(mesh, rect_mask(), padding)
    assert offset * math.sqrt(2) <= reach <= offset * math.sqrt(2) + 2e-3


def test_tally_counts_what_holds_and_summarises_the_figures():
    mask = rect_mask()
    tally = bench_mesher.Tally("t", checked=True)
    tally.add(pixel_mesh(mask), mask, 0.5, core_vertices=10)  # sound
    clipped = polygon_mesh([box(3.5, 4.0, 11.5, 9.5)])  # cuts the top row in half
    clipped.source = "clipped"
    tally.add(clipped, mask, 0.25, core_vertices=2)
    tally.error("broken.png", RuntimeError("cannot read"))
    s = tally.summary()
    assert (s["sprites"], s["errors"]) == (3, 1)
    assert s["held"] == {"coverage": 1, "tolerance": 2, "validity": 2}
    assert s["coverage_min"] == pytest.approx(1 - 4 / 48)  # half of the 8-pixel top row lost
    assert s["vertex_ratio_median"] == pytest.approx((pixel_mesh(mask).vertex_count / 10 + 2.0) / 2)
    assert s["seconds"] == pytest.approx(0.75)
    assert any("clipped" in f for f in s["failures"]) and any("broken.png" in f for f in s["failures"])


@pytest.mark.parametrize("impl,fn,extra", [("mesher", "none", []), ("mesher", "quality", ["tolerance=2"]),
                                           ("vellumcut", "triangulate_png", ["eps=1"])],
                         ids=["mesher_none", "mesher_quality_tol2", "core_eps1"])
def test_measure_times_the_call_it_names(write_png, impl, fn, extra):
    alpha = np.zeros((40, 50), np.uint8)
    alpha[5:30, 8:44] = 255
    alpha[12:20, 15:25] = 0
    path = write_png(alpha)
    proc = subprocess.run([sys.executable, os.path.join(BENCH, "measure.py"), impl, fn, path, "6", "same"] + extra,
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout.strip().splitlines()[-1])
    assert out["seconds"] > 0 and out["maxrss_kib"] > 0
    if impl == "mesher":
        kwargs = {"interior": fn, "margin": 4, "tolerance": float(extra[0].split("=")[1]) if extra else 1.0}
        if fn != "none":
            kwargs.update(spacing=6.0, seed=1)
        assert out["count"] == vellumcut.mesh_sprite(path, **kwargs).triangle_count
    else:
        import vellumcut_core

        groups = vellumcut_core.triangulate_png(path, 1.0, 4, 0.0)["groups"]
        assert out["count"] == sum(len(g["idx"]) // 3 for g in groups)
