"""Writers for rigged sprites (`vellumcut.rig.RiggedSprite`): JSON, glTF 2.0
skins, Spine 4.x weighted meshes and Godot 4 Skeleton2D scenes.

Each builds on the unrigged writer of `vellumcut.export` and adds the bones
and weights, so that a rigged file places the sprite exactly where the
unrigged one does. Bones are placed like vertices (pivot, pixels per unit,
y up except in Godot). Each bone's rest frame has its origin at the head;
glTF turns the local +Y axis along the bone (Blender's convention), Spine
and Godot the local +X axis (theirs).
"""
from __future__ import annotations

import math
import os
import re
import struct
from pathlib import Path
from typing import Any, Callable, Sequence

import numpy as np

from vellumcut import export
from vellumcut.export import Placement, _num, dumps_compact, used_vertices
from vellumcut.meshes import SpriteMesh


def _placed_bones(rigged: Any, place: Placement, y_up: bool) -> tuple[np.ndarray, np.ndarray]:
    """(heads, tails) of every bone, placed like the vertices: (n_bones, 2) each."""
    mesh = rigged.mesh
    heads = place.place(mesh, np.array([b.head for b in rigged.bones], np.float64).reshape(-1, 2), y_up)
    tails = place.place(mesh, np.array([b.tail for b in rigged.bones], np.float64).reshape(-1, 2), y_up)
    return heads, tails


def _angles(heads: np.ndarray, tails: np.ndarray) -> np.ndarray:
    """Direction of each bone in radians from +x (0 for a bone without length)."""
    d = tails - heads
    return np.where(np.hypot(d[:, 0], d[:, 1]) > 0, np.arctan2(d[:, 1], d[:, 0]), 0.0)


def _local(bones: list, heads: np.ndarray, angles: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Each bone's head and angle in its parent's frame (origin at the
    parent's head, x along the parent's angle)."""
    pos = heads.copy()
    rot = angles.copy()
    for k, b in enumerate(bones):
        if b.parent is None:
            continue
        p = b.parent
        c, s = math.cos(angles[p]), math.sin(angles[p])
        dx, dy = heads[k] - heads[p]
        pos[k] = (c * dx + s * dy, -s * dx + c * dy)
        rot[k] = angles[k] - angles[p]
    return pos, rot


def _sparse_rows(w: np.ndarray) -> list[list[tuple[int, float]]]:
    """Per vertex the (bone, weight) pairs with weight > 0, heaviest first."""
    out = []
    for row in w:
        nz = np.flatnonzero(row)
        nz = nz[np.argsort(-row[nz], kind="stable")]
        out.append([(int(k), float(row[k])) for k in nz])
    return out


# --- JSON -------------------------------------------------------------------------------


def to_json_dict(rigged: Any, relative_to: str | os.PathLike | None = None) -> dict[str, Any]:
    """The mesh's JSON document plus "skeleton" (the `--skeleton` layout, image
    pixels) and, per part, "weights": per vertex a list of [bone index, weight]."""
    doc = export.to_json_dict(rigged.mesh, relative_to)
    doc["skeleton"] = rigged.skeleton_dict()
    doc["counts"]["bones"] = len(rigged.bones)
    doc["weights"] = ("per part, per vertex: [bone index, weight] pairs, heaviest first; weights are "
                      "at least 0 and sum to 1")
    for part, w in zip(doc["parts"], rigged.weights):
        part["weights"] = [[[k, v] for k, v in row] for row in _sparse_rows(w)]
    return doc


def write_json(rigged: Any, path: str | os.PathLike, **_: Any) -> list[str]:
    Path(path).write_text(dumps_compact(to_json_dict(rigged, path)) + "\n", encoding="utf-8")
    return [os.fspath(path)]


# --- glTF 2.0 skin ----------------------------------------------------------------------


def _quat_z(angle: float) -> list[float]:
    return [0.0, 0.0, math.sin(angle / 2), math.cos(angle / 2)]


def to_gltf(rigged: Any, texture: Any = None, *, pixels_per_unit: float = 100.0,
            pivot: str | Sequence[float] = "center", source: str | None = None,
            **options: Any) -> tuple[dict[str, Any], bytes]:
    """The unrigged document (`export.to_gltf`) with a skin: one node per
    bone, `inverseBindMatrices`, JOINTS_n/WEIGHTS_n on every primitive."""
    mesh: SpriteMesh = rigged.mesh
    doc, blob = export.to_gltf(mesh, texture, pixels_per_unit=pixels_per_unit, pivot=pivot,
                               source=source, **options)
    if "meshes" not in doc:
        return doc, blob
    place = Placement.of(mesh, pivot, pixels_per_unit)
    heads, tails = _placed_bones(rigged, place, y_up=True)
    # Local +Y along the bone: the rotation about z is the direction minus 90 degrees.
    world = _angles(heads, tails) - math.pi / 2
    pos, rot = _local(rigged.bones, heads, world)

    bin_ = export._BinBuilder()
    bin_.data = bytearray(blob)
    bin_.views = doc.setdefault("bufferViews", [])
    bin_.accessors = doc.setdefault("accessors", [])
    sets = max(1, math.ceil(max((int(np.count_nonzero(w, axis=1).max(initial=0)) for w in rigged.weights),
                                default=1) / 4))
    prims = iter(doc["meshes"][0]["primitives"])
    for part, w in zip(mesh.parts, rigged.weights):
        if not len(part.triangles):
            continue
        keep = np.unique(part.triangles)
        if len(keep) == len(part.vertices):
            keep = np.arange(len(part.vertices))
        rows = _sparse_rows(w[keep])
        joints = np.zeros((len(rows), 4 * sets), np.uint16)
        weights = np.zeros((len(rows), 4 * sets), np.float32)
        for i, row in enumerate(rows):
            for j, (bone, v) in enumerate(row):
                joints[i, j], weights[i, j] = bone, v
            # float32 sums must still be 1: the heaviest takes the rounding.
            weights[i, 0] = np.float32(1.0) - weights[i, 1:].sum(dtype=np.float32)
        attrs = next(prims)["attributes"]
        for n in range(sets):
            attrs[f"JOINTS_{n}"] = bin_.accessor(np.ascontiguousarray(joints[:, 4 * n:4 * n + 4]), "VEC4",
                                                 export._ARRAY_BUFFER)
            attrs[f"WEIGHTS_{n}"] = bin_.accessor(np.ascontiguousarray(weights[:, 4 * n:4 * n + 4]), "VEC4",
                                                  export._ARRAY_BUFFER)
    ibm = np.zeros((len(rigged.bones), 4, 4), np.float32)
    first = len(doc["nodes"])
    children: dict[int, list[int]] = {}
    for k, b in enumerate(rigged.bones):
        c, s = math.cos(world[k]), math.sin(world[k])
        hx, hy = heads[k]
        # Inverse of the bone's rest world matrix T(head) Rz(angle); stored column-major.
        inv = np.array([[c, s, 0, -(c * hx + s * hy)], [-s, c, 0, -(-s * hx + c * hy)],
                        [0, 0, 1, 0], [0, 0, 0, 1]], np.float64)
        ibm[k] = inv.T
        node: dict[str, Any] = {"name": b.name, "translation": [float(pos[k][0]), float(pos[k][1]), 0.0],
                                "rotation": _quat_z(float(rot[k]))}
        doc["nodes"].append(node)
        if b.parent is not None:
            children.setdefault(b.parent, []).append(first + k)
    for k, kids in children.items():
        doc["nodes"][first + k]["children"] = kids
    doc["nodes"][0]["skin"] = 0
    doc["scenes"][0]["nodes"].append(first)
    doc["skins"] = [{"name": doc["nodes"][0].get("name", "sprite"), "skeleton": first,
                     "joints": [first + k for k in range(len(rigged.bones))],
                     "inverseBindMatrices": bin_.accessor(ibm.reshape(-1, 16), "MAT4", export._ARRAY_BUFFER)}]
    # Matrices are no vertex attribute: their view must not name a target.
    doc["bufferViews"][doc["accessors"][-1]["bufferView"]].pop("target", None)
    bin_.data += b"\0" * (-len(bin_.data) % 4)
    doc["buffers"] = [{"byteLength": len(bin_.data)}]
    doc["asset"]["extras"]["vellumcut"]["bones"] = len(rigged.bones)
    return doc, bytes(bin_.data)


def write_gltf(rigged: Any, path: str | os.PathLike, texture: Any = None, *,
               pixels_per_unit: float = 100.0, pivot: str | Sequence[float] = "center",
               filter: str = "linear", alpha_mode: str = "BLEND", alpha_cutoff: float = 0.5) -> list[str]:
    """Binary glTF 2.0 as `export.write_gltf`, skinned: the mesh node is
    bound to a skin whose joints are the bones (rest translation and
    rotation about z relative to the parent, local +Y along the bone)."""
    import json

    doc, blob = to_gltf(rigged, texture, pixels_per_unit=pixels_per_unit, pivot=pivot, filter=filter,
                        alpha_mode=alpha_mode, alpha_cutoff=alpha_cutoff,
                        source=export._relative_source(rigged.mesh, path))
    text = json.dumps(doc, separators=(",", ":"), allow_nan=False).encode("utf-8")
    text += b" " * (-len(text) % 4)
    total = 12 + 8 + len(text) + (8 + len(blob) if blob else 0)
    with open(path, "wb") as f:
        f.write(struct.pack("<III", export._GLB_MAGIC, 2, total))
        f.write(struct.pack("<II", len(text), export._GLB_JSON) + text)
        if blob:
            f.write(struct.pack("<II", len(blob), export._GLB_BIN) + blob)
    return [os.fspath(path)]


# --- Spine 4.x weighted meshes -------------------------------------------------------------


def spine_bones(rigged: Any, place: Placement) -> tuple[list[dict[str, Any]], np.ndarray, np.ndarray]:
    """Spine's bone records (parents first: x, y, rotation in degrees and
    length relative to the parent), and each bone's world head and angle."""
    heads, tails = _placed_bones(rigged, place, y_up=True)
    angles = _angles(heads, tails)
    pos, rot = _local(rigged.bones, heads, angles)
    out = []
    for k, b in enumerate(rigged.bones):
        rec: dict[str, Any] = {"name": b.name}
        if b.parent is not None:
            rec["parent"] = rigged.bones[b.parent].name
        rec.update({"x": _num(round(float(pos[k][0]), 6)), "y": _num(round(float(pos[k][1]), 6)),
                    "rotation": _num(round(math.degrees(float(rot[k])), 6)),
                    "length": _num(round(float(np.hypot(*(tails[k] - heads[k]))), 6))})
        out.append(rec)
    return out, heads, angles


def to_spine_dict(rigged: Any, images: str = "./", *, pixels_per_unit: float = 1.0,
                  pivot: str | Sequence[float] = "center", version: str = export.SPINE_VERSION) -> dict[str, Any]:
    mesh = rigged.mesh
    place = Placement.of(mesh, pivot, pixels_per_unit)
    records, heads, angles = spine_bones(rigged, place)
    # Spine composes a bone's world transform from the rounded numbers it
    # reads: bind positions are computed from the same numbers.
    world_head = np.zeros_like(heads)
    world_angle = np.zeros(len(records))
    for k, (rec, b) in enumerate(zip(records, rigged.bones)):
        a, x, y = math.radians(rec["rotation"]), rec["x"], rec["y"]
        if b.parent is None:
            world_head[k], world_angle[k] = (x, y), a
        else:
            p = b.parent
            c, s = math.cos(world_angle[p]), math.sin(world_angle[p])
            world_head[k] = world_head[p] + (c * x - s * y, s * x + c * y)
            world_angle[k] = world_angle[p] + a

    def weigh(part_index: int, order: list[int]) -> list[float | int]:
        part, w = mesh.parts[part_index], rigged.weights[part_index]
        xy = place.place(mesh, part.vertices[order], y_up=True)
        out: list[float | int] = []
        for (vx, vy), row in zip(xy, _sparse_rows(w[order])):
            out.append(len(row))
            for k, wt in row:
                c, s = math.cos(world_angle[k]), math.sin(world_angle[k])
                dx, dy = vx - world_head[k][0], vy - world_head[k][1]
                out += [k, _num(c * dx + s * dy), _num(-s * dx + c * dy), wt]
        return out

    return export.to_spine_dict(mesh, images, pixels_per_unit=pixels_per_unit, pivot=pivot, version=version,
                                bones=records, weigh=weigh)


def write_spine(rigged: Any, path: str | os.PathLike, *, pixels_per_unit: float = 1.0,
                pivot: str | Sequence[float] = "center", version: str = export.SPINE_VERSION) -> list[str]:
    """Spine 4.x skeleton JSON as `export.write_spine`, with the bones and a
    weighted mesh attachment per piece: per vertex the bone count, then for
    each bone its index, the vertex in the bone's frame (bind x, bind y) and
    the weight. In the setup pose the vertices land where the unweighted
    export puts them."""
    images = export._relative_source(rigged.mesh, path)
    folder = (images.rsplit("/", 1)[0] + "/") if images and "/" in images else "./"
    doc = to_spine_dict(rigged, folder, pixels_per_unit=pixels_per_unit, pivot=pivot, version=version)
    Path(path).write_text(dumps_compact(doc, indent=2) + "\n", encoding="utf-8")
    return [os.fspath(path)]


# --- Godot 4 Skeleton2D --------------------------------------------------------------------


def _f(x: float) -> str:
    return repr(_num(round(float(x), 6)))


def godot_names(names: list[str]) -> list[str]:
    """Bone names as Godot node names: Godot renames a node whose name holds
    . : @ / " % (or a quote breaking the scene file), which would break the
    Polygon2Ds' NodePaths, so those become _ here, kept unique."""
    out: list[str] = []
    taken: set[str] = set()
    for name in names:
        base = re.sub(r'[.:@/"%\\\s]', "_", name) or "bone"
        new, n = base, 1
        while new in taken:
            n += 1
            new = f"{base}_{n}"
        taken.add(new)
        out.append(new)
    return out


def godot_order(part: Any) -> np.ndarray:
    """Vertex order for Polygon2D: the outer ring first (Godot's outline), then
    every other vertex (hole rings, interior), the internal vertices."""
    outer = part.outer_rings
    ring = max(outer, key=len) if outer else np.zeros(0, np.int64)
    rest = np.setdiff1d(np.arange(len(part.vertices)), ring, assume_unique=False)
    return np.concatenate([np.asarray(ring, np.int64), rest]).astype(np.int64)


def write_godot(rigged: Any, path: str | os.PathLike, texture: str | None = None, *,
                pixels_per_unit: float = 1.0, pivot: str | Sequence[float] = "top-left") -> list[str]:
    """Godot 4 scene: a Node2D holding a Skeleton2D (Bone2D children nested as
    the bones, with rest transforms, `length` and x along the bone) and one
    Polygon2D per part, bound to the skeleton: `skeleton`, `bones` (per bone
    its NodePath under the Skeleton2D and one weight per polygon vertex),
    outline vertices first and the others counted by `internal_vertex_count`."""
    mesh = rigged.mesh
    path = Path(path)
    place = Placement.of(mesh, pivot, pixels_per_unit)
    if texture is None:
        texture = export._relative_source(mesh, path)
    heads, tails = _placed_bones(rigged, place, y_up=False)
    angles = _angles(heads, tails)
    pos, rot = _local(rigged.bones, heads, angles)
    names = godot_names([b.name for b in rigged.bones])
    paths: list[str] = []
    for b, name in zip(rigged.bones, names):
        paths.append(name if b.parent is None else paths[b.parent] + "/" + name)
    out = ["[gd_scene load_steps=2 format=3]" if texture else "[gd_scene format=3]", ""]
    if texture:
        out += [f'[ext_resource type="Texture2D" path="{texture}" id="1_sprite"]', ""]
    root = export._node_name(Path(mesh.source).stem if mesh.source else "Sprite")
    out += [f'[node name="{root}" type="Node2D"]', "", '[node name="Skeleton2D" type="Skeleton2D" parent="."]', ""]
    for k, b in enumerate(rigged.bones):
        parent = "Skeleton2D" if b.parent is None else "Skeleton2D/" + paths[b.parent]
        c, s = math.cos(rot[k]), math.sin(rot[k])
        x, y = pos[k]
        out += [f'[node name="{names[k]}" type="Bone2D" parent="{parent}"]',
                f"position = Vector2({_f(x)}, {_f(y)})",
                f"rotation = {_f(rot[k])}",
                f"rest = Transform2D({_f(c)}, {_f(s)}, {_f(-s)}, {_f(c)}, {_f(x)}, {_f(y)})",
                "auto_calculate_length_and_angle = false",
                f"length = {_f(max(b.length / place.pixels_per_unit, 1e-3))}",
                "bone_angle = 0.0", ""]
    for i, (part, w) in enumerate(zip(mesh.parts, rigged.weights)):
        order = godot_order(part)
        new = np.empty(len(order), np.int64)
        new[order] = np.arange(len(order))
        outline = len(max(part.outer_rings, key=len)) if part.outer_rings else 0
        out.append(f'[node name="part{i}" type="Polygon2D" parent="."]')
        if texture:
            out.append('texture = ExtResource("1_sprite")')
        out.append('skeleton = NodePath("../Skeleton2D")')
        out.append(f"polygon = {export._packed_vec2(place.place(mesh, part.vertices[order], y_up=False))}")
        out.append(f"uv = {export._packed_vec2(mesh.image_xy(part.vertices[order]))}")
        if len(part.triangles):
            polys = ", ".join("PackedInt32Array(%d, %d, %d)" % tuple(t) for t in new[part.triangles])
            out.append(f"polygons = [{polys}]")
        pairs = []
        for k in range(len(rigged.bones)):
            col = w[order, k]
            pairs.append(f'NodePath("{paths[k]}"), PackedFloat32Array({", ".join(_f(v) for v in col)})')
        out.append(f"bones = [{', '.join(pairs)}]")
        out.append(f"internal_vertex_count = {len(order) - outline}")
        out.append("")
    path.write_text("\n".join(out), encoding="utf-8")
    return [os.fspath(path)]


WRITERS: dict[str, Callable[..., list[str]]] = {"json": write_json, "gltf": write_gltf, "spine": write_spine,
                                                "godot": write_godot}
