"""Rigged sprites in every format that carries a skeleton: JSON (read back as
a skeleton), glTF skins (posed in headless Blender against linear blend
skinning computed from the file's own joints and weights), Spine weighted
meshes (setup pose against the unweighted export) and Godot 4 scenes
(Skeleton2D, Bone2D rests, Polygon2D bindings)."""
from __future__ import annotations

import json
import math
import re

import cv2
import numpy as np
import pygltflib
import pytest
from scipy.spatial import cKDTree

import rig_shapes as shapes
import vellumcut
from blender import SCRIPTS, run_blender
from vellumcut import export, rig_export

MESH = {"spacing": 30.0}


@pytest.fixture(scope="module")
def rigged(tmp_path_factory):
    """A stick figure with a margin (so mask and image frames differ) and a
    second island (a ball), rigged from its file."""
    alpha, _ = shapes.stick_figure()
    alpha = alpha.copy()
    cv2.circle(alpha, (140, 20), 9, 255, -1)
    path = tmp_path_factory.mktemp("rig") / "hero.png"
    cv2.imwrite(str(path), shapes.rgba(alpha))
    r = vellumcut.rig_sprite(str(path), margin=3, **MESH)
    assert len(r.mesh.parts) == 2 and len(r.bones) >= 7
    return r


def chain_bone(r) -> int:
    """A bone in the middle of a chain: it has a child, and is not the root."""
    return next(i for i, b in enumerate(r.bones)
                if b.parent is not None and any(c.parent == i for c in r.bones))


# --- JSON ---------------------------------------------------------------------------------


def test_json_carries_skeleton_and_sparse_weights(rigged, tmp_path):
    out = tmp_path / "hero.json"
    export.write(rigged, "json", out)
    doc = json.loads(out.read_text())
    assert doc["skeleton"] == rigged.skeleton_dict() and doc["counts"]["bones"] == len(rigged.bones)
    names = [b["name"] for b in doc["skeleton"]["bones"]]
    assert names == [b.name for b in rigged.bones] and doc["skeleton"]["bones"][0]["parent"] is None
    for part, w, src in zip(doc["parts"], rigged.weights, rigged.mesh.parts):
        assert len(part["weights"]) == len(part["vertices"]) == len(src.vertices)
        dense = np.zeros_like(w)
        for i, pairs in enumerate(part["weights"]):
            ws = [v for _, v in pairs]
            assert ws == sorted(ws, reverse=True) and all(v > 0 for v in ws) and len(pairs) <= 4
            for k, v in pairs:
                dense[i, k] = v
        np.testing.assert_array_equal(dense, w)


def test_json_skeleton_fed_back_gives_the_same_bones(rigged, tmp_path):
    out = tmp_path / "hero.json"
    export.write(rigged, "json", out)
    again = vellumcut.rig_sprite(rigged.source, skeleton=out, margin=3, **MESH)
    assert again.bones == rigged.bones
    # An edited skeleton (a bone moved in the file) is taken as edited.
    doc = json.loads(out.read_text())
    doc["skeleton"]["bones"][1]["tail"] = [10.0, 12.5]
    edited = vellumcut.rig_sprite(rigged.source, skeleton=doc, margin=3, **MESH)
    assert edited.bones[1].tail == (10.0 + 3 - 0.5, 12.5 + 3 - 0.5)


def test_formats_without_a_skeleton_refuse_a_rigged_sprite(rigged, tmp_path):
    with pytest.raises(ValueError, match="'obj' carries no skeleton; rigged sprites export to json, gltf"):
        export.write(rigged, "obj", tmp_path / "x.obj")


# --- glTF ---------------------------------------------------------------------------------


def read_accessor(g: pygltflib.GLTF2, index: int) -> np.ndarray:
    acc = g.accessors[index]
    view = g.bufferViews[acc.bufferView]
    dtype = {5126: np.float32, 5123: np.uint16, 5125: np.uint32, 5121: np.uint8}[acc.componentType]
    width = {"SCALAR": 1, "VEC2": 2, "VEC3": 3, "VEC4": 4, "MAT4": 16}[acc.type]
    blob = g.binary_blob()[view.byteOffset + (acc.byteOffset or 0):]
    return np.frombuffer(blob, dtype, acc.count * width).reshape(acc.count, width)


def node_matrix(node) -> np.ndarray:
    x, y, z, w = node.rotation or [0, 0, 0, 1]
    rot = np.array([[1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
                    [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
                    [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)]])
    m = np.eye(4)
    m[:3, :3] = rot
    m[:3, 3] = node.translation or [0, 0, 0]
    return m


def gltf_skin(path):
    """Positions, joints and weights of every primitive, and each joint's
    world matrix, inverse bind matrix, name and descendants."""
    g = pygltflib.GLTF2.load(str(path))
    skin = g.skins[0]
    parent = {c: i for i, n in enumerate(g.nodes) for c in (n.children or [])}
    world = {}
    for j in skin.joints:
        chain, n = [], j
        while n is not None:
            chain.append(n)
            n = parent.get(n)
        m = np.eye(4)
        for n in reversed(chain):
            m = m @ node_matrix(g.nodes[n])
        world[j] = m
    ibm = read_accessor(g, skin.inverseBindMatrices).reshape(-1, 4, 4).transpose(0, 2, 1)
    pos, joints, weights = [], [], []
    for prim in g.meshes[g.nodes[0].mesh].primitives:
        a = prim.attributes
        pos.append(read_accessor(g, a.POSITION))
        joints.append(read_accessor(g, a.JOINTS_0))
        weights.append(read_accessor(g, a.WEIGHTS_0))
    return g, skin, world, ibm, np.concatenate(pos), np.concatenate(joints), np.concatenate(weights)


def lbs(pos, joints, weights, mats):
    hom = np.column_stack((pos, np.ones(len(pos))))
    out = np.zeros((len(pos), 4))
    for s in range(joints.shape[1]):
        out += weights[:, s:s + 1] * np.einsum("nij,nj->ni", mats[joints[:, s]], hom)
    return out[:, :3]


def test_gltf_skin_binds_the_rest_pose(rigged, tmp_path):
    out = tmp_path / "hero.glb"
    export.write(rigged, "gltf", out, pivot="bottom")
    g, skin, world, ibm, pos, joints, weights = gltf_skin(out)
    assert g.nodes[0].skin == 0 and len(skin.joints) == len(rigged.bones)
    assert [g.nodes[j].name for j in skin.joints] == [b.name for b in rigged.bones]
    assert skin.skeleton == skin.joints[0] and skin.skeleton in g.scenes[0].nodes
    mats = np.stack([world[j] @ ibm[k] for k, j in enumerate(skin.joints)])
    np.testing.assert_allclose(mats, np.broadcast_to(np.eye(4), mats.shape), atol=1e-5)
    np.testing.assert_allclose(weights.sum(axis=1), 1.0, atol=1e-6)
    # Joint heads sit where the bones are, placed like the vertices.
    place = export.Placement.of(rigged.mesh, "bottom", 100.0)
    heads = place.place(rigged.mesh, np.array([b.head for b in rigged.bones]), y_up=True)
    got = np.array([world[j][:2, 3] for j in skin.joints])
    np.testing.assert_allclose(got, heads, atol=1e-6)
    # Each bone's local +Y points along it (Blender's bone axis).
    tails = place.place(rigged.mesh, np.array([b.tail for b in rigged.bones]), y_up=True)
    axis = np.array([world[j][:2, 1] for j in skin.joints])
    d = tails - heads
    np.testing.assert_allclose(axis, d / np.hypot(*d.T)[:, None], atol=1e-6)
    # The unrigged export of the same mesh has the same positions.
    plain = tmp_path / "plain.glb"
    export.write(rigged.mesh, "gltf", plain, pivot="bottom")
    gp = pygltflib.GLTF2.load(str(plain))
    np.testing.assert_array_equal(
        np.concatenate([read_accessor(gp, p.attributes.POSITION) for p in gp.meshes[0].primitives]), pos)


@pytest.mark.blender
def test_blender_poses_the_gltf_skin_as_linear_blend_skinning_predicts(blender, rigged, tmp_path):
    out = tmp_path / "hero.glb"
    export.write(rigged, "gltf", out)
    k = chain_bone(rigged)
    name = rigged.bones[k].name
    rep = run_blender(blender, SCRIPTS / "rig_pose.py", str(out), name, "30")
    assert [b["name"] for b in rep["bones"]] == [b.name for b in rigged.bones]
    assert [b["parent"] for b in rep["bones"]] == [None if b.parent is None else rigged.bones[b.parent].name
                                                    for b in rigged.bones]
    assert set(rep["groups"]) <= {b.name for b in rigged.bones} and len(rep["groups"]) >= len(rigged.bones) - 2
    assert [m[0] for m in rep["modifiers"]] == ["ARMATURE"]

    g, skin, world, ibm, pos, joints, weights = gltf_skin(out)
    to_gltf = lambda p: np.column_stack((p[:, 0], p[:, 2], -p[:, 1]))  # noqa: E731 - Blender is z-up
    rest, posed = to_gltf(np.array(rep["rest"])), to_gltf(np.array(rep["posed"]))
    dist, match = cKDTree(pos).query(rest)
    assert dist.max() < 1e-5 and len(set(match.tolist())) == len(pos)
    # The file's joints: the posed bone and its descendants turn about its head.
    j = skin.joints[k]
    head = world[j][:3, 3]
    c, s = math.cos(math.radians(30)), math.sin(math.radians(30))
    turn = np.eye(4)
    turn[:2, :2] = [[c, -s], [s, c]]
    move = np.eye(4)
    move[:3, 3] = head
    back = np.eye(4)
    back[:3, 3] = -head
    moved = {k}
    for i, b in enumerate(rigged.bones):
        if b.parent in moved:
            moved.add(i)
    mats = np.stack([(move @ turn @ back if i in moved else np.eye(4)) @ world[jj] @ ibm[i]
                     for i, jj in enumerate(skin.joints)])
    expect = lbs(pos, joints, weights, mats)[match]
    assert np.abs(posed - rest).max() > 0.05  # the pose did move the mesh
    np.testing.assert_allclose(posed, expect, atol=2e-5)


# --- Spine ---------------------------------------------------------------------------------


def spine_world(bones: list[dict]) -> dict[str, tuple[np.ndarray, float]]:
    """World head and angle (radians) of each Spine bone from its local x, y, rotation."""
    out: dict[str, tuple[np.ndarray, float]] = {}
    for b in bones:
        x, y, a = b.get("x", 0.0), b.get("y", 0.0), math.radians(b.get("rotation", 0.0))
        if "parent" not in b:
            out[b["name"]] = (np.array([x, y], float), a)
        else:
            ph, pa = out[b["parent"]]
            out[b["name"]] = (ph + [math.cos(pa) * x - math.sin(pa) * y, math.sin(pa) * x + math.cos(pa) * y],
                              pa + a)
    return out


@pytest.mark.parametrize("pivot, ppu", [("center", 1.0), ("bottom", 32.0)], ids=["center", "bottom-32ppu"])
def test_spine_setup_pose_reproduces_the_unweighted_vertices(rigged, pivot, ppu):
    doc = rig_export.to_spine_dict(rigged, pivot=pivot, pixels_per_unit=ppu)
    plain = export.to_spine_dict(rigged.mesh, pivot=pivot, pixels_per_unit=ppu)
    names = [b["name"] for b in doc["bones"]]
    assert names == [b.name for b in rigged.bones]
    assert all(names.index(b["parent"]) < i for i, b in enumerate(doc["bones"]) if "parent" in b)
    world = spine_world(doc["bones"])
    bones = doc["bones"]
    for slot, att in doc["skins"][0]["attachments"].items():
        mesh_w, mesh_p = att[slot], plain["skins"][0]["attachments"][slot][slot]
        assert {k: v for k, v in mesh_w.items() if k != "vertices"} == \
            {k: v for k, v in mesh_p.items() if k != "vertices"}
        flat, i, got = mesh_w["vertices"], 0, []
        while i < len(flat):
            n, i = flat[i], i + 1
            p, total = np.zeros(2), 0.0
            for _ in range(n):
                b, bx, by, w = flat[i:i + 4]
                i += 4
                head, ang = world[bones[b]["name"]]
                p += w * (head + [math.cos(ang) * bx - math.sin(ang) * by, math.sin(ang) * bx + math.cos(ang) * by])
                total += w
            assert 1 <= n <= 4 and total == pytest.approx(1.0, abs=1e-12)
            got.append(p)
        assert len(got) == len(mesh_p["uvs"]) // 2
        np.testing.assert_allclose(np.array(got).reshape(-1), mesh_p["vertices"], atol=1e-6 * max(1, 100 / ppu))
    # Bone lengths: the bones' own, in placed units.
    assert [b["length"] for b in bones] == pytest.approx([b.length / ppu for b in rigged.bones], abs=1e-5)


# --- Godot ---------------------------------------------------------------------------------


def parse_tscn(text: str) -> list[dict]:
    nodes = []
    for block in re.split(r"\n(?=\[)", text):
        head = re.match(r"\[node name=\"([^\"]+)\" type=\"(\w+)\"(?: parent=\"([^\"]*)\")?\]", block)
        if not head:
            continue
        props = dict(re.findall(r"^(\w+) = (.*)$", block, re.M))
        nodes.append({"name": head[1], "type": head[2], "parent": head[3], **props})
    return nodes


def numbers(text: str) -> np.ndarray:
    return np.array([float(v) for v in re.findall(r"-?\d+(?:\.\d+)?(?:e-?\d+)?", text)])


def test_godot_scene_binds_polygons_to_the_skeleton(rigged, tmp_path):
    out = tmp_path / "hero.tscn"
    export.write(rigged, "godot", out, pivot="center")
    nodes = parse_tscn(out.read_text())
    skel = [n for n in nodes if n["type"] == "Skeleton2D"]
    bones = [n for n in nodes if n["type"] == "Bone2D"]
    polys = [n for n in nodes if n["type"] == "Polygon2D"]
    assert len(skel) == 1 and skel[0]["parent"] == "."
    assert [b["name"] for b in bones] == [b.name for b in rigged.bones]
    # Rest transforms composed down the tree put each Bone2D on its bone's head
    # (y down), x along the bone.
    place = export.Placement.of(rigged.mesh, "center", 1.0)
    heads = place.place(rigged.mesh, np.array([b.head for b in rigged.bones]), y_up=False)
    tails = place.place(rigged.mesh, np.array([b.tail for b in rigged.bones]), y_up=False)
    world: dict[str, np.ndarray] = {"Skeleton2D": np.eye(3)}
    for n, b in zip(bones, rigged.bones):
        xx, xy, yx, yy, ox, oy = numbers(n["rest"].split("(", 1)[1])
        local = np.array([[xx, yx, ox], [xy, yy, oy], [0, 0, 1]])
        assert numbers(n["position"].split("(", 1)[1]).tolist() == [ox, oy] and n["auto_calculate_length_and_angle"] == "false"
        path = n["parent"] + "/" + n["name"]
        world[path] = world[n["parent"]] @ local
        np.testing.assert_allclose(world[path][:2, 2], heads[rigged.bones.index(b)], atol=1e-4)
        d = tails[rigged.bones.index(b)] - heads[rigged.bones.index(b)]
        np.testing.assert_allclose(world[path][:2, 0], d / np.hypot(*d), atol=1e-4)
        assert float(n["length"]) == pytest.approx(b.length, abs=1e-5)
    assert len(polys) == len(rigged.mesh.parts)
    for poly, part, w in zip(polys, rigged.mesh.parts, rigged.weights):
        assert poly["skeleton"] == 'NodePath("../Skeleton2D")'
        pts = numbers(poly["polygon"].split("(", 1)[1]).reshape(-1, 2)
        n = len(pts)
        inner = int(poly["internal_vertex_count"])
        ring = max(part.outer_rings, key=len)
        assert n - inner == len(ring)
        np.testing.assert_allclose(pts[:len(ring)], place.place(rigged.mesh, part.vertices[ring], False), atol=1e-9)
        pairs = re.findall(r'NodePath\("([^"]+)"\), PackedFloat32Array\(([^)]*)\)', poly["bones"])
        assert len(pairs) == len(rigged.bones)
        total = np.zeros(n)
        for path, values in pairs:
            assert "Skeleton2D/" + path in world
            col = numbers(values)
            assert len(col) == n
            total += col
        np.testing.assert_allclose(total, 1.0, atol=1e-5)
        # Triangles still cover the same corners after the reordering.
        tris = np.array(re.findall(r"PackedInt32Array\((\d+), (\d+), (\d+)\)", poly["polygons"]), int)
        assert sorted(map(tuple, np.sort(pts[tris].round(6).reshape(-1, 6), axis=1).tolist())) == \
            sorted(map(tuple, np.sort(place.place(rigged.mesh, part.vertices, False)[part.triangles]
                                      .round(6).reshape(-1, 6), axis=1).tolist()))


def test_gltf_carries_more_than_four_influences_in_a_second_set(tmp_path):
    alpha, _ = shapes.stick_figure()
    r = vellumcut.rig_sprite(shapes.rgba(alpha), max_influences=6, spacing=30.0)
    assert len(r.mesh.parts) == 1 and np.count_nonzero(r.weights[0], axis=1).max() > 4
    out = tmp_path / "six.glb"
    export.write(r, "gltf", out)
    g = pygltflib.GLTF2.load(str(out))
    prim = g.meshes[0].primitives[0]
    assert prim.attributes.JOINTS_1 is not None and prim.attributes.WEIGHTS_1 is not None
    joints = np.hstack([read_accessor(g, prim.attributes.JOINTS_0), read_accessor(g, prim.attributes.JOINTS_1)])
    weights = np.hstack([read_accessor(g, prim.attributes.WEIGHTS_0), read_accessor(g, prim.attributes.WEIGHTS_1)])
    np.testing.assert_allclose(weights.sum(axis=1), 1.0, atol=1e-6)
    dense = np.zeros((len(joints), len(r.bones)))
    np.add.at(dense, (np.repeat(np.arange(len(joints)), 8), joints.reshape(-1)), weights.reshape(-1))
    np.testing.assert_allclose(dense, r.weights[0], atol=1e-6)


def test_godot_renames_bones_godot_would_rename_and_keeps_paths_consistent(tmp_path):
    alpha = np.zeros((60, 100), np.uint8)
    alpha[20:40, 10:90] = 255
    doc = {"bones": [{"name": "hip.C", "parent": None, "head": [50, 30], "tail": [50, 25]},
                     {"name": "arm.L", "parent": "hip.C", "head": [50, 30], "tail": [12, 30]},
                     {"name": "arm_L", "parent": "hip.C", "head": [50, 30], "tail": [88, 30]}]}
    r = vellumcut.rig_sprite(shapes.rgba(alpha), skeleton=doc, spacing=10.0)
    out = tmp_path / "bar.tscn"
    export.write(r, "godot", out)
    nodes = parse_tscn(out.read_text())
    assert [(n["name"], n["parent"]) for n in nodes if n["type"] == "Bone2D"] == [
        ("hip_C", "Skeleton2D"), ("arm_L", "Skeleton2D/hip_C"), ("arm_L_2", "Skeleton2D/hip_C")]
    (poly,) = [n for n in nodes if n["type"] == "Polygon2D"]
    assert re.findall(r'NodePath\("([^"]+)"\)', poly["bones"]) == ["hip_C", "hip_C/arm_L", "hip_C/arm_L_2"]
