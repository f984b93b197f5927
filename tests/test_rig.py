"""`vellumcut.rig_sprite`: the suggested skeleton on generated figures, user
skeletons, and the guarantees of the weights (non-negative, summing to 1,
few influences, smooth, local) checked by posing bones under linear blend
skinning."""
from __future__ import annotations

import json
import math
import re

import numpy as np
import pytest

import rig_shapes as shapes
import vellumcut
from vellumcut import rig
from vellumcut.meshes import triangle_areas

# An explicit triangle size so the tests do not hang on the default spacing.
MESH = {"spacing": 30.0}


def leaves(r: vellumcut.RiggedSprite) -> list[vellumcut.Bone]:
    parents = {b.parent for b in r.bones}
    return [b for i, b in enumerate(r.bones) if i not in parents]


def image_xy(r: vellumcut.RiggedSprite, points) -> np.ndarray:
    return np.asarray(points, np.float64) - r.mesh.border + 0.5


@pytest.fixture(scope="module")
def stick():
    alpha, tips = shapes.stick_figure()
    return alpha, tips, vellumcut.rig_sprite(shapes.rgba(alpha), **MESH)


def test_stick_figure_gets_a_leaf_bone_at_each_extremity(stick):
    alpha, tips, r = stick
    ends = image_xy(r, [b.tail for b in leaves(r)])
    assert len(ends) == 5, [b.name for b in r.bones]
    for tip in tips:
        # Within about the limb's half width of the extremity.
        assert np.hypot(*(ends - tip).T).min() < 8.0, (tip, ends.round(1).tolist())


@pytest.mark.parametrize("ch, tips", [("T", 3), ("Y", 3), ("X", 4), ("L", 2)], ids=list("TYXL"))
def test_letters_get_one_tip_per_stroke_end(ch, tips):
    r = vellumcut.rig_sprite(shapes.rgba(shapes.letter(ch)), **MESH)
    assert len(leaves(r)) == tips, [(b.name, b.head, b.tail) for b in r.bones]


FIGURES = {
    "stick": lambda: shapes.stick_figure()[0],
    "T": lambda: shapes.letter("T"),
    "X": lambda: shapes.letter("X"),
    "fork": lambda: shapes.tuning_fork()[0],
    "fork-tilted": lambda: shapes.rotate(shapes.tuning_fork()[0], 30),
    "arm": lambda: shapes.arm_beside_torso()[0],
}


@pytest.fixture(scope="module", params=list(FIGURES), ids=list(FIGURES))
def figure(request):
    alpha = FIGURES[request.param]()
    return alpha, vellumcut.rig_sprite(shapes.rgba(alpha), **MESH)


def test_every_auto_bone_lies_inside_the_shape(figure):
    alpha, r = figure
    opaque = alpha > 0
    for b in r.bones:
        pts = image_xy(r, [b.head, b.tail])
        t = np.linspace(0, 1, 50)[:, None]
        along = pts[0] + t * (pts[1] - pts[0])
        col, row = np.floor(along).astype(int).T
        assert opaque[row, col].all(), (b.name, pts.round(1).tolist())


def test_bones_are_a_tree_with_one_root_and_unique_names(figure):
    _, r = figure
    assert [b.parent for b in r.bones].count(None) == 1 and r.bones[0].name == "root"
    assert all(b.parent is None or b.parent < i for i, b in enumerate(r.bones))
    assert len({b.name for b in r.bones}) == len(r.bones)
    assert all(b.length > 0 for b in r.bones)


@pytest.mark.parametrize("k", [1, 2, 4], ids=["1-influence", "2-influences", "4-influences"])
def test_weight_guarantees(figure, k):
    alpha, r0 = figure
    r = r0 if k == 4 else vellumcut.rig_sprite(shapes.rgba(alpha), max_influences=k, **MESH)
    assert len(r.weights) == len(r.mesh.parts)
    for part, w in zip(r.mesh.parts, r.weights):
        assert w.shape == (len(part.vertices), len(r.bones)) and w.dtype == np.float64
        assert (w >= 0).all()
        np.testing.assert_allclose(w.sum(axis=1), 1.0, atol=1e-12)
        assert (np.count_nonzero(w, axis=1) <= k).all()


def test_weights_change_gradually_across_a_joint():
    """Two bones end to end in a bar: the weights blend over the bar's width
    around the joint instead of switching from one bone to the other."""
    alpha = np.zeros((40, 160), np.uint8)
    alpha[10:30, 10:150] = 255
    doc = {"bones": [{"name": "a", "parent": None, "head": [12, 20], "tail": [80, 20]},
                     {"name": "b", "parent": "a", "head": [80, 20], "tail": [148, 20]}]}
    r = vellumcut.rig_sprite(shapes.rgba(alpha), skeleton=doc, spacing=3.0)
    part, w = r.mesh.parts[0], r.weights[0]
    e = np.concatenate([part.triangles[:, [0, 1]], part.triangles[:, [1, 2]], part.triangles[:, [2, 0]]])
    length = np.hypot(*(part.vertices[e[:, 0]] - part.vertices[e[:, 1]]).T)
    slope = np.abs(w[e[:, 0], 1] - w[e[:, 1], 1]) / length
    # Across the bar (20 px) the blend spans several edges: no 1-edge switch.
    assert slope.max() < 0.15 and (slope * length).max() < 0.5, (slope.max(), (slope * length).max())
    x = image_xy(r, part.vertices)[:, 0]
    assert (w[x < 40, 0] == 1).all() and (w[x > 120, 1] == 1).all()
    blend = w[(x > 75) & (x < 85), 1]
    assert ((blend > 0.3) & (blend < 0.7)).sum() >= 3


def _pose(r, bone, degrees):
    mats = rig.bone_matrices(r.bones, {bone: degrees})
    part = r.mesh.parts[0]
    return part, rig.skin(part.vertices, r.weights[0], mats)


@pytest.mark.parametrize("tilt", [0, 30], ids=["upright", "tilted-30"])
def test_tuning_fork_prongs_move_independently(tilt):
    alpha, where = shapes.tuning_fork()
    img = shapes.rotate(alpha, tilt) if tilt else alpha
    r = vellumcut.rig_sprite(shapes.rgba(img), **MESH)
    assert len(r.mesh.parts) == 1
    part = r.mesh.parts[0]

    def upright(points):
        """Image points back into the upright fork's frame."""
        p = image_xy(r, points)
        if not tilt:
            return p
        h, w = alpha.shape
        side = img.shape[0]
        c = math.cos(math.radians(tilt)), math.sin(math.radians(tilt))
        q = p - side / 2
        # cv2 turned the picture counter-clockwise on screen by `tilt`: undo it.
        x = c[0] * q[:, 0] - c[1] * q[:, 1]
        y = c[1] * q[:, 0] + c[0] * q[:, 1]
        return np.column_stack((x + w / 2, y + h / 2))

    xy = upright(part.vertices)
    lo, hi = where["right_prong_x"]
    # The first bone that reaches up into the right prong (it may start in the base).
    right_bones = [i for i, b in enumerate(r.bones)
                   if all(lo - 1 <= x <= hi + 1 for x, _ in upright([b.head, b.tail]))
                   and upright([b.tail])[0, 1] < where["gap_bottom"] - 20]
    assert right_bones, [(b.name, upright([b.head, b.tail]).round().tolist()) for b in r.bones]
    left = (xy[:, 0] < where["left_prong_x"][1]) & (xy[:, 1] < where["gap_bottom"] - 2)
    right = (xy[:, 0] > lo) & (xy[:, 1] < where["gap_bottom"] - 40)
    for sign in (1, -1):
        _, moved = _pose(r, right_bones[0], sign * 30.0)
        shift = np.hypot(*(moved - part.vertices).T)
        assert shift[left].max() < 0.5, shift[left].max()
        assert shift[right].min() > 2.0  # the posed prong did move
        areas0 = triangle_areas(part.vertices[part.triangles])
        areas1 = triangle_areas(moved[part.triangles])
        folded = np.count_nonzero(np.sign(areas0) != np.sign(areas1))
        assert folded <= max(1, 0.02 * len(areas0)), folded


def test_arm_beside_the_torso_takes_no_weight_across_the_gap():
    alpha, where = shapes.arm_beside_torso()
    r = vellumcut.rig_sprite(shapes.rgba(alpha), **MESH)
    xy = image_xy(r, r.mesh.parts[0].vertices)
    arm = (xy[:, 0] >= where["arm_x"][0]) & (xy[:, 1] > where["below_y"])
    torso_bones = [i for i, b in enumerate(r.bones)
                   if image_xy(r, [b.head, b.tail])[:, 0].max() < where["arm_x"][0] - 4]
    assert torso_bones and arm.sum() > 5
    assert r.weights[0][np.ix_(arm, torso_bones)].max() == 0.0


@pytest.mark.parametrize("max_bones", [1, 3, 6], ids=["root-only", "three", "six"])
def test_max_bones_merges_the_shortest_first(stick, max_bones):
    alpha, _, full = stick
    r = vellumcut.rig_sprite(shapes.rgba(alpha), max_bones=max_bones, **MESH)
    assert len(r.bones) == min(max_bones, len(full.bones))
    assert all(b.parent is None or b.parent < i for i, b in enumerate(r.bones))
    if max_bones == 1:
        assert (r.weights[0][:, 0] == 1.0).all()
    # Merging keeps the reach: the bones still span most of the figure.
    span = np.ptp(np.array([p for b in r.bones for p in (b.head, b.tail)]), axis=0)
    if max_bones >= 3:
        assert span[1] > 0.6 * alpha.shape[0]


# --- user skeletons --------------------------------------------------------------


def test_the_suggestion_round_trips_through_its_file_layout(stick, tmp_path):
    alpha, _, r = stick
    doc = r.skeleton_dict()
    path = tmp_path / "skeleton.json"
    path.write_text(json.dumps(doc))
    again = vellumcut.rig_sprite(shapes.rgba(alpha), skeleton=str(path), **MESH)
    assert again.bones == r.bones and again.skeleton == "user"
    for a, b in zip(again.weights, r.weights):
        np.testing.assert_allclose(a, b, atol=1e-12)
    # Image pixels in the file: the margin shifts mask coordinates, not the file's.
    framed = vellumcut.rig_sprite(shapes.rgba(alpha), skeleton=doc, margin=5, **MESH)
    assert framed.skeleton_dict() == doc
    assert framed.bones[1].head[0] == pytest.approx(r.bones[1].head[0] + 5)


def test_bones_outside_the_mesh_still_weigh_every_vertex():
    alpha = np.zeros((60, 100), np.uint8)
    alpha[20:40, 10:90] = 255  # a bar
    doc = {"bones": [{"name": "hip", "parent": None, "head": [50, 80], "tail": [50, 70]},  # below it
                     {"name": "left", "parent": "hip", "head": [50, 30], "tail": [5, 30]},
                     {"name": "right", "parent": "hip", "head": [50, 30], "tail": [95, 30]},
                     {"name": "far", "parent": "right", "head": [200, -50], "tail": [220, -50]}]}
    r = vellumcut.rig_sprite(shapes.rgba(alpha), skeleton=doc, **MESH)
    assert [b.name for b in r.bones] == ["hip", "left", "right", "far"]
    w = r.weights[0]
    np.testing.assert_allclose(w.sum(axis=1), 1.0, atol=1e-12)
    xy = image_xy(r, r.mesh.parts[0].vertices)
    assert (w[xy[:, 0] < 20].argmax(axis=1) == 1).all() and (w[xy[:, 0] > 80].argmax(axis=1) == 2).all()


def test_user_skeleton_in_any_order_comes_back_parents_first():
    alpha = shapes.letter("L")
    doc = {"bones": [{"name": "tip", "parent": "base", "head": [30, 120], "tail": [120, 120]},
                     {"name": "base", "parent": None, "head": [30, 20], "tail": [30, 120]}]}
    r = vellumcut.rig_sprite(shapes.rgba(alpha), skeleton=doc, **MESH)
    assert [(b.name, b.parent) for b in r.bones] == [("base", None), ("tip", 0)]


GOOD = {"name": "a", "parent": None, "head": [1, 2], "tail": [3, 4]}
BAD_SKELETONS = {
    "no-bones-list": ({"bonez": []}, None, "bones", "expected an object with a list \"bones\""),
    "no-bones": ({"bones": []}, None, "bones", "\"bones\" is empty"),
    "bone-not-object": ({"bones": [GOOD, 7]}, "bone 1", None, "bone 1 must be an object"),
    "no-name": ({"bones": [GOOD, {"parent": "a", "head": [0, 0], "tail": [1, 1]}]}, "bone 1", "name",
                "bone 1: field \"name\""),
    "twice": ({"bones": [GOOD, dict(GOOD, parent="a")]}, "a", "name", "repeats"),
    "no-parent": ({"bones": [GOOD, {"name": "b", "head": [0, 0], "tail": [1, 1]}]}, "b", "parent",
                  "bone 'b': field \"parent\" is missing"),
    "parent-unknown": ({"bones": [GOOD, dict(GOOD, name="b", parent="zz")]}, "b", "parent", "'zz'"),
    "parent-number": ({"bones": [GOOD, dict(GOOD, name="b", parent=0)]}, "b", "parent", "bone name or null"),
    "head-short": ({"bones": [dict(GOOD, head=[1])]}, "a", "head", "bone 'a': field \"head\" must be [x, y]"),
    "tail-text": ({"bones": [dict(GOOD, tail=["1", 2])]}, "a", "tail", "field \"tail\""),
    "tail-nan": ({"bones": [dict(GOOD, tail=[float("nan"), 2])]}, "a", "tail", "finite"),
    "two-roots": ({"bones": [GOOD, dict(GOOD, name="b")]}, "b", "parent", "found 'a', 'b'"),
    "cycle": ({"bones": [GOOD, dict(GOOD, name="b", parent="c"), dict(GOOD, name="c", parent="b")]},
              "b", "parent", "cycle"),
}


@pytest.mark.parametrize("label", list(BAD_SKELETONS))
def test_malformed_skeleton_names_the_bone_and_field(label):
    doc, bone, fld, text = BAD_SKELETONS[label]
    with pytest.raises(vellumcut.SkeletonError, match=re.escape(text)) as err:
        vellumcut.rig_sprite(np.full((8, 8), 255, np.uint8), skeleton=doc)
    assert (err.value.bone, err.value.field) == (bone, fld)


@pytest.mark.parametrize("content, text", [(None, "cannot be read"), ("{oops", "not valid JSON")],
                         ids=["missing", "not-json"])
def test_unreadable_skeleton_file(tmp_path, content, text):
    path = tmp_path / "bones.json"
    if content is not None:
        path.write_text(content)
    with pytest.raises(vellumcut.SkeletonError, match=text):
        vellumcut.rig_sprite(np.full((8, 8), 255, np.uint8), skeleton=path)


@pytest.mark.parametrize("kwargs, text", [({"max_bones": 0}, "max_bones must be at least 1"),
                                          ({"max_influences": 0}, "max_influences must be at least 1"),
                                          ({"max_bones": 2.5}, "max_bones must be an integer")],
                         ids=["no-bones", "no-influences", "fractional"])
def test_bad_options(kwargs, text):
    with pytest.raises((ValueError, TypeError), match=text):
        vellumcut.rig_sprite(np.full((8, 8), 255, np.uint8), **kwargs)


# --- real sprites ---------------------------------------------------------------

# name: fewest bones expected (head, arms, legs for the people; a bee has wings)
REAL = {"female_adventurer/femaleAdventurer_idle.png": 8, "robot/robot_walk3.png": 5,
        "male_person/malePerson_jump.png": 5, "enemies/bee.png": 3}


@pytest.mark.parametrize("name", list(REAL), ids=[n.split("/")[-1].split(".")[0] for n in REAL])
def test_real_characters_get_a_skeleton_inside_and_sound_weights(real_sprites, name):
    path = next(str(p) for p in real_sprites if str(p).endswith(name))
    r = vellumcut.rig_sprite(path)
    assert REAL[name] <= len(r.bones) <= rig.MAX_BONES
    rgba = np.asarray(__import__("PIL.Image", fromlist=["Image"]).open(path).convert("RGBA"))
    opaque = np.pad(rgba[..., 3] > 0, 1)  # one pixel of slack around the outline
    for b in r.bones:
        pts = image_xy(r, [b.head, b.tail])
        along = pts[0] + np.linspace(0, 1, 30)[:, None] * (pts[1] - pts[0])
        col, row = (np.floor(along).astype(int) + 1).T
        assert opaque[row, col].mean() > 0.9, b.name
    for w in r.weights:
        assert (w >= 0).all() and np.allclose(w.sum(axis=1), 1.0) and (np.count_nonzero(w, 1) <= 4).all()
    # Every bone a vertex hangs on is used, and a pose folds few triangles.
    assert np.concatenate(r.weights).any(axis=0).sum() >= len(r.bones) - 2
    part = max(r.mesh.parts, key=lambda p: len(p.vertices))
    w = r.weights[r.mesh.parts.index(part)]
    mats = rig.bone_matrices(r.bones, {i: 30.0 for i in range(1, len(r.bones), 3)})
    moved = rig.skin(part.vertices, w, mats)
    a0 = triangle_areas(part.vertices[part.triangles])
    a1 = triangle_areas(moved[part.triangles])
    assert np.count_nonzero(np.sign(a0) != np.sign(a1)) <= 0.05 * len(a0)


# --- random sprites ----------------------------------------------------------------


@pytest.mark.parametrize("seed", range(12), ids=[f"seed{s}" for s in range(12)])
def test_random_sprites_rig_within_the_guarantees(seed):
    """Ellipses, rings, one-pixel lines and noise: several islands, holes,
    slivers. Every island's vertices get sound weights and every bone stays
    a tree; nothing raises."""
    from sprites import random_alpha

    alpha = random_alpha(np.random.default_rng(seed))
    r = vellumcut.rig_sprite(shapes.rgba(alpha), max_bones=10, max_influences=3, spacing=8.0)
    assert 1 <= len(r.bones) <= 10 and r.bones[0].parent is None
    assert all(b.parent is not None and b.parent < i for i, b in enumerate(r.bones) if i)
    for part, w in zip(r.mesh.parts, r.weights):
        assert w.shape == (len(part.vertices), len(r.bones))
        assert (w >= 0).all() and np.allclose(w.sum(axis=1), 1.0) and (np.count_nonzero(w, 1) <= 3).all()


@pytest.mark.parametrize("kwargs, interior, preset", [
    ({}, "quality", None),
    ({"preset": "deform"}, "quality", "deform"),
    ({"preset": "render"}, "none", "render"),
    ({"preset": "render", "interior": "quality"}, "quality", "render"),
], ids=["default-quality", "deform", "render-outline-only", "explicit-wins"])
def test_presets_and_explicit_options_choose_the_mesh(kwargs, interior, preset):
    r = vellumcut.rig_sprite(shapes.rgba(shapes.letter("T")), **kwargs)
    assert r.mesh.params["interior"] == interior and r.mesh.params.get("preset") == preset
    for w in r.weights:
        assert np.allclose(w.sum(axis=1), 1.0)
