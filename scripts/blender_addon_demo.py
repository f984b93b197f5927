"""Shows the Blender add-on at work: installs the zip in a throw-away Blender
profile, imports real sprites with File > Import > Sprite as mesh, prints
what Blender created (objects, vertices, triangles, seconds per import) and
renders the first one with Cycles on the CPU, its wireframe drawn on top.

    .venv/bin/python scripts/blender_addon_demo.py [--out docs/blender-addon.png] [SPRITE ...]

With no sprite given it takes three from the real sprite cache. The same
file is the script Blender runs (it finds `bpy` there).
"""
from __future__ import annotations

import json
import math
import os
import sys
import time

try:
    import bpy  # type: ignore[import-not-found]
except ImportError:
    bpy = None

DEFAULT_SPRITES = ("enemies/bee.png", "animated_characters/female_adventurer/femaleAdventurer_idle.png",
                   "space_shooter/meteorGrey_big1.png")
# The picture's mesh: an even interior deforms well and shows the refinement.
RENDER_OPTIONS = {"interior": "QUALITY", "spacing": 12.0, "min_angle": 28.0}


def inside_blender(plan: dict) -> None:
    bpy.ops.preferences.addon_install(filepath=plan["zip"], overwrite=True)
    bpy.ops.preferences.addon_enable(module="vellumcut_blender")
    prefs = bpy.context.preferences.addons["vellumcut_blender"].preferences
    prefs.method = plan["method"]
    rows = []
    first = None
    for i, path in enumerate(plan["sprites"]):
        for obj in list(bpy.data.objects):
            bpy.data.objects.remove(obj)
        opts = RENDER_OPTIONS if i == 0 else {}
        start = time.perf_counter()
        bpy.ops.import_image.vellumcut_sprite(filepath=path, **opts)
        seconds = time.perf_counter() - start
        obj = bpy.context.view_layer.objects.active
        rows.append({"sprite": os.path.basename(path), "options": opts or "defaults",
                     "objects": len(bpy.context.selected_objects),
                     "vertices": len(obj.data.vertices), "triangles": len(obj.data.polygons),
                     "seconds": round(seconds, 3)})
        if i == 0 and plan["out"]:
            first = obj
            render(first, plan["out"])
    print("@@DEMO@@ " + json.dumps(rows))


def render(obj, out: str) -> None:
    scene = bpy.context.scene
    # Wireframe: a linked copy whose modifier replaces faces by thin edges,
    # lifted a little towards the camera and drawn in a dark emission.
    wire = obj.copy()
    bpy.context.collection.objects.link(wire)
    wire.location.y -= 0.01  # the sprite stands in the x-z plane, facing -y
    mod = wire.modifiers.new("wire", "WIREFRAME")
    mod.thickness = 0.0035
    mod.use_replace = True
    mod.use_even_offset = False  # no miter spikes at sharp corners
    mod.material_offset = 1
    ink = bpy.data.materials.new("ink")
    ink.use_nodes = True
    nodes = ink.node_tree.nodes
    nodes.clear()
    em = nodes.new("ShaderNodeEmission")
    em.inputs["Color"].default_value = (0.02, 0.05, 0.25, 1.0)
    outp = nodes.new("ShaderNodeOutputMaterial")
    ink.node_tree.links.new(em.outputs["Emission"], outp.inputs["Surface"])
    wire.data = obj.data.copy()
    wire.data.materials.append(ink)

    xs = [v.co.x for v in obj.data.vertices]
    zs = [v.co.z for v in obj.data.vertices]
    w, h = max(xs) - min(xs), max(zs) - min(zs)
    cam_data = bpy.data.cameras.new("cam")
    cam_data.type = "ORTHO"
    cam_data.ortho_scale = max(w, h) * 1.12
    cam = bpy.data.objects.new("cam", cam_data)
    cam.location = ((max(xs) + min(xs)) / 2, -5.0, (max(zs) + min(zs)) / 2)
    cam.rotation_euler = (math.pi / 2, 0.0, 0.0)  # the front view, looking along +y
    bpy.context.collection.objects.link(cam)
    scene.camera = cam

    # A checker backdrop, seen only by the camera, shows what is transparent.
    bpy.ops.mesh.primitive_plane_add(size=max(w, h) * 2, location=(cam.location.x, 0.05, cam.location.z),
                                     rotation=(math.pi / 2, 0.0, 0.0))
    backdrop = bpy.context.active_object
    checker = bpy.data.materials.new("backdrop")
    checker.use_nodes = True
    nt = checker.node_tree
    nt.nodes.clear()
    tex = nt.nodes.new("ShaderNodeTexChecker")
    tex.inputs["Scale"].default_value = 24.0
    tex.inputs["Color1"].default_value = (0.42, 0.45, 0.5, 1.0)
    tex.inputs["Color2"].default_value = (0.55, 0.58, 0.63, 1.0)
    em2 = nt.nodes.new("ShaderNodeEmission")
    out2 = nt.nodes.new("ShaderNodeOutputMaterial")
    nt.links.new(tex.outputs["Color"], em2.inputs["Color"])
    nt.links.new(em2.outputs["Emission"], out2.inputs["Surface"])
    backdrop.data.materials.append(checker)
    backdrop.visible_shadow = False

    world = bpy.data.worlds.new("studio")
    world.use_nodes = True
    bg = world.node_tree.nodes["Background"]
    bg.inputs["Color"].default_value = (1.0, 1.0, 1.0, 1.0)
    bg.inputs["Strength"].default_value = 1.0
    scene.world = world

    scene.render.engine = "CYCLES"
    scene.cycles.device = "CPU"
    scene.cycles.samples = 64
    scene.cycles.use_denoising = False
    scene.render.film_transparent = False
    scene.view_settings.view_transform = "Standard"
    longest = 420
    scene.render.resolution_x = longest if w >= h else max(int(longest * w / h), 16)
    scene.render.resolution_y = longest if h >= w else max(int(longest * h / w), 16)
    scene.render.resolution_percentage = 100
    scene.render.image_settings.file_format = "PNG"
    scene.render.image_settings.color_mode = "RGB"
    scene.render.image_settings.compression = 100
    scene.render.filepath = out
    bpy.ops.render.render(write_still=True)


def driver(argv: list[str]) -> int:
    import argparse
    import subprocess
    import tempfile

    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("sprites", nargs="*")
    ap.add_argument("--out", default=os.path.join(root, "docs", "blender-addon.png"))
    ap.add_argument("--blender", default="blender")
    ap.add_argument("--method", choices=("CHILD", "IN_PROCESS"), default="CHILD",
                    help="how the add-on runs the mesher (its preference)")
    ap.add_argument("--no-render", action="store_true", help="only import and report")
    args = ap.parse_args(argv)
    sprites = args.sprites or [os.path.join(root, ".cache", "sprites", "arcade", "assets", "images", s)
                               for s in DEFAULT_SPRITES]
    from vellumcut_blender.bundle import write_addon_zip

    with tempfile.TemporaryDirectory() as tmp:
        zip_path = write_addon_zip(os.path.join(tmp, "vellumcut_blender.zip"))
        plan = os.path.join(tmp, "plan.json")
        with open(plan, "w", encoding="utf-8") as f:
            json.dump({"zip": str(zip_path), "sprites": [os.path.abspath(s) for s in sprites],
                       "out": "" if args.no_render else os.path.abspath(args.out),
                       "method": args.method}, f)
        env = dict(os.environ, BLENDER_USER_SCRIPTS=os.path.join(tmp, "scripts"),
                   BLENDER_USER_CONFIG=os.path.join(tmp, "config"))
        proc = subprocess.run([args.blender, "-b", "--factory-startup", "--python-exit-code", "3",
                               "--python", os.path.abspath(__file__), "--", plan],
                              capture_output=True, text=True, env=env)
    lines = [ln for ln in proc.stdout.splitlines() if ln.startswith("@@DEMO@@ ")]
    if proc.returncode != 0 or not lines:
        sys.stderr.write(proc.stdout[-3000:] + proc.stderr[-3000:])
        return 1
    for row in json.loads(lines[0][len("@@DEMO@@ "):]):
        print(f"{row['sprite']}: {row['objects']} object, {row['vertices']} vertices, "
              f"{row['triangles']} triangles, {row['seconds']:.2f} s ({row['options']})")
    if args.no_render:
        return 0
    # Cycles' noise makes a large PNG; 96 colours look the same and keep docs/ small.
    from PIL import Image

    with Image.open(args.out) as im:
        im.convert("RGB").quantize(96, dither=Image.Dither.NONE).save(args.out, optimize=True)
    print(f"rendered {args.out} ({os.path.getsize(args.out) // 1024} KiB)")
    return 0


if __name__ == "__main__":
    if bpy is not None:
        with open(sys.argv[sys.argv.index("--") + 1], encoding="utf-8") as f:
            inside_blender(json.load(f))
    else:
        sys.exit(driver(sys.argv[1:]))
