"""Import a skinned glTF, pose one bone and report the evaluated mesh.

    blender -b --factory-startup --python rig_pose.py -- FILE.glb BONE DEGREES

The bone is turned by DEGREES about the sprite plane's normal (glTF +z,
which the importer makes Blender's -y) around its head, in world space.
The report lists the armature's bones (name, parent, world head), the mesh's
vertex groups, its modifiers, and the world positions of the mesh's
vertices at rest and posed (evaluated through the Armature modifier).
"""
import math
import os
import sys

import bpy
from mathutils import Matrix, Vector

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _report import report, script_args  # noqa: E402


def import_gltf(path):
    for obj in list(bpy.data.objects):
        bpy.data.objects.remove(obj, do_unlink=True)
    import numpy

    if not hasattr(numpy, "bool"):  # Blender 3.4's importer says np.bool (see import_report.py)
        numpy.bool = bool
    if "FINISHED" not in bpy.ops.import_scene.gltf(filepath=path):
        raise RuntimeError("the glTF importer did not finish")


def evaluated(obj):
    dg = bpy.context.evaluated_depsgraph_get()
    ev = obj.evaluated_get(dg)
    me = ev.to_mesh()
    out = [list(ev.matrix_world @ v.co) for v in me.vertices]
    ev.to_mesh_clear()
    return out


def main(path, bone, degrees):
    import_gltf(path)
    arm = next(o for o in bpy.data.objects if o.type == "ARMATURE")
    mesh = next(o for o in bpy.data.objects if o.type == "MESH")
    rec = {"bones": [{"name": b.name, "parent": b.parent.name if b.parent else None,
                      "head": list(arm.matrix_world @ b.head_local)} for b in arm.data.bones],
           "groups": [g.name for g in mesh.vertex_groups],
           "modifiers": [[m.type, getattr(m, "object", None) and m.object.name] for m in mesh.modifiers],
           "rest": evaluated(mesh)}
    pb = arm.pose.bones[bone]
    head = arm.matrix_world @ pb.head
    turn = (Matrix.Translation(head) @ Matrix.Rotation(math.radians(float(degrees)), 4, Vector((0, -1, 0)))
            @ Matrix.Translation(-head))
    pb.matrix = arm.matrix_world.inverted() @ turn @ arm.matrix_world @ pb.matrix
    bpy.context.view_layer.update()
    rec["posed"] = evaluated(mesh)
    rec["pivot"] = list(head)
    report(rec)


main(*script_args())
