"""Import each file into an empty scene and report what Blender made of it.

    blender -b --factory-startup --python import_report.py -- [--detail] FILE ...

`.glb`/`.gltf` go through the glTF importer, `.obj` through the OBJ
importer (`bpy.ops.wm.obj_import`, with its MTL). For every file the report
lists the mesh objects with their vertex, edge and face counts, UV layers,
and materials with the images their node trees use. With `--detail` it also
gives the vertex positions and, per face corner, the vertex index and UV, so
a caller can check that the texture lines up with the geometry.
"""
import os
import sys
import traceback

import bpy

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _report import report, script_args  # noqa: E402


def clear_scene():
    for obj in list(bpy.data.objects):
        bpy.data.objects.remove(obj, do_unlink=True)
    for coll in (bpy.data.meshes, bpy.data.materials, bpy.data.images, bpy.data.textures,
                 bpy.data.cameras, bpy.data.lights):
        for block in list(coll):
            coll.remove(block)


def numpy_aliases():
    """Blender 3.4's glTF importer still says `np.bool`, an alias numpy 1.24
    (Debian 12's) removed; give it back before importing."""
    import numpy

    if not hasattr(numpy, "bool"):
        numpy.bool = bool


def import_file(path):
    ext = os.path.splitext(path)[1].lower()
    if ext in (".glb", ".gltf"):
        numpy_aliases()
        result = bpy.ops.import_scene.gltf(filepath=path)
    elif ext == ".obj":
        result = bpy.ops.wm.obj_import(filepath=path)
    else:
        raise ValueError(f"no importer for {ext}")
    if "FINISHED" not in result:
        raise RuntimeError(f"importer returned {sorted(result)}")


def material_info(mat):
    info = {"name": mat.name, "blend_method": mat.blend_method,
            "alpha_threshold": mat.alpha_threshold,
            "backface_culling": mat.use_backface_culling, "images": []}
    if mat.use_nodes and mat.node_tree:
        for node in mat.node_tree.nodes:
            if node.type == "TEX_IMAGE" and node.image is not None:
                img = node.image
                info["images"].append({
                    "name": img.name, "size": list(img.size), "packed": img.packed_file is not None,
                    "filepath": bpy.path.abspath(img.filepath) if img.filepath else "",
                    "interpolation": node.interpolation, "channels": img.channels,
                    "has_data": bool(img.has_data)})
        # What feeds the shader: e.g. {"Base Color": "Color", "Alpha": "Alpha"}
        # when both come from the image node's colour and alpha outputs.
        info["links"] = {link.to_socket.name: link.from_socket.name for link in mat.node_tree.links
                         if link.from_node.type == "TEX_IMAGE" and link.to_node.type == "BSDF_PRINCIPLED"}
    return info


def object_info(obj, detail):
    me = obj.data
    info = {"name": obj.name, "type": obj.type}
    if obj.type != "MESH":
        return info
    world = obj.matrix_world
    info.update({
        "vertices": len(me.vertices), "edges": len(me.edges), "faces": len(me.polygons),
        "loose_edges": sum(1 for e in me.edges if e.is_loose),
        "face_sizes": sorted({len(p.vertices) for p in me.polygons}),
        "uv_layers": [uv.name for uv in me.uv_layers],
        "materials": [material_info(m) for m in me.materials if m is not None],
    })
    if detail:
        info["positions"] = [list(world @ v.co) for v in me.vertices]
        info["normals"] = [list((world.to_3x3() @ p.normal).normalized()) for p in me.polygons]
        if me.uv_layers:
            uv = me.uv_layers.active.data
            info["corners"] = [[me.loops[i].vertex_index, list(uv[i].uv)] for i in range(len(me.loops))]
        info["edge_list"] = [list(e.vertices) for e in me.edges]
    return info


def main():
    args = script_args()
    detail = "--detail" in args
    files = [a for a in args if a != "--detail"]
    out = []
    for path in files:
        clear_scene()
        entry = {"file": path}
        try:
            import_file(path)
            entry["objects"] = [object_info(o, detail) for o in bpy.context.scene.objects]
        except Exception:  # reported per file so one bad file does not hide the rest
            entry["error"] = traceback.format_exc(limit=3)
        out.append(entry)
    report({"blender": bpy.app.version_string, "files": out})


main()
