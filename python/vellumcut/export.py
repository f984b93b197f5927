"""Writers for JSON, Wavefront OBJ + MTL, Godot 4 scenes, binary glTF 2.0 and
Spine 4.x skeleton JSON.

Vertex positions and UVs follow the conventions of `vellumcut.meshes`. JSON
keeps the core's mask-frame coordinates (margin included, y down) next to
UVs in 0..1 of the original image. The other formats place the sprite:
image pixels (x - m + 0.5, y - m + 0.5), texel-edge origin at the image's
top-left corner, minus the *pivot* (a point given in fractions of the image
size, measured from the top-left corner, y down), divided by the *pixels
per unit*. OBJ, glTF and Spine then flip y so that it points up; Godot's 2D
keeps y down. A vertex on a pixel centre thus lands on the centre of the
same texel, whatever the pivot and scale.

Triangles of the y-up formats (OBJ, glTF, Spine) are written
counter-clockwise seen from +z, which is how the sprite looks on screen;
Godot and JSON keep the meshers' order (earcut and poisson give triangles
clockwise in the y-down mask frame, which is the same turning on screen).
"""
from __future__ import annotations

import base64
import functools
import hashlib
import io
import json
import math
import os
import platform
import re
import struct
from dataclasses import dataclass
from importlib import metadata
from pathlib import Path
from typing import Any, Callable, Sequence

import numpy as np

from vellumcut.meshes import SpriteMesh, boundary_rings, ring_area, triangle_areas

# Version of the JSON layout: 1 had no `format_version` key and stored
# `source` as the caller gave it; 2 stores it relative to the JSON file.
JSON_FORMAT_VERSION = 2
SPINE_VERSION = "4.2.00"

UV_RULE = ("u = (x - border + 0.5) / image.width, v = (y - border + 0.5) / image.height, "
           "x and y being mask pixels (y down, border = max(margin, 0)); v = 0 is the top row")

PIVOTS = {"center": (0.5, 0.5), "bottom": (0.5, 1.0), "top-left": (0.0, 0.0)}
# Where each format puts the origin and how many pixels make one unit, by
# default: OBJ and Godot keep the image's top-left corner and pixels (as
# before pivots existed); Spine works in pixels around the image centre like
# its region attachments; glTF works in metres, so 100 pixels make a metre.
DEFAULT_PIVOT = {"obj": "top-left", "godot": "top-left", "gltf": "center", "spine": "center"}
DEFAULT_PIXELS_PER_UNIT = {"obj": 1.0, "godot": 1.0, "gltf": 100.0, "spine": 1.0}
GLTF_FILTERS = ("linear", "nearest")
GLTF_ALPHA_MODES = ("BLEND", "MASK", "OPAQUE")


def versions() -> dict[str, str]:
    """Versions of what produced a file, for reproducibility."""
    return dict(_versions())


@functools.lru_cache(maxsize=1)
def _versions() -> tuple[tuple[str, str], ...]:
    # Reading package metadata takes milliseconds: once per process, not per file.
    out = {}
    for dist in ("vellumcut", "numpy", "Pillow"):
        try:
            out[dist] = metadata.version(dist)
        except metadata.PackageNotFoundError:
            out[dist] = "not installed"
    out["python"] = platform.python_version()
    return tuple(out.items())


def _num(x: float) -> float | int:
    """Whole numbers as ints keep files short; others stay exact floats."""
    f = float(x)
    return int(f) if f.is_integer() and abs(f) < 2**53 else f


def _fmt(x: float) -> str:
    return repr(_num(x))


def _generator() -> str:
    try:
        return f"vellumcut {metadata.version('vellumcut')}"
    except metadata.PackageNotFoundError:
        return "vellumcut"


def _relative_source(mesh: SpriteMesh, out_path: str | os.PathLike) -> str | None:
    """The source image relative to the folder of `out_path`, with `/` separators."""
    if not mesh.source:
        return None
    rel = os.path.relpath(Path(mesh.source).resolve(), Path(out_path).resolve().parent)
    return rel.replace(os.sep, "/")


# --- placement: pivot and pixels per unit ---------------------------------------


def parse_pivot(pivot: str | Sequence[float]) -> tuple[float, float]:
    """`center`, `bottom`, `top-left`, "X,Y" or a pair: fractions of the image
    size from its top-left corner (y down). Values outside 0..1 put the
    origin outside the image, which is allowed (feet below the picture)."""
    if isinstance(pivot, str):
        key = pivot.strip().lower()
        if key in PIVOTS:
            return PIVOTS[key]
        pieces = key.split(",")
        try:
            if len(pieces) != 2:
                raise ValueError
            fx, fy = float(pieces[0]), float(pieces[1])
        except ValueError:
            raise ValueError(f"pivot {pivot!r} is neither one of {', '.join(PIVOTS)} nor two "
                             "fractions of the image such as 0.5,1") from None
    else:
        try:
            fx, fy = (float(v) for v in pivot)
        except (TypeError, ValueError):
            raise ValueError(f"pivot {pivot!r} must be a name or a pair of numbers") from None
    if not (math.isfinite(fx) and math.isfinite(fy)):
        raise ValueError(f"pivot {pivot!r} must be finite")
    return fx, fy


def check_pixels_per_unit(value: float) -> float:
    try:
        f = float(value)
    except (TypeError, ValueError):
        raise ValueError(f"pixels per unit must be a number, not {value!r}") from None
    if not (math.isfinite(f) and f > 0):
        raise ValueError(f"pixels per unit must be a positive number, not {value!r}")
    return f


@dataclass(frozen=True)
class Placement:
    """Origin (pivot, image pixels) and scale of a placed sprite."""

    origin_x: float
    origin_y: float
    pixels_per_unit: float

    @classmethod
    def of(cls, mesh: SpriteMesh, pivot: str | Sequence[float], pixels_per_unit: float) -> "Placement":
        fx, fy = parse_pivot(pivot)
        return cls(fx * mesh.image_width, fy * mesh.image_height, check_pixels_per_unit(pixels_per_unit))

    def place(self, mesh: SpriteMesh, vertices: np.ndarray, y_up: bool) -> np.ndarray:
        """Mask-frame vertices to placed (N, 2) coordinates."""
        xy = mesh.image_xy(vertices) - (self.origin_x, self.origin_y)
        xy /= self.pixels_per_unit
        if y_up:
            xy[:, 1] *= -1.0
        return xy + 0.0  # no negative zeros in the files

    def describe(self, mesh: SpriteMesh) -> dict[str, Any]:
        return {"pixels_per_unit": _num(self.pixels_per_unit),
                "pivot": [_num(self.origin_x / mesh.image_width), _num(self.origin_y / mesh.image_height)]}


def front_facing(part_vertices: np.ndarray, triangles: np.ndarray) -> np.ndarray:
    """Triangles turned counter-clockwise once y points up (as seen on screen).

    The picture looks the same in a y-up viewer, so counter-clockwise there
    is counter-clockwise on screen: a negative mask-frame area.
    """
    tris = np.array(triangles, np.int64).reshape(-1, 3)
    if len(tris):
        cw = triangle_areas(part_vertices[tris]) > 0
        tris[cw] = tris[cw][:, ::-1]
    return tris


def used_vertices(part_vertices: np.ndarray, triangles: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """(vertices, triangles) without the vertices no triangle uses.

    The meshed formats leave such vertices out: importers drop them anyway
    (Blender does), and they would widen bounds and confuse weight painting.
    The Poisson mesher can leave a few outline points unused.
    """
    tris = np.asarray(triangles, np.int64).reshape(-1, 3)
    keep = np.unique(tris)
    if len(keep) == len(part_vertices):
        return part_vertices, tris
    remap = np.full(len(part_vertices), -1, np.int64)
    remap[keep] = np.arange(len(keep))
    return part_vertices[keep], remap[tris]


# --- JSON -------------------------------------------------------------------------


def to_json_dict(mesh: SpriteMesh, relative_to: str | os.PathLike | None = None) -> dict[str, Any]:
    """The JSON document; `source` is made relative to the folder of
    `relative_to` (the output file) when it is given."""
    parts = []
    for p in mesh.parts:
        parts.append({
            "vertices": [[_num(x), _num(y)] for x, y in p.vertices],
            "uvs": [[float(u), float(v)] for u, v in mesh.uvs(p.vertices)],
            "triangles": p.triangles.tolist(),
            "outlines": [r.tolist() for r in p.outer_rings],
            "holes": [r.tolist() for r in p.hole_rings],
        })
    source = _relative_source(mesh, relative_to) if relative_to is not None else mesh.source
    return {
        "format_version": JSON_FORMAT_VERSION,
        "generator": "vellumcut",
        "mode": mesh.mode,
        "source": source,
        "parameters": dict(mesh.params),
        "versions": versions(),
        "image": {"width": mesh.image_width, "height": mesh.image_height},
        "mask": {"width": mesh.mask_width, "height": mesh.mask_height, "border": mesh.border,
                 "scale": mesh.scale},
        "frame": "vertices in mask pixels: x right, y down, integer values on pixel centres, "
                 "border included",
        "uv": UV_RULE,
        "winding": "triangles in the mesher's order; earcut and poisson give them clockwise "
                   "on screen (positive area with y down)",
        "counts": {"parts": len(mesh.parts), "vertices": mesh.vertex_count,
                   "triangles": mesh.triangle_count},
        "parts": parts,
    }


def _is_flat(value: Any) -> bool:
    """A list of numbers, or of lists of numbers: written on one line."""
    return isinstance(value, list) and all(
        isinstance(v, (int, float)) or (isinstance(v, list) and all(isinstance(w, (int, float)) for w in v))
        for v in value)


def dumps_compact(value: Any, indent: int = 1, level: int = 0) -> str:
    """JSON with objects indented and number arrays kept on one line each, so
    a part's vertex list is one line instead of one line per number."""
    pad, inner = " " * (indent * level), " " * (indent * (level + 1))
    if isinstance(value, dict):
        if not value:
            return "{}"
        if all(isinstance(v, (str, int, float, bool, type(None))) for v in value.values()):
            line = json.dumps(value, ensure_ascii=False, allow_nan=False)
            if len(line) <= 100:  # small records such as {"width": 64, "height": 32}
                return line
        items = [f"{inner}{json.dumps(str(k), ensure_ascii=False)}: {dumps_compact(v, indent, level + 1)}"
                 for k, v in value.items()]
        return "{\n" + ",\n".join(items) + "\n" + pad + "}"
    if isinstance(value, list) and value and not _is_flat(value):
        items = [inner + dumps_compact(v, indent, level + 1) for v in value]
        return "[\n" + ",\n".join(items) + "\n" + pad + "]"
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"), allow_nan=False)


def write_json(mesh: SpriteMesh, path: str | os.PathLike) -> list[str]:
    Path(path).write_text(dumps_compact(to_json_dict(mesh, path)) + "\n", encoding="utf-8")
    return [os.fspath(path)]


# --- OBJ + MTL --------------------------------------------------------------------


def _material_name(mesh: SpriteMesh) -> str:
    return _node_name(Path(mesh.source).stem if mesh.source else "sprite")


def write_obj(mesh: SpriteMesh, path: str | os.PathLike, *, pixels_per_unit: float = 1.0,
              pivot: str | Sequence[float] = "top-left") -> list[str]:
    """Wavefront OBJ with its MTL beside it: one object per part, y UP.

    Positions are placed sprite coordinates (pixels from the top-left corner
    by default) with y flipped for y-up tools; vt = (u, 1 - v) because OBJ's
    texture origin is the bottom-left corner. Faces are counter-clockwise
    seen from +z (front facing). Outlines without triangles become `l a b`
    segments, one per ring edge, which every importer reads as edges.
    Vertices no triangle uses are left out (`used_vertices`).
    `NAME.mtl` holds one material whose `map_Kd` and `map_d` are the sprite,
    relative to the MTL file, so the texture and its alpha come in wired.
    """
    path = Path(path)
    place = Placement.of(mesh, pivot, pixels_per_unit)
    mtl_path = path.with_suffix(".mtl")
    material = _material_name(mesh)
    lines = [f"# vellumcut {mesh.mode} mesh of {mesh.source or 'an image'}",
             f"# image {mesh.image_width}x{mesh.image_height} px; positions: (pixels - pivot) / "
             f"{_fmt(place.pixels_per_unit)}, y up (y_obj = -y_image), z = 0; pivot at "
             f"({_fmt(place.origin_x)}, {_fmt(place.origin_y)}) image pixels",
             "# vt = (u, 1 - v): OBJ texture origin is the bottom-left corner",
             f"# parameters: {json.dumps(mesh.params)}",
             f"mtllib {mtl_path.name}"]
    base = 0
    for i, part in enumerate(mesh.parts):
        verts, tris = part.vertices, part.triangles
        if len(tris):
            verts, tris = used_vertices(verts, tris)
        elif not part.rings:
            continue  # nothing to draw (a group the mesher gave no triangle)
        lines += [f"o part{i}", f"usemtl {material}"]
        xy = place.place(mesh, verts, y_up=True)
        uv = mesh.uvs(verts)
        lines += [f"v {_fmt(x)} {_fmt(y)} 0" for x, y in xy]
        lines += [f"vt {float(u)!r} {float(1.0 - v)!r}" for u, v in uv]
        if len(tris):
            for t in front_facing(verts, tris) + base + 1:
                lines.append("f " + " ".join(f"{k}/{k}" for k in t))
        else:
            for ring in part.rings:
                idx = [int(k) + base + 1 for k in ring]
                lines += [f"l {a} {b}" for a, b in zip(idx, idx[1:] + idx[:1])]
        base += len(verts)
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")

    mtl = [f"# vellumcut material for {mesh.source or 'an image'}", f"newmtl {material}",
           "Ka 1 1 1", "Kd 1 1 1", "Ks 0 0 0", "d 1", "illum 1"]
    texture = _relative_source(mesh, mtl_path)
    if texture:
        mtl += [f"map_Kd {texture}", f"map_d {texture}"]
    mtl_path.write_text("\n".join(mtl) + "\n", encoding="utf-8")
    return [os.fspath(path), os.fspath(mtl_path)]


# --- Godot ------------------------------------------------------------------------


def _packed_vec2(points: np.ndarray) -> str:
    return "PackedVector2Array(" + ", ".join(f"{_fmt(x)}, {_fmt(y)}" for x, y in points) + ")"


def _node_name(text: str) -> str:
    name = re.sub(r"[^A-Za-z0-9_-]+", "_", text).strip("_")
    return name or "Sprite"


def write_godot(mesh: SpriteMesh, path: str | os.PathLike, texture: str | None = None, *,
                pixels_per_unit: float = 1.0, pivot: str | Sequence[float] = "top-left") -> list[str]:
    """Godot 4 scene (`.tscn`): a Node2D with one textured Polygon2D per part.

    `polygon` holds the placed vertices (image pixels from the pivot, top-left
    corner by default, divided by `pixels_per_unit`; y down like Godot's 2D),
    `uv` the image pixels since Polygon2D takes UVs in texture pixels, and
    `polygons` one PackedInt32Array per triangle, so Godot draws exactly our
    triangles (and Skeleton2D weights can be painted per vertex). Outline
    results get no `polygons` and Godot fills the outline itself. `texture`
    is written as the ext_resource path: Godot resolves a relative path
    against the scene's folder; by default it is the source image relative
    to the output file.
    """
    path = Path(path)
    place = Placement.of(mesh, pivot, pixels_per_unit)
    if texture is None:
        texture = _relative_source(mesh, path)
    out = ["[gd_scene load_steps=2 format=3]" if texture else "[gd_scene format=3]", ""]
    if texture:
        out += [f'[ext_resource type="Texture2D" path={json.dumps(texture)} id="1_sprite"]', ""]
    root = _node_name(Path(mesh.source).stem if mesh.source else "Sprite")
    out += [f'[node name="{root}" type="Node2D"]', ""]
    for i, part in enumerate(mesh.parts):
        out.append(f'[node name="part{i}" type="Polygon2D" parent="."]')
        if texture:
            out.append('texture = ExtResource("1_sprite")')
        out.append(f"polygon = {_packed_vec2(place.place(mesh, part.vertices, y_up=False))}")
        out.append(f"uv = {_packed_vec2(mesh.image_xy(part.vertices))}")
        if len(part.triangles):
            polys = ", ".join("PackedInt32Array(%d, %d, %d)" % tuple(t) for t in part.triangles)
            out.append(f"polygons = [{polys}]")
        out.append("")
    path.write_text("\n".join(out), encoding="utf-8")
    return [os.fspath(path)]


# --- glTF 2.0 (binary) ------------------------------------------------------------

_GLB_MAGIC, _GLB_JSON, _GLB_BIN = 0x46546C67, 0x4E4F534A, 0x004E4942
_FLOAT, _USHORT, _UINT = 5126, 5123, 5125
_ARRAY_BUFFER, _ELEMENT_ARRAY_BUFFER = 34962, 34963
_TRIANGLES, _LINE_LOOP = 4, 2
_NEAREST, _LINEAR, _CLAMP_TO_EDGE = 9728, 9729, 33071
_PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


class _BinBuilder:
    """The GLB's binary chunk: each block starts on a 4-byte boundary, so that
    every accessor's offset is a multiple of its component size."""

    def __init__(self) -> None:
        self.data = bytearray()
        self.views: list[dict[str, Any]] = []
        self.accessors: list[dict[str, Any]] = []

    def view(self, blob: bytes, target: int | None = None) -> int:
        self.data += b"\0" * (-len(self.data) % 4)
        view = {"buffer": 0, "byteOffset": len(self.data), "byteLength": len(blob)}
        if target is not None:
            view["target"] = target
        self.data += blob
        self.views.append(view)
        return len(self.views) - 1

    def accessor(self, array: np.ndarray, kind: str, target: int, bounds: bool = False) -> int:
        if array.dtype == np.float32:
            ctype = _FLOAT
        elif array.dtype == np.uint16:
            ctype = _USHORT
        else:
            ctype = _UINT
        acc: dict[str, Any] = {"bufferView": self.view(np.ascontiguousarray(array).tobytes(), target),
                               "componentType": ctype, "count": int(len(array)), "type": kind}
        if bounds:
            # The bounds of the stored float32 values, so they match exactly.
            acc["min"] = [float(v) for v in array.min(axis=0)]
            acc["max"] = [float(v) for v in array.max(axis=0)]
        self.accessors.append(acc)
        return len(self.accessors) - 1


def _index_array(indices: np.ndarray, n_vertices: int) -> np.ndarray:
    # 65535 is the primitive-restart value of unsigned shorts and may not be used.
    dtype = np.uint16 if n_vertices <= 65535 else np.uint32
    return np.asarray(indices, np.int64).reshape(-1).astype(dtype)


def sprite_png(mesh: SpriteMesh, texture: str | os.PathLike | bytes | None = None) -> bytes | None:
    """PNG bytes of the sprite for embedding: the file itself when it is a
    PNG, else re-encoded as RGBA PNG (glTF allows PNG and JPEG only). The
    image must have the size the mesh was made for, or the UVs would not
    line up."""
    from PIL import Image

    if texture is None:
        texture = mesh.source
    if texture is None:
        return None
    blob = texture if isinstance(texture, bytes) else Path(texture).read_bytes()
    with Image.open(io.BytesIO(blob)) as img:
        if img.size != (mesh.image_width, mesh.image_height):
            raise ValueError(f"the texture is {img.size[0]}x{img.size[1]} pixels but the mesh was made "
                             f"for a {mesh.image_width}x{mesh.image_height} image")
        if blob.startswith(_PNG_SIGNATURE):
            return bytes(blob)
        out = io.BytesIO()
        img.convert("RGBA").save(out, format="PNG")
        return out.getvalue()


def to_gltf(mesh: SpriteMesh, texture: str | os.PathLike | bytes | None = None, *,
            pixels_per_unit: float = 100.0, pivot: str | Sequence[float] = "center",
            filter: str = "linear", alpha_mode: str = "BLEND", alpha_cutoff: float = 0.5,
            source: str | None = None) -> tuple[dict[str, Any], bytes]:
    """The glTF JSON document and its binary buffer (see `write_gltf`)."""
    place = Placement.of(mesh, pivot, pixels_per_unit)
    if filter not in GLTF_FILTERS:
        raise ValueError(f"filter {filter!r} is not one of {', '.join(GLTF_FILTERS)}")
    mode = alpha_mode.upper()
    if mode not in GLTF_ALPHA_MODES:
        raise ValueError(f"alpha mode {alpha_mode!r} is not one of {', '.join(GLTF_ALPHA_MODES)}")
    if not (0.0 <= float(alpha_cutoff) <= 1.0):
        raise ValueError(f"alpha cutoff must lie in 0..1, not {alpha_cutoff!r}")
    name = _material_name(mesh)
    png = sprite_png(mesh, texture)

    bin_ = _BinBuilder()
    primitives = []
    for part in mesh.parts:
        verts, tris = part.vertices, part.triangles
        if len(tris):
            verts, tris = used_vertices(verts, tris)
        elif not part.rings:
            continue  # nothing to draw (a group the mesher gave no triangle)
        pos = np.zeros((len(verts), 3), np.float32)
        pos[:, :2] = place.place(mesh, verts, y_up=True)
        # glTF's texture origin is the top-left corner, like ours: no flip.
        uv = mesh.uvs(verts).astype(np.float32)
        attributes = {"POSITION": bin_.accessor(pos, "VEC3", _ARRAY_BUFFER, bounds=True),
                      "TEXCOORD_0": bin_.accessor(uv, "VEC2", _ARRAY_BUFFER)}
        if len(tris):
            idx = _index_array(front_facing(verts, tris), len(pos))
            primitives.append({"attributes": attributes, "material": 0, "mode": _TRIANGLES,
                               "indices": bin_.accessor(idx, "SCALAR", _ELEMENT_ARRAY_BUFFER)})
        else:
            # Outlines have no triangles: each ring is a closed line.
            for ring in part.rings:
                if len(ring) >= 2:
                    idx = _index_array(ring, len(pos))
                    primitives.append({"attributes": attributes, "material": 0, "mode": _LINE_LOOP,
                                       "indices": bin_.accessor(idx, "SCALAR", _ELEMENT_ARRAY_BUFFER)})
    pbr: dict[str, Any] = {"metallicFactor": 0.0, "roughnessFactor": 1.0}
    material: dict[str, Any] = {"name": name, "pbrMetallicRoughness": pbr, "alphaMode": mode,
                                "doubleSided": True}
    if mode == "MASK":
        material["alphaCutoff"] = float(alpha_cutoff)
    doc: dict[str, Any] = {
        "asset": {"version": "2.0", "generator": _generator(),
                  "extras": {"vellumcut": {"mode": mesh.mode, "source": source,
                                           "image": [mesh.image_width, mesh.image_height],
                                           "parameters": dict(mesh.params), **place.describe(mesh)}}},
        "scene": 0,
        "scenes": [{"name": name, "nodes": [0]}],
        "nodes": [{"name": name, "mesh": 0}],
        "meshes": [{"name": name, "primitives": primitives}],
        "materials": [material],
    }
    if not primitives:
        # An empty mesh (every island refused): a valid file whose one node
        # has no mesh, as glTF allows no mesh without primitives.
        del doc["nodes"][0]["mesh"], doc["meshes"], doc["materials"]
        png = None
    if png is not None:
        pbr["baseColorTexture"] = {"index": 0, "texCoord": 0}
        gl_filter = _NEAREST if filter == "nearest" else _LINEAR
        doc["samplers"] = [{"magFilter": gl_filter, "minFilter": gl_filter,
                            "wrapS": _CLAMP_TO_EDGE, "wrapT": _CLAMP_TO_EDGE}]
        doc["images"] = [{"name": name, "mimeType": "image/png", "bufferView": bin_.view(png)}]
        doc["textures"] = [{"sampler": 0, "source": 0}]
    if bin_.data:  # glTF allows no empty buffer, nor empty arrays
        bin_.data += b"\0" * (-len(bin_.data) % 4)
        doc["accessors"] = bin_.accessors
        doc["bufferViews"] = bin_.views
        doc["buffers"] = [{"byteLength": len(bin_.data)}]
    return doc, bytes(bin_.data)


def write_gltf(mesh: SpriteMesh, path: str | os.PathLike,
               texture: str | os.PathLike | bytes | None = None, *, pixels_per_unit: float = 100.0,
               pivot: str | Sequence[float] = "center", filter: str = "linear",
               alpha_mode: str = "BLEND", alpha_cutoff: float = 0.5) -> list[str]:
    """Binary glTF 2.0 (`.glb`) with the sprite embedded as a PNG.

    One node and one mesh named after the sprite, with one primitive per
    part: POSITION (x right, y up, z = 0; placed with `pivot` and
    `pixels_per_unit`, 100 pixels per metre around the image centre by
    default), TEXCOORD_0 and indices, triangles counter-clockwise seen from
    +z; vertices no triangle uses are left out (`used_vertices`). Outline
    parts become one LINE_LOOP primitive per ring. The material
    is double-sided, takes the sprite as `baseColorTexture` through a
    clamping sampler with `filter` ("linear" or "nearest" for pixel art),
    and blends by alpha (`alpha_mode` "BLEND"; "MASK" cuts at
    `alpha_cutoff`; "OPAQUE" ignores alpha). `texture` is the image to
    embed (a path or PNG bytes); by default the mesh's source; a mesh
    without one gets an untextured material.
    """
    doc, blob = to_gltf(mesh, texture, pixels_per_unit=pixels_per_unit, pivot=pivot, filter=filter,
                        alpha_mode=alpha_mode, alpha_cutoff=alpha_cutoff,
                        source=_relative_source(mesh, path))
    text = json.dumps(doc, separators=(",", ":"), allow_nan=False).encode("utf-8")
    text += b" " * (-len(text) % 4)
    total = 12 + 8 + len(text) + (8 + len(blob) if blob else 0)
    with open(path, "wb") as f:
        f.write(struct.pack("<III", _GLB_MAGIC, 2, total))
        f.write(struct.pack("<II", len(text), _GLB_JSON) + text)
        if blob:
            f.write(struct.pack("<II", len(blob), _GLB_BIN) + blob)
    return [os.fspath(path)]


# --- Spine 4.x skeleton JSON --------------------------------------------------------


def _triangle_components(triangles: np.ndarray) -> list[np.ndarray]:
    """Triangle index arrays of the pieces connected through shared vertices."""
    parent: dict[int, int] = {}

    def find(a: int) -> int:
        parent.setdefault(a, a)
        while parent[a] != a:
            parent[a] = parent[parent[a]]
            a = parent[a]
        return a

    for a, b, c in triangles.tolist():
        ra, rb, rc = find(a), find(b), find(c)
        parent[rb] = ra
        parent[find(rc)] = ra
    roots = np.array([find(int(t[0])) for t in triangles], np.int64)
    return [np.flatnonzero(roots == r) for r in dict.fromkeys(roots.tolist())]


def _spine_mesh(mesh: SpriteMesh, vertices: np.ndarray, triangles: np.ndarray, place: Placement,
                image: str, weigh: Callable[[list[int]], list[Any]] | None = None) -> dict[str, Any]:
    """One mesh attachment: hull vertices first, then hole rings, then the
    rest. `weigh(order)`, given the indices into `vertices` in that order,
    returns a weighted mesh's `vertices` (see vellumcut.rig_export)."""
    rings = boundary_rings(vertices, triangles)
    outer = [r for r in rings if ring_area(vertices[r]) <= 0]
    holes = [r for r in rings if ring_area(vertices[r]) > 0]
    if len(outer) > 1:
        # A piece whose boundary touches itself at a vertex can trace as
        # several outer rings; the largest is the hull, the others edges.
        outer.sort(key=lambda r: ring_area(vertices[r]))
        holes = outer[1:] + holes
    hull = list(dict.fromkeys(outer[0].tolist())) if outer else []
    order = list(dict.fromkeys(hull + [int(k) for r in holes for k in r]
                               + sorted(set(triangles.reshape(-1).tolist()))))
    new = {old: i for i, old in enumerate(order)}
    pts = vertices[order]
    xy = place.place(mesh, pts, y_up=True)
    uv = mesh.uvs(pts)
    edges: list[int] = []
    for ring in [np.array(hull, np.int64)] + holes:
        idx = [new[int(k)] for k in ring]
        if len(idx) >= 2:
            for a, b in zip(idx, idx[1:] + idx[:1]):
                edges += [2 * a, 2 * b]  # Spine stores edge ends as doubled vertex indices
    tris = front_facing(vertices, triangles)
    return {"type": "mesh", "path": image,
            "uvs": [float(v) for v in uv.reshape(-1)],
            "triangles": [new[int(k)] for k in tris.reshape(-1)],
            "vertices": [_num(v) for v in xy.reshape(-1)] if weigh is None else weigh(order),
            "hull": len(hull), "edges": edges,
            "width": mesh.image_width, "height": mesh.image_height}


def to_spine_dict(mesh: SpriteMesh, images: str = "./", *, pixels_per_unit: float = 1.0,
                  pivot: str | Sequence[float] = "center", version: str = SPINE_VERSION,
                  bones: list[dict[str, Any]] | None = None,
                  weigh: Callable[[int, list[int]], list[Any]] | None = None) -> dict[str, Any]:
    """The skeleton document (see `write_spine`); `images` is the folder the
    sprite is looked up in, relative to the JSON file. A rigged sprite
    passes its `bones` records and `weigh(part index, vertex order)` for
    weighted mesh vertices (vellumcut.rig_export)."""
    if not re.fullmatch(r"4\.\d+\.\d+", version):
        raise ValueError(f"Spine version {version!r} is not a 4.x version such as {SPINE_VERSION}")
    place = Placement.of(mesh, pivot, pixels_per_unit)
    image = Path(mesh.source).stem if mesh.source else "sprite"
    slots: list[dict[str, Any]] = []
    attachments: dict[str, dict[str, Any]] = {}

    bones = bones or [{"name": "root"}]

    def add(slot: str, attachment: dict[str, Any]) -> None:
        slots.append({"name": slot, "bone": bones[0]["name"], "attachment": slot})
        attachments[slot] = {slot: attachment}

    meshed = [p for p in mesh.parts if len(p.triangles)]
    if not meshed:
        # Outlines have no triangles to deform: the sprite comes as a region
        # attachment and each outline as a bounding box over it.
        w, h, s = mesh.image_width, mesh.image_height, place.pixels_per_unit
        add("sprite", {"type": "region", "path": image,
                       "x": _num((w / 2 - place.origin_x) / s), "y": _num(-(h / 2 - place.origin_y) / s),
                       "scaleX": _num(1 / s), "scaleY": _num(1 / s), "width": w, "height": h})
    for i, part in enumerate(mesh.parts):
        if len(part.triangles):
            pieces = _triangle_components(part.triangles)
            for j, tri_ids in enumerate(pieces):
                slot = f"part{i}" if len(pieces) == 1 else f"part{i}-{j}"
                add(slot, _spine_mesh(mesh, part.vertices, part.triangles[tri_ids], place, image,
                                      None if weigh is None else functools.partial(weigh, i)))
        else:
            for j, ring in enumerate(part.rings):
                xy = place.place(mesh, part.vertices[ring], y_up=True)
                slot = f"outline{i}" if len(part.rings) == 1 else f"outline{i}-{j}"
                add(slot, {"type": "boundingbox", "vertexCount": len(ring),
                           "vertices": [_num(v) for v in xy.reshape(-1)]})
    # Setup-pose bounds of everything drawn (nonessential data Spine shows).
    corners = np.array([[0, 0], [mesh.image_width, mesh.image_height]], np.float64)
    if meshed:
        corners = np.concatenate([mesh.image_xy(p.vertices) for p in meshed])
    bx = (corners[:, 0] - place.origin_x) / place.pixels_per_unit
    by = -(corners[:, 1] - place.origin_y) / place.pixels_per_unit
    body = {"bones": bones, "slots": slots,
            "skins": [{"name": "default", "attachments": attachments}]}
    digest = hashlib.sha1(json.dumps(body, sort_keys=True).encode()).digest()
    skeleton = {"hash": base64.b64encode(digest).decode().rstrip("="), "spine": version,
                "x": _num(bx.min()), "y": _num(by.min()),
                "width": _num(bx.max() - bx.min()), "height": _num(by.max() - by.min()),
                "images": images, "audio": ""}
    return {"skeleton": skeleton, **body}


def write_spine(mesh: SpriteMesh, path: str | os.PathLike, *, pixels_per_unit: float = 1.0,
                pivot: str | Sequence[float] = "center", version: str = SPINE_VERSION) -> list[str]:
    """Spine 4.x skeleton JSON (`NAME.spine.json`): a `root` bone, one slot
    per mesh piece (a part, or each connected piece of it) in a "default"
    skin, each an unweighted `mesh` attachment: `vertices` (x right, y up,
    pixels around the image centre by default), `uvs` (0..1 of the image,
    v down as Spine expects), `triangles` counter-clockwise, `hull` (the
    outer ring's vertex count, those vertices first), `edges` (hull and hole
    rings, as doubled vertex indices like Spine writes them), `width` and
    `height` of the image. The attachments' `path` is the sprite's file name
    without extension and `skeleton.images` its folder relative to the JSON,
    where Spine looks images up. Outline results give a `region` attachment
    of the sprite and one `boundingbox` per outline.
    """
    images = _relative_source(mesh, path)
    folder = (images.rsplit("/", 1)[0] + "/") if images and "/" in images else "./"
    doc = to_spine_dict(mesh, folder, pixels_per_unit=pixels_per_unit, pivot=pivot, version=version)
    Path(path).write_text(dumps_compact(doc, indent=2) + "\n", encoding="utf-8")
    return [os.fspath(path)]


# --- by name --------------------------------------------------------------------------


@dataclass(frozen=True)
class Format:
    """An export format: what the command line offers as `--format NAME`.

    `write(mesh, path, **options)` writes the file at `path` (which ends in
    `suffix`); `options` are the export options of the command line (see
    `vellumcut.cli.EXPORT_OPTIONS`), of which a writer takes the ones it
    names in `options` and ignores the rest. A writer may write files beside
    `path` (a texture, a binary buffer); it lists them through `extra_files`
    so that batches know every output of an input.
    """

    name: str
    suffix: str
    write: Callable[..., Any]
    help: str
    options: tuple[str, ...] = ()
    extra_files: Callable[[str], list[str]] = lambda path: []

    def outputs(self, stem: str) -> list[str]:
        """Every file written for the output stem `stem` (path without suffix)."""
        target = stem + self.suffix
        return [target, *self.extra_files(target)]


# name -> Format, in the order `--help` lists them; add formats with register_format.
FORMATS: dict[str, Format] = {}


def register_format(fmt: Format) -> Format:
    if fmt.name in FORMATS:
        raise ValueError(f"export format {fmt.name!r} is already registered")
    FORMATS[fmt.name] = fmt
    return fmt


PLACEMENT = ("pixels_per_unit", "pivot")
register_format(Format("json", ".json", lambda mesh, path, **_: write_json(mesh, path),
                       "vellumcut JSON: mask-pixel vertices, UVs, triangles, outlines and holes"))
register_format(Format("obj", ".obj", write_obj, "Wavefront OBJ with UVs, y up, and its .mtl",
                       PLACEMENT, lambda path: [str(Path(path).with_suffix(".mtl"))]))
register_format(Format("godot", ".tscn", write_godot,
                       "Godot 4 scene with one textured Polygon2D per part", PLACEMENT))
register_format(Format("gltf", ".glb", write_gltf,
                       "binary glTF 2.0 with the sprite embedded, for Blender, Godot, three.js",
                       PLACEMENT + ("filter", "alpha_mode", "alpha_cutoff")))
register_format(Format("spine", ".spine.json", write_spine,
                       "Spine 4.x skeleton JSON with mesh attachments", PLACEMENT))


def write(mesh: SpriteMesh, fmt: str, path: str | os.PathLike, **options: Any) -> list[str]:
    """Write `mesh` at `path` in the registered format `fmt` and return the
    files written. Options the format does not take are ignored, and so is
    an option given as None (the writer's default applies)."""
    try:
        entry = FORMATS[fmt]
    except KeyError:
        raise ValueError(f"unknown format {fmt!r}; choose from {', '.join(FORMATS)}") from None
    writer: Callable[..., Any] = entry.write
    if getattr(mesh, "bones", None) is not None:  # a rigged sprite (vellumcut.rig)
        from vellumcut.rig_export import WRITERS

        if fmt not in WRITERS:
            raise ValueError(f"format {fmt!r} carries no skeleton; rigged sprites export to "
                             f"{', '.join(WRITERS)}")
        writer = WRITERS[fmt]
    writer(mesh, os.fspath(path), **{k: v for k, v in options.items()
                                     if k in entry.options and v is not None})
    return [os.fspath(path), *entry.extra_files(os.fspath(path))]
