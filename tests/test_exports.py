"""JSON, OBJ and Godot exports read back, and the pixel-to-UV mapping."""
from __future__ import annotations

import json
import os
import re
from pathlib import Path

import numpy as np
import pytest

import vellumcut
from vellumcut import export
from vellumcut.meshes import from_poisson, from_triangulate, ring_area

from meshes import grid_group, poisson_result, square_with_hole_group, triangulate_result
from sprites import random_alpha


def two_part_mesh(margin: int = 3):
    res = triangulate_result([square_with_hole_group(), grid_group(30, 2, 10, 2)], 60, 30)
    return from_triangulate(res, margin, {"eps": 1.5, "margin": margin, "maxA": 0.0}, "hero.png")


# --- UVs ------------------------------------------------------------------------


def test_uv_of_a_block_with_margin(write_png, tmp_path):
    """4x4 block at image columns 10-13, rows 20-23, margin 5: the outline runs
    through the boundary pixel centres, which map to the middle of those texels."""
    alpha = np.zeros((40, 30), np.uint8)
    alpha[20:24, 10:14] = 255
    mesh = vellumcut.outline(write_png(alpha), eps=1.0, margin=5)
    (part,) = mesh.parts
    assert (mesh.image_width, mesh.image_height) == (30, 40)
    uv = mesh.uvs(part.vertices)
    assert sorted(set(np.round(uv[:, 0] * 30, 9))) == [10.5, 13.5]
    assert sorted(set(np.round(uv[:, 1] * 40, 9))) == [20.5, 23.5]
    doc = json.loads(json.dumps(export.to_json_dict(mesh)))
    assert doc["parts"][0]["uvs"] == uv.tolist()
    assert doc["mask"] == {"width": 40, "height": 50, "border": 5, "scale": 1.0}


@pytest.mark.parametrize("seed", range(6), ids=lambda s: f"seed{s}")
def test_uvs_do_not_depend_on_margin_and_land_on_opaque_texels(write_png, seed):
    alpha = random_alpha(np.random.default_rng(seed))
    path = write_png(alpha)
    by_margin = {m: vellumcut.outline(path, eps=1.0, margin=m) for m in (-3, 0, 7)}
    uvs = {m: [mesh.uvs(p.vertices) for p in mesh.parts] for m, mesh in by_margin.items()}
    for m in (-3, 7):
        assert len(uvs[m]) == len(uvs[0])
        for a, b in zip(uvs[m], uvs[0]):
            np.testing.assert_allclose(a, b, atol=1e-12)
    h, w = alpha.shape
    for uv in uvs[0]:
        cols = np.floor(uv[:, 0] * w).astype(int)
        rows = np.floor(uv[:, 1] * h).astype(int)
        # Simplification keeps only traced points, and every traced point is an
        # opaque boundary pixel; the exception is an outline simplified to two
        # points, which the core replaces by a grown axis-aligned rectangle.
        grown_rectangle = len(uv) == 4 and len(set(cols)) == 2 and len(set(rows)) == 2
        if not grown_rectangle:
            assert (alpha[rows, cols] > 0).all()


# --- JSON -----------------------------------------------------------------------


def test_json_round_trip_keeps_geometry_and_records_provenance(tmp_path):
    mesh = two_part_mesh()
    export.write_json(mesh, tmp_path / "m.json")
    doc = json.loads((tmp_path / "m.json").read_text(encoding="utf-8"))
    assert doc["mode"] == "earcut" and doc["parameters"] == {"eps": 1.5, "margin": 3, "maxA": 0.0}
    assert doc["versions"]["vellumcut"] == vellumcut.__version__
    assert doc["image"] == {"width": 54, "height": 24}
    assert doc["counts"] == {"parts": 2, "vertices": 17, "triangles": 16}
    for part, src in zip(doc["parts"], mesh.parts):
        np.testing.assert_array_equal(part["vertices"], src.vertices)
        np.testing.assert_array_equal(part["triangles"], src.triangles)
        np.testing.assert_allclose(part["uvs"], (src.vertices - 3 + 0.5) / [54, 24])
    assert doc["parts"][0]["outlines"] == [[0, 1, 2, 3]]
    assert doc["parts"][0]["holes"] == [[4, 5, 6, 7]]
    assert doc["parts"][1]["holes"] == []


def test_poisson_arrays_export_like_lists(tmp_path):
    group = square_with_hole_group()
    as_lists = from_triangulate(triangulate_result([group], 30, 30), 2)
    as_arrays = from_poisson(poisson_result(group, 30, 30), 2)
    a, b = export.to_json_dict(as_lists), export.to_json_dict(as_arrays)
    assert a["parts"] == b["parts"]


# --- OBJ --------------------------------------------------------------------------


def read_obj(text: str):
    v, vt, faces, lines, objects = [], [], [], [], []
    for line in text.splitlines():
        tag, *rest = line.split() or [""]
        if tag == "v":
            v.append([float(x) for x in rest])
        elif tag == "vt":
            vt.append([float(x) for x in rest])
        elif tag == "f":
            faces.append([tuple(int(k) for k in c.split("/")) for c in rest])
        elif tag == "l":
            lines.append([int(k) for k in rest])
        elif tag == "o":
            objects.append(rest[0])
    return np.array(v), np.array(vt), faces, lines, objects


def test_obj_reads_back_with_flipped_y_and_front_facing_triangles(tmp_path):
    mesh = two_part_mesh()
    export.write_obj(mesh, tmp_path / "m.obj")
    v, vt, faces, lines, objects = read_obj((tmp_path / "m.obj").read_text())
    verts = np.concatenate([p.vertices for p in mesh.parts])
    assert objects == ["part0", "part1"] and not lines
    np.testing.assert_allclose(v[:, 0], verts[:, 0] - 3 + 0.5)
    np.testing.assert_allclose(v[:, 1], -(verts[:, 1] - 3 + 0.5))
    np.testing.assert_array_equal(v[:, 2], 0)
    uv = mesh.uvs(verts)
    np.testing.assert_allclose(vt, np.column_stack([uv[:, 0], 1 - uv[:, 1]]))
    assert len(faces) == mesh.triangle_count
    tris = []
    for f in faces:
        assert all(a == b for a, b in f), "position and texture indices agree"
        tris.append([a - 1 for a, _ in f])
    tris = np.array(tris)
    assert tris.min() >= 0 and tris.max() < len(v)
    # Counter-clockwise in the y-up frame of the file.
    p = v[tris][:, :, :2]
    cross = ((p[:, 1, 0] - p[:, 0, 0]) * (p[:, 2, 1] - p[:, 0, 1])
             - (p[:, 2, 0] - p[:, 0, 0]) * (p[:, 1, 1] - p[:, 0, 1]))
    assert (cross > 0).all()
    # Same triangles as the mesh (as vertex sets), part offsets applied.
    offsets = np.cumsum([0] + [len(p.vertices) for p in mesh.parts])[:-1]
    want = {frozenset((t + o).tolist()) for p, o in zip(mesh.parts, offsets) for t in p.triangles}
    assert {frozenset(t.tolist()) for t in tris} == want


def test_obj_of_outlines_has_closed_lines(write_png, tmp_path):
    alpha = np.zeros((20, 30), np.uint8)
    alpha[2:8, 2:9] = 255
    alpha[10:18, 12:28] = 255
    mesh = vellumcut.outline(write_png(alpha), eps=1.0, margin=1)
    export.write_obj(mesh, tmp_path / "o.obj")
    v, _, faces, lines, _ = read_obj((tmp_path / "o.obj").read_text())
    # Two-point `l` segments (importers read longer `l` runs as one edge),
    # one per ring edge: each vertex starts one segment and ends one, and
    # following them walks each outline once around.
    assert not faces and all(len(line) == 2 for line in lines)
    assert len(lines) == len(v) == mesh.vertex_count
    nxt = dict(lines)
    assert len(nxt) == len(lines) and sorted(nxt.values()) == sorted(nxt)
    base = 1
    for part in mesh.parts:
        ring = part.rings[0] + base
        assert [nxt[int(a)] for a in ring] == np.roll(ring, -1).tolist()
        base += len(part.vertices)


# --- Godot ------------------------------------------------------------------------


def read_tscn(text: str):
    header, *sections = re.split(r"\n(?=\[)", text)
    res = {"header": header.strip(), "ext": [], "nodes": []}
    for sec in sections:
        head, *body = sec.strip().splitlines()
        fields = dict(re.findall(r'(\w+)="([^"]*)"', head))
        props = {}
        for line in body:
            key, _, value = line.partition(" = ")
            props[key] = value
        (res["ext"] if head.startswith("[ext_resource") else res["nodes"]).append((fields, props))
    return res


def floats(packed: str) -> np.ndarray:
    inner = re.fullmatch(r"PackedVector2Array\((.*)\)", packed).group(1)
    return np.array([float(x) for x in inner.split(",")]).reshape(-1, 2)


def test_godot_scene_reads_back(tmp_path, write_png):
    alpha = np.zeros((24, 60), np.uint8)
    alpha[2:22, 2:58] = 255
    src = write_png(alpha, "hero.png")
    mesh = two_part_mesh()
    mesh.source = src
    out = tmp_path / "scenes" / "hero.tscn"
    out.parent.mkdir()
    export.write_godot(mesh, out)
    scene = read_tscn(out.read_text())
    assert scene["header"] == "[gd_scene load_steps=2 format=3]"
    (ext, _), = scene["ext"]
    assert ext["type"] == "Texture2D"
    assert os.path.samefile(out.parent / ext["path"], src)
    root, *polys = scene["nodes"]
    assert root[0] == {"name": "hero", "type": "Node2D"}
    assert len(polys) == len(mesh.parts)
    for (fields, props), part in zip(polys, mesh.parts):
        assert fields["type"] == "Polygon2D" and fields["parent"] == "."
        assert props["texture"] == f'ExtResource("{ext["id"]}")'
        pos = floats(props["polygon"])
        np.testing.assert_allclose(pos, part.vertices - mesh.border + 0.5)
        # Polygon2D UVs are texture pixels: u * width, v * height.
        np.testing.assert_allclose(floats(props["uv"]),
                                   mesh.uvs(part.vertices) * [mesh.image_width, mesh.image_height])
        tris = [list(map(int, t.split(","))) for t in
                re.findall(r"PackedInt32Array\(([^)]*)\)", props["polygons"])]
        assert tris == part.triangles.tolist()


def test_godot_outline_parts_have_no_polygons(write_png, tmp_path):
    alpha = np.zeros((20, 20), np.uint8)
    alpha[3:15, 4:16] = 255
    mesh = vellumcut.outline(write_png(alpha), eps=1.0, margin=2)
    export.write_godot(mesh, tmp_path / "o.tscn")
    (_, props), = read_tscn((tmp_path / "o.tscn").read_text())["nodes"][1:]
    assert "polygons" not in props
    pts = floats(props["polygon"])
    assert len(pts) == 4 and ring_area(pts) < 0
