"""Runs inside headless Blender: installs the add-on zip as a user would,
then runs the import operator on each job of a plan and reports what Blender
holds afterwards (or the error it reported), for tests/test_blender_addon.py.

    blender -b --factory-startup --python addon_session.py -- PLAN.json
"""
import json
import os
import sys
import time
import traceback

import bpy

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _report import report, script_args  # noqa: E402


def object_record(obj):
    me = obj.data
    co = [0.0] * (3 * len(me.vertices))
    me.vertices.foreach_get("co", co)
    loop_vertex = [0] * len(me.loops)
    me.loops.foreach_get("vertex_index", loop_vertex)
    layer = me.uv_layers.active
    loop_uv = [0.0] * (2 * len(me.loops))
    if layer is not None:
        layer.data.foreach_get("uv", loop_uv)
    mats = []
    for mat in me.materials:
        tex = [n for n in mat.node_tree.nodes if n.type == "TEX_IMAGE"]
        bsdf = [n for n in mat.node_tree.nodes if n.type == "BSDF_PRINCIPLED"]
        alpha_linked = bool(bsdf) and any(link.from_node == tex[0] for link in bsdf[0].inputs["Alpha"].links) \
            if tex else False
        mats.append({
            "name": mat.name,
            "image": bpy.path.abspath(tex[0].image.filepath) if tex and tex[0].image else None,
            "image_size": list(tex[0].image.size) if tex and tex[0].image else None,
            "interpolation": tex[0].interpolation if tex else None,
            "blend_method": mat.blend_method,
            "alpha_linked": alpha_linked,
        })
    return {
        "name": obj.name,
        "location": list(obj.location),
        "vertices": len(me.vertices),
        "faces": len(me.polygons),
        "face_sizes": sorted({p.loop_total for p in me.polygons}),
        "normals_z": [round(p.normal.z, 6) for p in me.polygons][:2000],
        "normals_y": [round(p.normal.y, 6) for p in me.polygons][:2000],
        "co": co,
        "loop_vertex": loop_vertex,
        "loop_uv": loop_uv,
        "uv_layers": len(me.uv_layers),
        "materials": mats,
        "selected": obj.select_get(),
        "groups": [g.name for g in obj.vertex_groups],
        "weights": [[[g.group, g.weight] for g in v.groups] for v in me.vertices] if obj.vertex_groups else [],
        "modifiers": [[m.type, m.object.name if getattr(m, "object", None) else None] for m in obj.modifiers],
        "parent": obj.parent.name if obj.parent else None,
    }


def armature_record(obj):
    return {"name": obj.name, "location": list(obj.location),
            "bones": [{"name": b.name, "parent": b.parent.name if b.parent else None,
                       "head": list(b.head_local), "tail": list(b.tail_local),
                       "z_axis": list(b.matrix_local.col[2][:3])} for b in obj.data.bones]}


def main(plan_path):
    with open(plan_path, encoding="utf-8") as f:
        plan = json.load(f)
    out = {"jobs": []}
    bpy.ops.preferences.addon_install(filepath=plan["zip"], overwrite=True)
    bpy.ops.preferences.addon_enable(module="vellumcut_blender")
    prefs = bpy.context.preferences.addons["vellumcut_blender"].preferences
    out["operator_registered"] = hasattr(bpy.types, "IMPORT_IMAGE_OT_vellumcut_sprite")
    out["menu_entries"] = [getattr(f, "__name__", "") for f in
                           bpy.types.TOPBAR_MT_file_import._dyn_ui_initialize()]
    # What choosing each preset in the dialog sets (its update callback).
    from types import SimpleNamespace

    from vellumcut_blender import addon

    out["preset_menu"] = {}
    for item in addon.PRESET_ITEMS:
        dialog = SimpleNamespace(preset=item[0], alpha_threshold=0, tolerance=1.0, padding=2.0,
                                 max_vertices=0, interior="NONE", spacing_auto=False, spacing=7.0,
                                 min_angle=25.0, seed=0)
        addon.apply_preset(dialog, bpy.context)
        out["preset_menu"][item[0]] = vars(dialog)
    # The import dialog's options as Blender holds them: defaults and bounds.
    out["operator_properties"] = {}
    for prop in bpy.ops.import_image.vellumcut_sprite.get_rna_type().properties:
        if prop.identifier == "rna_type" or getattr(prop, "is_array", False):
            continue
        record = {"type": prop.type}
        if prop.type in ("INT", "FLOAT"):
            record.update(default=prop.default, min=prop.hard_min, max=prop.hard_max)
        elif prop.type == "BOOLEAN":
            record["default"] = prop.default
        elif prop.type == "ENUM":
            record.update(default=prop.default, items=[i.identifier for i in prop.enum_items])
        out["operator_properties"][prop.identifier] = record
    for job in plan["jobs"]:
        for obj in list(bpy.data.objects):
            bpy.data.objects.remove(obj)
        prefs.mesher = job.get("mesher", "")
        prefs.method = job.get("method", "CHILD")
        record = {"label": job["label"], "error": None}
        start = time.perf_counter()
        try:
            ret = bpy.ops.import_image.vellumcut_sprite(filepath=job["image"], **job["options"])
            record["return"] = sorted(ret)
        except RuntimeError as exc:  # the operator's error reports arrive as this
            record["error"] = str(exc)
        except Exception:  # anything else is a fault of the add-on
            record["error"] = "TRACEBACK " + traceback.format_exc()
        record["seconds"] = time.perf_counter() - start
        record["objects"] = [object_record(o) for o in bpy.data.objects if o.type == "MESH"]
        record["armatures"] = [armature_record(o) for o in bpy.data.objects if o.type == "ARMATURE"]
        out["jobs"].append(record)
    report(out)


main(*script_args())
