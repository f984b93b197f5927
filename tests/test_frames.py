"""The coordinate frames as documented (docs/formats.md, "Coordinate frames"):
one mask frame for every mode, integer coordinates on pixel centres; the
core's outlines through pixel centres, the sprite mesher's along pixel edges.
Checked on what the meshers return, against the frame each mode declares."""
from __future__ import annotations

import numpy as np
import pytest

import vellumcut
from vellumcut import modes

MARGIN = 3


def l_shape() -> np.ndarray:
    """An L of 10 x 12 pixels at column 4, row 2 of a 20 x 18 image: no
    diagonal touch, so no outline leaves the pixel grid."""
    alpha = np.zeros((18, 20), np.uint8)
    alpha[2:14, 4:8] = 255
    alpha[10:14, 8:14] = 255
    return alpha


def run(mode: str, path: str) -> vellumcut.SpriteMesh:
    if mode in ("outline", "earcut"):
        return vellumcut.run(mode, path, eps=0.0, margin=MARGIN)
    if mode == "poisson":
        return vellumcut.poisson(path, margin=MARGIN, rpx=4)
    if mode == "rig":
        return vellumcut.rig_sprite(path, tolerance=0.0, margin=MARGIN, seed=1).mesh
    return vellumcut.mesh_sprite(path, tolerance=0.0, margin=MARGIN)


def ring_points(mesh: vellumcut.SpriteMesh) -> np.ndarray:
    """Every outline and hole vertex, in the mask frame."""
    return np.concatenate([p.vertices[r] for p in mesh.parts for r in p.rings])


@pytest.mark.parametrize("mode", ["outline", "earcut", "poisson", "mesh", "rig"])
def test_outlines_run_where_the_mode_says(write_png, mode):
    mesh = run(mode, write_png(l_shape()))
    points = ring_points(mesh)
    whole = np.isclose(points, np.round(points))
    half = np.isclose(points - np.floor(points), 0.5)
    opaque_cols, opaque_rows = (4 + MARGIN, 13 + MARGIN), (2 + MARGIN, 13 + MARGIN)
    x, y = points[:, 0], points[:, 1]
    if modes.get(mode).frame == modes.PIXEL_CENTRES:
        # Through the centres of the boundary pixels: on the opaque pixels' own
        # integer coordinates, never outside them.
        assert whole.all()
        assert x.min() == opaque_cols[0] and x.max() == opaque_cols[1]
        assert y.min() == opaque_rows[0] and y.max() == opaque_rows[1]
    else:
        assert modes.get(mode).frame == modes.PIXEL_EDGES
        # Along pixel edges: each point on a vertical or horizontal pixel
        # edge (Triangle may add points along an edge), corners on both;
        # the outline encloses the opaque pixels by half a pixel.
        assert (half[:, 0] | half[:, 1]).all() and not (whole[:, 0] & whole[:, 1]).any()
        assert x.min() == opaque_cols[0] - 0.5 and x.max() == opaque_cols[1] + 0.5
        assert y.min() == opaque_rows[0] - 0.5 and y.max() == opaque_rows[1] + 0.5


@pytest.mark.parametrize("mode, corner_uv", [
    ("earcut", ((4 + 0.5) / 20, (2 + 0.5) / 18)),  # the middle of texel (4, 2)
    ("mesh", (4 / 20, 2 / 18)),                    # the corner of texel (4, 2)
], ids=["centres-to-texel-middles", "edges-to-texel-edges"])
def test_one_uv_rule_maps_both_frames_onto_the_texture(write_png, mode, corner_uv):
    mesh = run(mode, write_png(l_shape()))
    uvs = np.concatenate([mesh.uvs(p.vertices) for p in mesh.parts])
    assert uvs.min(axis=0) == pytest.approx(corner_uv)
