"""Render an imported .glb with Cycles on the CPU, triangles drawn over it.

    blender -b --factory-startup --python scripts/render_gltf.py -- MESH.glb OUT.png [WIDTH]

Imports the file with Blender's glTF importer, looks at it from the front
(the exports stand in Blender's x-z plane facing -y) with an orthographic
camera, overlays the mesh edges in blue and renders a small PNG. Used for
the picture in docs/formats.md (docs/gltf-blender-render.png).
"""
import math
import sys

import bpy


def main():
    argv = sys.argv[sys.argv.index("--") + 1:]
    src, out = argv[0], argv[1]
    width = int(argv[2]) if len(argv) > 2 else 480
    import numpy

    if not hasattr(numpy, "bool"):  # Blender 3.4's glTF importer still uses the removed alias
        numpy.bool = bool
    for obj in list(bpy.data.objects):
        bpy.data.objects.remove(obj, do_unlink=True)
    bpy.ops.import_scene.gltf(filepath=src)
    sprite = next(o for o in bpy.context.scene.objects if o.type == "MESH")

    # Edges on top: a copy with a thin wireframe modifier and a flat blue emission.
    wire = sprite.copy()
    wire.data = sprite.data.copy()
    bpy.context.scene.collection.objects.link(wire)
    mod = wire.modifiers.new("wire", "WIREFRAME")
    dims = sprite.dimensions
    mod.thickness = max(dims.x, dims.z) / 500
    mat = bpy.data.materials.new("edges")
    mat.use_nodes = True
    nodes = mat.node_tree.nodes
    nodes.clear()
    emit = nodes.new("ShaderNodeEmission")
    emit.inputs["Color"].default_value = (0.05, 0.25, 0.9, 1.0)
    outn = nodes.new("ShaderNodeOutputMaterial")
    mat.node_tree.links.new(emit.outputs["Emission"], outn.inputs["Surface"])
    wire.data.materials.clear()
    wire.data.materials.append(mat)
    wire.location.y -= max(dims.x, dims.z) / 200  # in front of the sprite

    scene = bpy.context.scene
    cx = (min(v[0] for v in sprite.bound_box) + max(v[0] for v in sprite.bound_box)) / 2
    cz = (min(v[2] for v in sprite.bound_box) + max(v[2] for v in sprite.bound_box)) / 2
    cam_data = bpy.data.cameras.new("front")
    cam_data.type = "ORTHO"
    cam_data.ortho_scale = max(dims.x, dims.z) * 1.08
    cam = bpy.data.objects.new("front", cam_data)
    cam.location = (cx, -10.0, cz)
    cam.rotation_euler = (math.pi / 2, 0.0, 0.0)
    scene.collection.objects.link(cam)
    scene.camera = cam

    world = bpy.data.worlds.new("studio")
    world.use_nodes = True
    bg = world.node_tree.nodes["Background"]
    bg.inputs["Color"].default_value = (0.93, 0.93, 0.93, 1.0)
    bg.inputs["Strength"].default_value = 1.0
    scene.world = world

    scene.render.engine = "CYCLES"
    scene.cycles.device = "CPU"
    scene.cycles.samples = 32
    scene.cycles.use_denoising = False
    scene.view_settings.view_transform = "Standard"
    scene.render.resolution_x = width
    scene.render.resolution_y = max(1, round(width * dims.z / max(dims.x, 1e-9)))
    scene.render.resolution_percentage = 100
    scene.render.image_settings.file_format = "PNG"
    scene.render.image_settings.color_mode = "RGB"
    scene.render.image_settings.compression = 100
    scene.render.filepath = out
    bpy.ops.render.render(write_still=True)
    print(f"rendered {out}: {sprite.name}, {len(sprite.data.vertices)} vertices, "
          f"{len(sprite.data.polygons)} faces")


main()
