"""Writers for JSON, Wavefront OBJ and Godot 4 scenes (`Polygon2D`).

Vertex positions and UVs follow the conventions of `vellumcut.mesh`:
JSON keeps the core's mask-frame coordinates (margin included, y down) next
to UVs in 0..1 of the original image; OBJ and Godot get positions in
image pixels, origin at the image's top-left corner, so that a vertex on a
pixel centre lands on the centre of the same texel.
"""
from __future__ import annotations

import functools
import json
import os
import platform
import re
from importlib import metadata
from pathlib import Path
from dataclasses import dataclass
from typing import Any, Callable

import numpy as np

from vellumcut.mesh import SpriteMesh, triangle_areas


UV_RULE = ("u = (x - border + 0.5) / image.width, v = (y - border + 0.5) / image.height, "
           "x and y being mask pixels (y down, border = max(margin, 0)); v = 0 is the top row")


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


def to_json_dict(mesh: SpriteMesh) -> dict[str, Any]:
    parts = []
    for p in mesh.parts:
        parts.append({
            "vertices": [[_num(x), _num(y)] for x, y in p.vertices],
            "uvs": [[float(u), float(v)] for u, v in mesh.uvs(p.vertices)],
            "triangles": p.triangles.tolist(),
            "outlines": [r.tolist() for r in p.outer_rings],
            "holes": [r.tolist() for r in p.hole_rings],
        })
    return {
        "generator": "vellumcut",
        "mode": mesh.mode,
        "source": mesh.source,
        "parameters": dict(mesh.params),
        "versions": versions(),
        "image": {"width": mesh.image_width, "height": mesh.image_height},
        "mask": {"width": mesh.mask_width, "height": mesh.mask_height, "border": mesh.border,
                 "scale": mesh.scale},
        "frame": "vertices in mask pixels: x right, y down, integer values on pixel centres, "
                 "border included",
        "uv": UV_RULE,
        "counts": {"parts": len(mesh.parts), "vertices": mesh.vertex_count,
                   "triangles": mesh.triangle_count},
        "parts": parts,
    }


def write_json(mesh: SpriteMesh, path: str | os.PathLike) -> None:
    Path(path).write_text(json.dumps(to_json_dict(mesh), indent=1, ensure_ascii=False) + "\n",
                          encoding="utf-8")


def write_obj(mesh: SpriteMesh, path: str | os.PathLike) -> None:
    """Wavefront OBJ: one object per part, positions in image pixels with y UP.

    OBJ tools assume y up and texture origin bottom-left, so y and v are
    flipped: v = (x', -y', 0) with (x', y') = (x - border + 0.5, y - border + 0.5),
    vt = (u, 1 - v). Faces are written counter-clockwise seen from +z (front
    facing in y-up tools). Outlines without triangles become closed `l` lines.
    """
    lines = [f"# vellumcut {mesh.mode} mesh of {mesh.source or 'an image'}",
             f"# image {mesh.image_width}x{mesh.image_height} px; positions in pixels, y up "
             "(y_obj = -y_image), z = 0",
             "# vt = (u, 1 - v): OBJ texture origin is the bottom-left corner",
             f"# parameters: {json.dumps(mesh.params)}"]
    base = 0
    for i, part in enumerate(mesh.parts):
        lines.append(f"o part{i}")
        xy = mesh.image_xy(part.vertices)
        uv = mesh.uvs(part.vertices)
        lines += [f"v {_fmt(x)} {_fmt(-y)} 0" for x, y in xy]
        lines += [f"vt {float(u)!r} {float(1.0 - v)!r}" for u, v in uv]
        if len(part.triangles):
            tris = part.triangles.copy()
            # The picture looks the same in a y-up viewer, so counter-clockwise
            # there is counter-clockwise on screen: a negative mask-frame area.
            cw = triangle_areas(part.vertices[tris]) > 0
            tris[cw] = tris[cw][:, ::-1]
            for t in tris + base + 1:
                lines.append("f " + " ".join(f"{k}/{k}" for k in t))
        else:
            for ring in part.rings:
                idx = [int(k) + base + 1 for k in ring]
                lines.append("l " + " ".join(map(str, idx + idx[:1])))
        base += len(part.vertices)
    Path(path).write_text("\n".join(lines) + "\n", encoding="utf-8")


def _packed_vec2(points: np.ndarray) -> str:
    return "PackedVector2Array(" + ", ".join(f"{_fmt(x)}, {_fmt(y)}" for x, y in points) + ")"


def _node_name(text: str) -> str:
    name = re.sub(r"[^A-Za-z0-9_-]+", "_", text).strip("_")
    return name or "Sprite"


def write_godot(mesh: SpriteMesh, path: str | os.PathLike, texture: str | None = None) -> None:
    """Godot 4 scene (`.tscn`): a Node2D with one textured Polygon2D per part.

    `polygon` holds the vertices in image pixels (origin at the image's
    top-left corner, y down like Godot's 2D), `uv` the same values since
    Polygon2D takes UVs in texture pixels, and `polygons` one
    PackedInt32Array per triangle, so Godot draws exactly our triangles (and
    Skeleton2D weights can be painted per vertex). Outline results get no
    `polygons` and Godot fills the outline itself. `texture` is written as the
    ext_resource path: Godot resolves a relative path against the scene's
    folder; by default it is the source image relative to the output file.
    """
    path = Path(path)
    if texture is None and mesh.source:
        texture = os.path.relpath(Path(mesh.source).resolve(), path.resolve().parent)
        texture = texture.replace(os.sep, "/")
    out = ["[gd_scene load_steps=2 format=3]" if texture else "[gd_scene format=3]", ""]
    if texture:
        out += [f'[ext_resource type="Texture2D" path={json.dumps(texture)} id="1_sprite"]', ""]
    root = _node_name(Path(mesh.source).stem if mesh.source else "Sprite")
    out += [f'[node name="{root}" type="Node2D"]', ""]
    for i, part in enumerate(mesh.parts):
        xy = _packed_vec2(mesh.image_xy(part.vertices))
        out.append(f'[node name="part{i}" type="Polygon2D" parent="."]')
        if texture:
            out.append('texture = ExtResource("1_sprite")')
        out.append(f"polygon = {xy}")
        out.append(f"uv = {xy}")
        if len(part.triangles):
            polys = ", ".join("PackedInt32Array(%d, %d, %d)" % tuple(t) for t in part.triangles)
            out.append(f"polygons = [{polys}]")
        out.append("")
    path.write_text("\n".join(out), encoding="utf-8")


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
    write: Callable[..., None]
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


register_format(Format("json", ".json", lambda mesh, path, **_: write_json(mesh, path),
                       "vellumcut JSON: mask-pixel vertices, UVs, triangles, outlines and holes"))
register_format(Format("obj", ".obj", lambda mesh, path, **_: write_obj(mesh, path),
                       "Wavefront OBJ with UVs, y up"))
register_format(Format("godot", ".tscn", lambda mesh, path, **_: write_godot(mesh, path),
                       "Godot 4 scene with one textured Polygon2D per part"))


def write(mesh: SpriteMesh, fmt: str, path: str | os.PathLike, **options: Any) -> None:
    """Write `mesh` at `path` in the registered format `fmt`."""
    try:
        entry = FORMATS[fmt]
    except KeyError:
        raise ValueError(f"unknown format {fmt!r}; choose from {', '.join(FORMATS)}") from None
    entry.write(mesh, os.fspath(path), **{k: v for k, v in options.items() if k in entry.options})
