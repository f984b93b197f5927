"""glTF, Spine, OBJ + MTL and JSON v2 exports, read back by format and, for
glTF and OBJ, imported by Blender; every mode, synthetic and real sprites."""
from __future__ import annotations

import json
import os
import re
import struct
import subprocess
import sys
from pathlib import Path

import cv2
import numpy as np
import pytest

import vellumcut
from vellumcut import export
from vellumcut.meshes import MODES, from_triangulate, ring_area

from blender import SCRIPTS, run_blender
from meshes import grid_group, triangulate_result
from test_exports import floats, read_obj, read_tscn, two_part_mesh

PLACED = ("obj", "godot", "gltf", "spine")


def holes_and_islands() -> np.ndarray:
    """A frame with a hole, a separate blob and a small square: 3 islands, 1 hole."""
    alpha = np.zeros((48, 72), np.uint8)
    alpha[4:40, 4:36] = 255
    alpha[14:28, 12:26] = 0
    yy, xx = np.mgrid[0:48, 0:72]
    alpha[((yy - 20) / 12.0) ** 2 + ((xx - 54) / 10.0) ** 2 <= 1] = 200
    alpha[42:47, 60:68] = 255
    return alpha


@pytest.fixture
def sprite(write_png):
    img = np.zeros((48, 72, 4), np.uint8)
    img[..., 0] = np.arange(72, dtype=np.uint8)[None, :] * 3  # colour varies, so UVs matter
    img[..., 1] = np.arange(48, dtype=np.uint8)[:, None] * 5
    img[..., 3] = holes_and_islands()
    return write_png(img, "frame.png")


def written_vertices(mesh, part=None) -> int:
    """Vertices the meshed formats write: those triangles use (all, for outlines)."""
    parts = mesh.parts if part is None else [part]
    return sum(len(np.unique(p.triangles)) if len(p.triangles) else len(p.vertices) * bool(p.rings)
               for p in parts)


def run_mode(mode: str, path: str):
    return vellumcut.run(mode, path, **({"rpx": 4} if mode == "poisson" else {}))


# --- readers ------------------------------------------------------------------------


def read_glb(path):
    """(document, binary chunk), checking the container layout on the way."""
    blob = Path(path).read_bytes()
    magic, version, length = struct.unpack_from("<III", blob)
    assert (magic, version, length) == (0x46546C67, 2, len(blob))
    jlen, jtype = struct.unpack_from("<II", blob, 12)
    assert jtype == 0x4E4F534A and jlen % 4 == 0
    doc = json.loads(blob[20:20 + jlen])
    rest = blob[20 + jlen:]
    if not rest:
        return doc, b""
    blen, btype = struct.unpack_from("<II", rest)
    assert btype == 0x004E4942 and blen % 4 == 0 and len(rest) == 8 + blen
    return doc, rest[8:]


def accessor(doc, bin_, index):
    acc = doc["accessors"][index]
    view = doc["bufferViews"][acc["bufferView"]]
    dtype = {5126: np.float32, 5123: np.uint16, 5125: np.uint32}[acc["componentType"]]
    width = {"SCALAR": 1, "VEC2": 2, "VEC3": 3}[acc["type"]]
    data = np.frombuffer(bin_, dtype, acc["count"] * width, view["byteOffset"] + acc.get("byteOffset", 0))
    return data.reshape(-1, width) if width > 1 else data


def placed_parts(fmt: str, path: Path, mesh):
    """Per written part: (positions, uv in 0..1 with v down, y_up)."""
    w, h = mesh.image_width, mesh.image_height
    if fmt == "obj":
        v, vt, _, _, _ = read_obj(path.read_text())
        sizes = np.cumsum([0] + [written_vertices(mesh, p) for p in mesh.parts])
        return [(v[a:b, :2], np.column_stack([vt[a:b, 0], 1 - vt[a:b, 1]]), True)
                for a, b in zip(sizes[:-1], sizes[1:])]
    if fmt == "godot":
        nodes = read_tscn(path.read_text())["nodes"][1:]
        return [(floats(p["polygon"]), floats(p["uv"]) / [w, h], False) for _, p in nodes]
    if fmt == "gltf":
        doc, bin_ = read_glb(path)
        seen, out = set(), []
        for prim in doc["meshes"][0]["primitives"]:
            key = prim["attributes"]["POSITION"]
            if key not in seen:  # outline rings of one part share its attributes
                seen.add(key)
                out.append((accessor(doc, bin_, key)[:, :2].astype(np.float64),
                            accessor(doc, bin_, prim["attributes"]["TEXCOORD_0"]).astype(np.float64), True))
        return out
    doc = json.loads(path.read_text())
    atts = [a for slot in doc["skins"][0]["attachments"].values() for a in slot.values()]
    return [(np.reshape(a["vertices"], (-1, 2)), np.reshape(a["uvs"], (-1, 2)), True)
            for a in atts if a["type"] == "mesh"]


# --- placement --------------------------------------------------------------------


@pytest.mark.parametrize("pivot, ppu", [(None, None), ("center", 1), ("bottom", 32), ("top-left", 0.5),
                                        ("0.25,0.75", 10), ((1.5, -0.5), 3)],
                         ids=["defaults", "center", "bottom-32", "top-left-half", "fractions", "outside"])
@pytest.mark.parametrize("fmt", PLACED)
def test_texture_lines_up_with_placed_geometry(tmp_path, sprite, fmt, pivot, ppu):
    """Whatever the pivot and scale, position * ppu + pivot is the image pixel
    the UV points at: the texture cannot drift off the mesh."""
    mesh = vellumcut.earcut(sprite, eps=1.0, margin=3)
    opts = {k: v for k, v in (("pivot", pivot), ("pixels_per_unit", ppu)) if v is not None}
    out = tmp_path / ("m" + export.FORMATS[fmt].suffix)
    export.write(mesh, fmt, out, **opts)
    fx, fy = export.parse_pivot(pivot or export.DEFAULT_PIVOT[fmt])
    scale = ppu or export.DEFAULT_PIXELS_PER_UNIT[fmt]
    w, h = mesh.image_width, mesh.image_height
    parts = placed_parts(fmt, out, mesh)
    want = mesh.vertex_count if fmt == "godot" else written_vertices(mesh)
    assert sum(len(p) for p, _, _ in parts) == want
    for pos, uv, y_up in parts:
        y = -pos[:, 1] if y_up else pos[:, 1]
        np.testing.assert_allclose(pos[:, 0] * scale + fx * w, uv[:, 0] * w, atol=1e-3)
        np.testing.assert_allclose(y * scale + fy * h, uv[:, 1] * h, atol=1e-3)


@pytest.mark.parametrize("bad, message", [("middle", "neither one of"), ("1,2,3", "neither one of"),
                                          ("nan,0", "finite"), ((1,), "pair of numbers")],
                         ids=["name", "three", "nan", "short"])
def test_bad_pivots_are_refused(bad, message):
    with pytest.raises(ValueError, match=message):
        export.parse_pivot(bad)


@pytest.mark.parametrize("bad", [0, -2, float("inf"), "x"], ids=["zero", "negative", "inf", "text"])
def test_bad_pixels_per_unit_are_refused(tmp_path, bad):
    with pytest.raises(ValueError, match="pixels per unit must be"):
        export.write_gltf(two_part_mesh(), tmp_path / "m.glb", pixels_per_unit=bad)


def test_write_hands_each_writer_only_its_options(tmp_path):
    mesh = two_part_mesh()
    export.write(mesh, "json", tmp_path / "a.json", pivot="bottom", filter="nearest")
    export.write_json(mesh, tmp_path / "b.json")
    assert (tmp_path / "a.json").read_text() == (tmp_path / "b.json").read_text()
    assert export.write(mesh, "obj", tmp_path / "m.obj", pivot=None, filter="nearest") == \
        [str(tmp_path / "m.obj"), str(tmp_path / "m.mtl")]
    (tmp_path / "d").mkdir()
    export.write_obj(mesh, tmp_path / "d" / "m.obj")
    assert (tmp_path / "m.obj").read_text() == (tmp_path / "d" / "m.obj").read_text(), \
        "pivot None keeps the writer's default"


# --- glTF -------------------------------------------------------------------------


@pytest.mark.parametrize("mode", MODES)
def test_gltf_layout_and_contents(tmp_path, sprite, mode):
    from pygltflib import GLTF2
    from pygltflib.validator import validate

    mesh = run_mode(mode, sprite)
    out = tmp_path / "m.glb"
    export.write_gltf(mesh, out)
    with pytest.warns(UserWarning, match="provisional"):
        validate(GLTF2().load(str(out)))  # raises on what it finds wrong
    doc, bin_ = read_glb(out)
    assert doc["asset"]["version"] == "2.0" and doc["scenes"][0]["nodes"] == [0]
    assert doc["asset"]["extras"]["vellumcut"]["source"] == "frame.png"
    for view in doc["bufferViews"]:
        assert view["byteOffset"] % 4 == 0
    (image,) = doc["images"]
    view = doc["bufferViews"][image["bufferView"]]
    assert image["mimeType"] == "image/png" and "target" not in view
    assert bin_[view["byteOffset"]:view["byteOffset"] + view["byteLength"]] == Path(sprite).read_bytes()
    (mat,) = doc["materials"]
    assert mat["alphaMode"] == "BLEND" and mat["doubleSided"] is True
    assert mat["pbrMetallicRoughness"]["baseColorTexture"]["index"] == 0
    assert doc["samplers"][0]["magFilter"] == 9729

    prims = doc["meshes"][0]["primitives"]
    n_tris = n_vertices = 0
    seen = set()
    for prim, part in zip(prims, [p for p in mesh.parts for _ in (p.rings if not len(p.triangles) else [0])]):
        pos_id = prim["attributes"]["POSITION"]
        pos = accessor(doc, bin_, pos_id)
        acc = doc["accessors"][pos_id]
        assert acc["min"] == pos.min(axis=0).tolist() and acc["max"] == pos.max(axis=0).tolist()
        assert (pos[:, 2] == 0).all()
        for key in ("POSITION", "TEXCOORD_0"):
            assert doc["bufferViews"][doc["accessors"][prim["attributes"][key]]["bufferView"]]["target"] == 34962
        idx_acc = doc["accessors"][prim["indices"]]
        assert doc["bufferViews"][idx_acc["bufferView"]]["target"] == 34963
        idx = accessor(doc, bin_, prim["indices"]).astype(np.int64)
        assert idx.max() < len(pos)
        if pos_id not in seen:
            seen.add(pos_id)
            n_vertices += len(pos)
        if len(part.triangles):
            assert prim["mode"] == 4
            t = pos[idx.reshape(-1, 3), :2].astype(np.float64)
            cross = ((t[:, 1, 0] - t[:, 0, 0]) * (t[:, 2, 1] - t[:, 0, 1])
                     - (t[:, 2, 0] - t[:, 0, 0]) * (t[:, 1, 1] - t[:, 0, 1]))
            assert (cross > 0).all(), "front faces are counter-clockwise seen from +z"
            # The same triangles, told apart by the part's vertex nearest to each
            # corner (float32 positions; the mesher's points need not be on a grid).
            px = pos[:, :2].astype(np.float64) * [100, -100] + [mesh.image_width / 2,
                                                                 mesh.image_height / 2]
            want = mesh.image_xy(part.vertices)
            dist = np.linalg.norm(px[:, None, :] - want[None, :, :], axis=2)
            nearest = dist.argmin(axis=1)
            assert dist[np.arange(len(px)), nearest].max() < 1e-3
            assert {frozenset(nearest[t]) for t in idx.reshape(-1, 3)} == \
                {frozenset(t) for t in part.triangles.tolist()}
            n_tris += len(idx) // 3
        else:
            assert prim["mode"] == 2 and sorted(idx.tolist()) == list(range(len(pos)))
    assert (n_vertices, n_tris) == (written_vertices(mesh), mesh.triangle_count)


@pytest.mark.parametrize("opts, material, sampler", [
    ({"alpha_mode": "MASK", "alpha_cutoff": 0.25}, {"alphaMode": "MASK", "alphaCutoff": 0.25}, 9729),
    ({"alpha_mode": "opaque", "filter": "nearest"}, {"alphaMode": "OPAQUE"}, 9728),
], ids=["mask", "opaque-nearest"])
def test_gltf_material_options(tmp_path, sprite, opts, material, sampler):
    export.write_gltf(vellumcut.earcut(sprite), tmp_path / "m.glb", **opts)
    doc, _ = read_glb(tmp_path / "m.glb")
    assert material.items() <= doc["materials"][0].items()
    assert "alphaCutoff" in doc["materials"][0] or "alphaCutoff" not in material
    assert {doc["samplers"][0][k] for k in ("magFilter", "minFilter")} == {sampler}


@pytest.mark.parametrize("fmt", ["obj", "gltf", "spine"])
def test_empty_meshes_and_groups_without_triangles_write_valid_files(tmp_path, fmt):
    """A group the mesher gave no triangle has nothing to draw and is left
    out; a mesh without parts still gives a file its client opens."""
    from pygltflib import GLTF2
    from pygltflib.validator import validate

    lonely = {"v": [40, 2, 44, 2, 44, 6, 40, 6], "idx": []}
    for groups, n_vertices in (([grid_group(2, 2, 4, 2), lonely], 9), ([], 0)):
        mesh = from_triangulate(triangulate_result(groups, 50, 20), 0)
        out = tmp_path / f"m{len(groups)}{export.FORMATS[fmt].suffix}"
        export.write(mesh, fmt, out)
        if fmt == "gltf":
            with pytest.warns(UserWarning, match="provisional"):
                validate(GLTF2().load(str(out)))
            doc, _ = read_glb(out)
            assert len(doc.get("meshes", [{"primitives": []}])[0]["primitives"]) == len(groups) // 2
            assert sum(a["count"] for a in doc.get("accessors", []) if a["type"] == "VEC3") == n_vertices
        elif fmt == "obj":
            v, _, faces, _, objects = read_obj(out.read_text())
            assert (len(v), len(faces), objects) == (n_vertices, 8 * (n_vertices > 0), ["part0"][:len(groups) // 2])
        else:
            doc = json.loads(out.read_text())
            assert [len(a["vertices"]) // 2 for a in check_spine(doc, mesh)] == [n_vertices][:len(groups) // 2]


def test_gltf_uses_32_bit_indices_past_65535_vertices(tmp_path):
    mesh = from_triangulate(triangulate_result([grid_group(0, 0, 1, 256)], 260, 260), 0)
    assert mesh.vertex_count == 257 * 257
    export.write_gltf(mesh, tmp_path / "big.glb")
    doc, bin_ = read_glb(tmp_path / "big.glb")
    (prim,) = doc["meshes"][0]["primitives"]
    assert doc["accessors"][prim["indices"]]["componentType"] == 5125
    assert accessor(doc, bin_, prim["indices"]).max() == mesh.vertex_count - 1
    assert "images" not in doc  # no source image: an untextured material


def test_gltf_reencodes_other_images_as_png_and_checks_their_size(tmp_path, write_png):
    from PIL import Image

    png = write_png(holes_and_islands())
    tif = tmp_path / "same.tif"
    Image.open(png).convert("RGBA").save(tif)
    mesh = vellumcut.earcut(png)
    export.write_gltf(mesh, tmp_path / "m.glb", texture=tif)
    doc, bin_ = read_glb(tmp_path / "m.glb")
    view = doc["bufferViews"][doc["images"][0]["bufferView"]]
    embedded = cv2.imdecode(np.frombuffer(bin_[view["byteOffset"]:][:view["byteLength"]], np.uint8),
                            cv2.IMREAD_UNCHANGED)
    np.testing.assert_array_equal(embedded, cv2.imread(png, cv2.IMREAD_UNCHANGED))
    small = write_png(np.full((8, 8), 255, np.uint8))
    with pytest.raises(ValueError, match="texture is 8x8 pixels but the mesh was made for a 72x48"):
        export.write_gltf(mesh, tmp_path / "x.glb", texture=small)


# --- Spine ------------------------------------------------------------------------


def check_spine(doc, mesh, pivot=(0.5, 0.5), ppu=1.0):
    """The documented layout, field by field; returns the mesh attachments."""
    assert re.fullmatch(r"4\.\d+\.\d+", doc["skeleton"]["spine"])
    assert doc["bones"] == [{"name": "root"}]
    (skin,) = doc["skins"]
    assert skin["name"] == "default"
    assert [s["name"] for s in doc["slots"]] == list(skin["attachments"])
    w, h = mesh.image_width, mesh.image_height
    meshes = []
    for slot in doc["slots"]:
        assert slot["bone"] == "root"
        att = skin["attachments"][slot["name"]][slot["attachment"]]
        if att["type"] == "boundingbox":
            assert len(att["vertices"]) == 2 * att["vertexCount"] >= 6
            continue
        if att["type"] == "region":
            assert (att["width"], att["height"]) == (w, h)
            continue
        assert att["type"] == "mesh" and (att["width"], att["height"]) == (w, h)
        xy, uv = np.reshape(att["vertices"], (-1, 2)), np.reshape(att["uvs"], (-1, 2))
        n = len(xy)
        assert len(uv) == n and len(att["triangles"]) % 3 == 0
        assert 0 <= min(att["triangles"]) and max(att["triangles"]) < n
        # y up against v down: the top row (v = 0) is the highest y.
        np.testing.assert_allclose(-xy[:, 1] * ppu + pivot[1] * h, uv[:, 1] * h, atol=1e-9)
        np.testing.assert_allclose(xy[:, 0] * ppu + pivot[0] * w, uv[:, 0] * w, atol=1e-9)
        edges = np.reshape(att["edges"], (-1, 2))
        assert (edges % 2 == 0).all() and edges.max() < 2 * n
        edges = edges // 2
        hull = att["hull"]
        assert hull >= 3
        # Hull first: the first `hull` vertices, in order, are an edge cycle
        # running counter-clockwise in Spine's y-up frame.
        ring = [(k, (k + 1) % hull) for k in range(hull)]
        assert set(ring) <= {tuple(e) for e in edges.tolist()}
        assert ring_area(xy[:hull] * [1, -1]) < 0  # negative with y down = counter-clockwise on screen
        tris = np.reshape(att["triangles"], (-1, 3))
        t = xy[tris]
        cross = ((t[:, 1, 0] - t[:, 0, 0]) * (t[:, 2, 1] - t[:, 0, 1])
                 - (t[:, 2, 0] - t[:, 0, 0]) * (t[:, 1, 1] - t[:, 0, 1]))
        assert (cross > 0).all()
        meshes.append(att)
    return meshes


@pytest.mark.parametrize("mode", MODES)
def test_spine_skeleton_of_holes_and_islands(tmp_path, sprite, mode):
    mesh = run_mode(mode, sprite)
    out = tmp_path / "out" / "frame.spine.json"
    out.parent.mkdir()
    export.write_spine(mesh, out)
    doc = json.loads(out.read_text())
    assert doc["skeleton"]["images"] == "../"
    meshes = check_spine(doc, mesh)
    if any(len(p.triangles) for p in mesh.parts):
        assert sum(len(a["triangles"]) // 3 for a in meshes) == mesh.triangle_count
        assert sum(len(a["uvs"]) // 2 for a in meshes) == written_vertices(mesh)
        assert {a["path"] for a in meshes} == {"frame"}
        # One edge cycle per boundary ring: the hull plus one per hole.
        rings = sum(len(p.rings) for p in mesh.parts)
        assert sum(len(a["edges"]) // 2 for a in meshes) == sum(len(r) for p in mesh.parts for r in p.rings)
        assert len(meshes) == sum(len(p.outer_rings) for p in mesh.parts) <= rings
        if mode == "earcut":
            assert len(meshes) == 3, "three islands, three attachments"
        assert any(a["hull"] < len(a["uvs"]) // 2 for a in meshes), "the hole's ring follows the hull"
    else:
        types = [a["type"] for s in doc["skins"][0]["attachments"].values() for a in s.values()]
        assert types == ["region"] + ["boundingbox"] * sum(len(p.rings) for p in mesh.parts)


def test_spine_splits_a_part_into_its_connected_pieces(tmp_path):
    """Two grids in one part (a mesher could group islands) become two
    attachments, each with its own hull."""
    a, b = grid_group(2, 2, 4, 2), grid_group(30, 2, 4, 3)
    merged = {"v": a["v"] + b["v"], "idx": a["idx"] + [k + len(a["v"]) // 2 for k in b["idx"]]}
    mesh = from_triangulate(triangulate_result([merged], 50, 20), 0)
    doc = export.to_spine_dict(mesh, pixels_per_unit=2, pivot="bottom")
    meshes = check_spine(doc, mesh, pivot=(0.5, 1.0), ppu=2)
    assert [s["name"] for s in doc["slots"]] == ["part0-0", "part0-1"]
    assert [a["hull"] for a in meshes] == [8, 12] and [len(a["uvs"]) // 2 for a in meshes] == [9, 16]


def test_spine_version_must_be_4x():
    with pytest.raises(ValueError, match="not a 4.x version"):
        export.to_spine_dict(two_part_mesh(), version="3.8.99")


# --- OBJ + MTL and JSON v2 ---------------------------------------------------------------


def test_obj_material_points_at_the_sprite(tmp_path, sprite):
    out = tmp_path / "deep" / "frame.obj"
    out.parent.mkdir()
    written = export.write_obj(vellumcut.earcut(sprite), out)
    assert written == [str(out), str(out.with_suffix(".mtl"))]
    obj = out.read_text().splitlines()
    mtl = dict(line.split(" ", 1) for line in out.with_suffix(".mtl").read_text().splitlines()
               if line and not line.startswith("#"))
    assert "mtllib frame.mtl" in obj and f"usemtl {mtl['newmtl']}" in obj
    for key in ("map_Kd", "map_d"):
        assert mtl[key] == "../frame.png" and os.path.samefile(out.parent / mtl[key], sprite)


@pytest.mark.parametrize("mode", MODES)
def test_json_v2_is_compact_versioned_and_relative(tmp_path, sprite, mode):
    mesh = run_mode(mode, sprite)
    out = tmp_path / "a" / "b" / "frame.json"
    out.parent.mkdir(parents=True)
    export.write_json(mesh, out)
    text = out.read_text()
    doc = json.loads(text)
    assert doc["format_version"] == export.JSON_FORMAT_VERSION == 2
    assert doc["source"] == "../../frame.png" and os.path.samefile(out.parent / doc["source"], sprite)
    assert doc["parts"] == export.to_json_dict(mesh)["parts"]
    # One line per array: each of a part's lists is a whole JSON value on its line.
    for key in ("vertices", "uvs", "triangles", "outlines"):
        lines = [ln for ln in text.splitlines() if ln.lstrip().startswith(f'"{key}": [')]
        assert [json.loads(ln.split(":", 1)[1].rstrip(",")) for ln in lines] == [p[key] for p in doc["parts"]]
    # No line per number: 16 lines of header, a part in 7, and the parameters
    # on one line unless they are too long for it (mesh_sprite's are).
    param_lines = len(export.dumps_compact(doc["parameters"], level=1).splitlines())
    assert len(text.splitlines()) == 15 + param_lines + 7 * len(mesh.parts)


# --- real sprites, every format ------------------------------------------------------


def a_few(real_sprites, n=4):
    step = max(len(real_sprites) // n, 1)
    return [str(p) for p in real_sprites[::step][:n]]


@pytest.mark.parametrize("mode", MODES)
def test_real_sprites_through_every_format(tmp_path, real_sprites, mode):
    for src in a_few(real_sprites):
        mesh = run_mode(mode, src)
        stem = tmp_path / Path(src).stem
        for fmt, entry in export.FORMATS.items():
            for path in export.write(mesh, fmt, str(stem) + entry.suffix):
                assert os.path.getsize(path) > 0
        check_spine(json.loads(Path(str(stem) + ".spine.json").read_text()), mesh)
        doc, _ = read_glb(str(stem) + ".glb")
        assert sum(doc["accessors"][p["attributes"]["POSITION"]]["count"]
                   for p in doc["meshes"][0]["primitives"] if p["mode"] == 4) == \
            written_vertices(mesh) * bool(mesh.triangle_count)
        assert json.loads(Path(str(stem) + ".json").read_text())["counts"]["triangles"] == mesh.triangle_count


# --- the command line -------------------------------------------------------------------


def vellumcut_cli(*args, cwd):
    exe = Path(sys.executable).with_name("vellumcut")
    return subprocess.run([str(exe), *map(str, args)], capture_output=True, text=True, cwd=cwd, timeout=120)


@pytest.mark.parametrize("fmt, extra, outputs", [
    ("gltf", ["--pivot", "bottom", "--filter", "nearest", "--alpha-mode", "mask", "--alpha-cutoff", "0.4"],
     ["frame.glb"]),
    ("spine", ["--pixels-per-unit", "2", "--pivot", "0.5,0.5"], ["frame.spine.json"]),
    ("obj", ["--pivot", "center"], ["frame.obj", "frame.mtl"]),
], ids=["gltf", "spine", "obj"])
def test_cli_writes_the_engine_formats(tmp_path, sprite, fmt, extra, outputs):
    proc = vellumcut_cli("earcut", sprite, "-o", "out", "-f", fmt, *extra, cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert sorted(n for n in os.listdir(tmp_path / "out") if not n.startswith(".")) == sorted(outputs)
    assert ", ".join(f"out/{o}" for o in outputs) in proc.stdout
    if fmt == "gltf":
        doc, _ = read_glb(tmp_path / "out" / "frame.glb")
        assert doc["materials"][0]["alphaCutoff"] == 0.4 and doc["samplers"][0]["magFilter"] == 9728
        assert doc["asset"]["extras"]["vellumcut"]["pivot"] == [0.5, 1]


@pytest.mark.parametrize("args, message", [
    (["-f", "json", "--pivot", "center"], "--pivot applies to --format obj, godot, gltf or spine, not json"),
    (["-f", "obj", "--filter", "nearest"], "--filter applies to --format gltf, not obj"),
    (["-f", "gltf", "--pixels-per-unit", "0"], "pixels per unit must be a positive number"),
    (["-f", "gltf", "--alpha-cutoff", "0.3"], "--alpha-cutoff needs --alpha-mode mask"),
    (["-f", "spine", "--pivot", "feet"], "pivot 'feet' is neither one of center, bottom, top-left"),
], ids=["pivot-json", "filter-obj", "ppu-zero", "cutoff-blend", "pivot-name"])
def test_cli_refuses_options_that_do_not_apply(tmp_path, sprite, args, message):
    proc = vellumcut_cli("earcut", sprite, "-o", "out", *args, cwd=tmp_path)
    assert proc.returncode == 2 and message in proc.stderr
    assert not (tmp_path / "out").exists()


# --- Blender ------------------------------------------------------------------------------

BLENDER_FORMATS = ("gltf", "obj")


@pytest.fixture(scope="session")
def blender_imports(blender, tmp_path_factory, real_sprites):
    """Every mode of a generated sprite (detailed) and of a few real ones,
    as glTF and OBJ, imported by one Blender run: {(name, fmt, mode): entry}."""
    root = tmp_path_factory.mktemp("blender")
    img = np.zeros((48, 72, 4), np.uint8)
    img[..., 2] = 180
    img[..., 3] = holes_and_islands()
    cv2.imwrite(str(root / "frame.png"), img)
    cases, files = {}, []
    for name, src in [("frame", str(root / "frame.png"))] + [(Path(p).stem, p) for p in a_few(real_sprites)]:
        for mode in MODES:
            mesh = run_mode(mode, src)
            for fmt in BLENDER_FORMATS:
                out = root / f"{name}-{mode}{export.FORMATS[fmt].suffix}"
                opts = {"pivot": "bottom", "pixels_per_unit": 16} if name == "frame" else {}
                export.write(mesh, fmt, out, **opts)
                cases[(name, fmt, mode)] = (str(out), mesh, opts)
                files.append(str(out))
        if name == "frame":  # the glTF material options, as Blender reads them
            opts = {"pivot": "top-left", "pixels_per_unit": 8, "alpha_mode": "MASK", "alpha_cutoff": 0.3,
                    "filter": "nearest"}
            out = root / "frame-mask.glb"
            export.write_gltf(run_mode("earcut", src), out, **opts)
            cases[("frame-mask", "gltf", "earcut")] = (str(out), run_mode("earcut", src), opts)
            files.append(str(out))
    detailed = [f for f in files if Path(f).name.startswith("frame-")]
    rep = run_blender(blender, SCRIPTS / "import_report.py", "--detail", *detailed)["files"]
    rep += run_blender(blender, SCRIPTS / "import_report.py", *[f for f in files if f not in detailed])["files"]
    by_file = {e["file"]: e for e in rep}
    return {key: (by_file[path], mesh, opts) for key, (path, mesh, opts) in cases.items()}


@pytest.mark.blender
@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("fmt", BLENDER_FORMATS)
def test_blender_imports_counts_uvs_and_material(blender_imports, fmt, mode):
    for (name, f, m), (entry, mesh, opts) in blender_imports.items():
        if (f, m) != (fmt, mode):
            continue
        assert "error" not in entry, entry["error"]
        objs = [o for o in entry["objects"] if o["type"] == "MESH"]
        assert sum(o["vertices"] for o in objs) == written_vertices(mesh), name
        assert sum(o["faces"] for o in objs) == mesh.triangle_count, name
        if not mesh.triangle_count:
            assert sum(o["loose_edges"] for o in objs) == mesh.vertex_count, "every outline edge arrived"
        for o in objs:
            assert o["uv_layers"] and o["face_sizes"] in ([], [3])
            (mat,) = o["materials"]
            img = mat["images"][0]
            assert img["size"] == [mesh.image_width, mesh.image_height] and img["has_data"]
            assert img["packed"] == (fmt == "gltf")
            assert mat["links"]["Base Color"] == "Color" and mat["links"]["Alpha"] == "Alpha"
            if opts.get("alpha_mode") == "MASK":
                assert (mat["blend_method"], mat["alpha_threshold"]) == ("CLIP", pytest.approx(0.3))
            else:
                assert mat["blend_method"] == "BLEND"
            assert img["interpolation"] == ("Closest" if opts.get("filter") == "nearest" else "Linear")
            if o.get("corners"):
                check_blender_uvs(o, mesh, opts)


def check_blender_uvs(obj, mesh, opts):
    """Blender stands the sprite up in its x-z plane (both importers turn y up
    into z up) with v flipped: each corner's UV must still name the texel
    its vertex sits on, and faces must look towards -y (the front view)."""
    fx, fy = export.parse_pivot(opts["pivot"])
    ppu = opts["pixels_per_unit"]
    w, h = mesh.image_width, mesh.image_height
    pos = np.array(obj["positions"])
    assert np.abs(pos[:, 1]).max() < 1e-6
    idx = np.array([c[0] for c in obj["corners"]])
    uv = np.array([c[1] for c in obj["corners"]])
    np.testing.assert_allclose(pos[idx, 0] * ppu + fx * w, uv[:, 0] * w, atol=1e-3)
    np.testing.assert_allclose(-pos[idx, 2] * ppu + fy * h, (1 - uv[:, 1]) * h, atol=1e-3)
    if obj["normals"]:
        assert (np.array(obj["normals"])[:, 1] < -0.99).all()
