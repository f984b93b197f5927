"""The mesher side of the Blender add-on: no `bpy` here.

It runs where `vellumcut` is importable: either inside Blender (when the
add-on imports the package in-process) or as a child process started by the
add-on with the interpreter of the environment that holds `vellumcut`:

    python -m vellumcut_blender.meshing REQUEST.json RESULT.json

The request holds the image path and the mesher's options; the result holds,
per part, Blender-ready geometry, or {"error": message} for a refused image.
Files rather than stdout keep the exchange clean whatever a library prints.

Frames: `mesh_sprite` returns mask pixels (y down, pixel edges on half
integers, margin included). The sprite's plane in Blender has x right, y up,
in units of `pixels_per_unit` image pixels around the pivot, and UVs with
v = 0 at the bottom row; the add-on stands that plane up in Blender's x-z
plane, facing -y, where Blender's glTF importer puts the glTF export. Positions and UVs are both derived from the same image-pixel
point (texel-edge origin), so the texture lines up with the outline exactly.
"""
from __future__ import annotations

import json
import os
import sys
from typing import Any, Mapping

# Bumped when the request or result layout changes, so an add-on and an
# environment of different releases refuse each other with a clear message.
PROTOCOL = 3  # 3: "spacing_auto"; 2: "rig" option, "bones" and per-part "weights" in the result

#: The mesher's options the add-on shows. Their defaults and limits are the
#: mesher's own (vellumcut._mesher.defaults() and limits(), which
#: `vellumcut blender-addon` records beside the add-on), except SEED.
MESHER_OPTIONS = ("alpha_threshold", "tolerance", "padding", "max_vertices", "interior", "spacing",
                  "min_angle", "seed")

#: The add-on's own options and their defaults.
DEFAULTS: dict[str, Any] = {
    "preset": "none",  # or a name of vellumcut.presets.PRESETS
    "pixels_per_unit": 100.0,
    "pivot": "center",
    # Rigging (vellumcut.rig_sprite): an armature with a suggested skeleton
    # and vertex groups of bone weights; a "none" interior becomes "quality".
    "rig": False,
    "max_bones": 24,
    "max_influences": 4,
}

#: The one deliberate difference from mesh_sprite's defaults: a fixed seed
#: instead of a random one, so that importing an image again gives the same
#: mesh (re-imports, undo and shared .blend files stay reproducible).
SEED = 0


def mesher_options(options: Mapping[str, Any]) -> dict[str, Any]:
    """The keyword arguments of `vellumcut.mesh_sprite` for the add-on's options.

    The add-on's own spellings become the mesher's: 0 for `max_vertices`
    is no cap, `spacing_auto` (true unless given false) is the spacing
    "auto". Without a preset the options the dialog shows and that are
    not given take mesh_sprite's defaults (the spacing stays mesh_sprite's
    own); with one, only the options given go along, over the preset's
    values. The seed is SEED unless given."""
    preset = str(options.get("preset") or "none").lower()
    if preset == "none":
        # Every option the dialog shows goes along, as in the dialog.
        from vellumcut import _mesher

        shown = {k: v for k, v in _mesher.defaults().items() if k in MESHER_OPTIONS and k not in ("spacing", "seed")}
        options = {**shown, **options}
    convert: dict[str, Any] = {
        "alpha_threshold": int, "tolerance": float, "padding": float,
        "max_vertices": lambda v: int(v or 0) or None, "interior": lambda v: str(v).lower(),
        "min_angle": float, "seed": int,
    }
    kwargs = {k: f(options[k]) for k, f in convert.items() if k in options}
    kwargs.setdefault("seed", SEED)
    if "spacing_auto" in options or "spacing" in options:
        auto = bool(options.get("spacing_auto", "spacing" not in options))
        kwargs["spacing"] = "auto" if auto else float(options["spacing"])
    if preset != "none":
        kwargs["preset"] = preset
    return kwargs


def blender_geometry(mesh: Any, pixels_per_unit: float, pivot: Any) -> list[dict[str, Any]]:
    """Per part: positions (x, y in Blender units, y up), UVs (v up) and
    triangles wound counter-clockwise seen from +Z, placed as the y-up
    exports place them (`vellumcut.export.Placement`)."""
    import numpy as np

    from vellumcut import export

    place = export.Placement.of(mesh, pivot, pixels_per_unit)
    size = np.array([mesh.image_width, mesh.image_height], np.float64)
    parts = []
    for part in mesh.parts:
        pos = place.place(mesh, part.vertices, y_up=True)
        uv = mesh.image_xy(part.vertices) / size  # texel-edge origin, v down ...
        uv[:, 1] = 1.0 - uv[:, 1]  # ... and Blender's v points up
        tris = export.front_facing(part.vertices, part.triangles)
        parts.append({"positions": pos.tolist(), "uvs": uv.tolist(), "triangles": tris.tolist()})
    return parts


def mesh_request(request: Mapping[str, Any]) -> dict[str, Any]:
    """Mesh one image as the add-on asks. Raises on a refused image or bad option."""
    import vellumcut

    opts = request.get("options", {})
    path = os.fspath(request["image"])
    kwargs = mesher_options(opts)
    rigged = None
    if opts.get("rig"):
        from vellumcut import presets

        given = {k: v for k, v in kwargs.items() if k != "preset"}
        if presets.resolve(kwargs.get("preset"), given).get("interior", "none") == "none":
            kwargs["interior"] = "quality"  # weights need interior vertices
        rigged = vellumcut.rig_sprite(path, max_bones=int(opts.get("max_bones", DEFAULTS["max_bones"])),
                                      max_influences=int(opts.get("max_influences",
                                                                  DEFAULTS["max_influences"])), **kwargs)
        mesh = rigged.mesh
    else:
        mesh = vellumcut.mesh_sprite(path, **kwargs)
    ppu = float(opts.get("pixels_per_unit", DEFAULTS["pixels_per_unit"]))
    pivot = opts.get("pivot", DEFAULTS["pivot"])
    parts = blender_geometry(mesh, ppu, pivot)
    result = {
        "protocol": PROTOCOL,
        "vellumcut": vellumcut.__version__,
        "image": {"width": mesh.image_width, "height": mesh.image_height},
        "counts": {"parts": len(parts), "vertices": mesh.vertex_count,
                   "triangles": mesh.triangle_count},
        "parts": parts,
    }
    if rigged is not None:
        result["bones"] = blender_bones(rigged, ppu, pivot)
        for part, w in zip(parts, rigged.weights):
            part["weights"] = [[[int(k), float(row[k])] for k in row.nonzero()[0]] for row in w]
        result["counts"]["bones"] = len(rigged.bones)
    return result


def blender_bones(rigged: Any, pixels_per_unit: float, pivot: Any) -> list[dict[str, Any]]:
    """Bones placed like the vertices (x right, y up, Blender units): name,
    parent index (None for the root), head and tail."""
    import numpy as np

    from vellumcut import export

    place = export.Placement.of(rigged.mesh, pivot, pixels_per_unit)
    heads = place.place(rigged.mesh, np.array([b.head for b in rigged.bones], np.float64), y_up=True)
    tails = place.place(rigged.mesh, np.array([b.tail for b in rigged.bones], np.float64), y_up=True)
    return [{"name": b.name, "parent": b.parent, "head": h.tolist(), "tail": t.tolist()}
            for b, h, t in zip(rigged.bones, heads, tails)]


def error_message(exc: BaseException) -> str:
    """One English line for a report: the message, with the kind of error
    only where the message alone would not say it."""
    text = str(exc).strip() or type(exc).__name__
    if isinstance(exc, (ValueError, OSError, RuntimeError)):
        return text
    return f"{type(exc).__name__}: {text}"


def run_request(request: Mapping[str, Any]) -> dict[str, Any]:
    """`mesh_request`, with any failure turned into {"error": message}."""
    if request.get("protocol") != PROTOCOL:
        return {"error": f"the add-on speaks protocol {request.get('protocol')} but this vellumcut "
                         f"environment speaks {PROTOCOL}; write the add-on again with "
                         f"`vellumcut blender-addon` from this environment"}
    try:
        return mesh_request(request)
    except Exception as exc:  # noqa: BLE001 - reported in Blender
        return {"error": error_message(exc)}


def main(argv: list[str] | None = None) -> int:
    args = sys.argv[1:] if argv is None else argv
    if len(args) != 2:
        sys.stderr.write("usage: python -m vellumcut_blender.meshing REQUEST.json RESULT.json\n")
        return 2
    with open(args[0], encoding="utf-8") as f:
        request = json.load(f)
    result = run_request(request)
    tmp = args[1] + ".part"
    with open(tmp, "w", encoding="utf-8") as f:
        json.dump(result, f, separators=(",", ":"))
    os.replace(tmp, args[1])
    return 1 if "error" in result else 0


if __name__ == "__main__":
    sys.exit(main())
