"""The Blender side: preferences, the import operator and the objects it builds."""
from __future__ import annotations

import os
import time
import traceback
from pathlib import Path
from typing import Any

import bpy
from bpy.props import (BoolProperty, CollectionProperty, EnumProperty, FloatProperty,
                       FloatVectorProperty, IntProperty, StringProperty)
from bpy_extras.io_utils import ImportHelper

from . import backend, meshing

ADDON = __package__
ADDON_DIR = os.path.dirname(os.path.abspath(__file__))
IMAGE_GLOB = "*.png;*.webp;*.tif;*.tiff;*.bmp"
D = meshing.DEFAULTS
# The mesher's defaults and limits, as `vellumcut blender-addon` recorded
# them from vellumcut._mesher: the dialog restates none of them.
RULES = backend.mesher_option_rules(ADDON_DIR)
MD: dict[str, Any] = RULES["defaults"]
ML: dict[str, dict[str, Any]] = RULES["limits"]
INT_MAX = 2**31 - 1  # an IntProperty holds 32 bits
# What the Spacing field shows while Auto spacing is on (the mesher's
# default is "auto", which is no number).
SPACING_SHOWN = 8.0
PIVOTS = {"CENTER": "center", "BOTTOM": "bottom", "TOP_LEFT": "top-left"}
# The mesher's presets, as `vellumcut blender-addon` recorded them.
PRESETS = backend.recorded_presets(ADDON_DIR)
PRESET_TEXT = {"render": "Outline only, tight tolerance: few triangles, little overdraw",
               "deform": "Quality interior, automatic spacing, about 100 vertices: for bones",
               "physics": "Outline only, no padding, few vertices, holes filled: collision shapes"}
PRESET_ITEMS = [("NONE", "None", "The options below as they are")] + [
    (n.upper(), n.capitalize(), PRESET_TEXT.get(n, n)) for n in (PRESETS or PRESET_TEXT)]
INTERIOR_TEXT = {"none": ("None", "Triangles over the outline only: fewest vertices"),
                 "poisson": ("Poisson", "Evenly spread interior points, `Spacing` pixels apart"),
                 "quality": ("Quality", "Refined triangles: smallest angle at least `Min angle`, "
                                        "size bounded by `Spacing`")}
INTERIOR_ITEMS = tuple((n.upper(), *INTERIOR_TEXT.get(n, (n.capitalize(), n)))
                       for n in ML["interior"]["choices"])
# The operator's mesher options: the mesher's own, and the Auto spacing switch.
MESHER_OPTIONS = meshing.MESHER_OPTIONS + ("spacing_auto",)


def bounds(name: str, *, ints: bool = False) -> dict[str, Any]:
    """min and max of a property from the mesher's limits of that option
    (an unbounded side left out; integers kept within 32 bits)."""
    out = {}
    for side in ("min", "max"):
        value = ML[name].get(side)
        if value is not None:
            out[side] = max(-INT_MAX - 1, min(INT_MAX, value)) if ints else value
    return out


def apply_preset(op: Any, context: Any) -> None:
    """Set the options shown to the chosen preset's values; the user may then
    change any of them, and what they change wins over the preset."""
    for name, value in PRESETS.get(op.preset.lower(), {}).items():
        if name == "interior":
            op.interior = str(value).upper()
        elif name == "max_vertices":
            op.max_vertices = value or 0  # none: 0, no cap
        elif name == "spacing":
            op.spacing_auto = value in (None, "auto")
            if not op.spacing_auto:
                op.spacing = value
        elif name in MESHER_OPTIONS:
            setattr(op, name, value)


class VellumcutPreferences(bpy.types.AddonPreferences):
    bl_idname = ADDON

    mesher: StringProperty(
        name="vellumcut environment", subtype="FILE_PATH", default="",
        description="A Python interpreter, a virtual environment folder or a `vellumcut` command "
                    "whose environment has vellumcut installed. Empty: the environment that wrote "
                    "this add-on, then `vellumcut` on PATH, then Blender's own Python")
    method: EnumProperty(
        name="Run the mesher",
        items=(("CHILD", "In a child process",
                "Start the environment's Python for each image: works with any Python version, "
                "and a failure of the mesher cannot stop Blender"),
               ("IN_PROCESS", "Inside Blender",
                "Import vellumcut into Blender's Python: faster for many small images; needs an "
                "environment of Blender's Python version")),
        default="CHILD")

    def draw(self, context: Any) -> None:
        layout = self.layout
        layout.prop(self, "mesher")
        layout.prop(self, "method", expand=True)
        try:
            found = backend.find_mesher(self.mesher, ADDON_DIR)
            layout.label(text=f"Using {found.python or 'Blender’s own Python'} ({found.origin})",
                         icon="CHECKMARK")
        except backend.MesherNotFound as exc:
            layout.label(text=str(exc), icon="ERROR")


class IMPORT_IMAGE_OT_vellumcut_sprite(bpy.types.Operator, ImportHelper):
    """Import images as textured meshes that cover their opaque pixels"""

    bl_idname = "import_image.vellumcut_sprite"
    bl_label = "Import Sprite as Mesh"
    bl_options = {"REGISTER", "UNDO", "PRESET"}

    filter_glob: StringProperty(default=IMAGE_GLOB, options={"HIDDEN"})
    files: CollectionProperty(type=bpy.types.OperatorFileListElement,
                              options={"HIDDEN", "SKIP_SAVE"})
    directory: StringProperty(subtype="DIR_PATH", options={"HIDDEN", "SKIP_SAVE"})

    # The mesher's options (see vellumcut.mesh_sprite).
    preset: EnumProperty(
        name="Preset",
        items=PRESET_ITEMS, default="NONE", update=apply_preset,
        description="Fill in the options for a job; options changed after win over the preset")
    alpha_threshold: IntProperty(
        name="Alpha threshold", default=MD["alpha_threshold"], **bounds("alpha_threshold", ints=True),
        description="A pixel is opaque when its alpha is above this")
    tolerance: FloatProperty(
        name="Tolerance", soft_max=16.0, default=MD["tolerance"], unit="NONE", **bounds("tolerance"),
        description="How far in pixels the outline may stray outside the opaque pixels")
    padding: FloatProperty(
        name="Padding", soft_max=16.0, default=MD["padding"], **bounds("padding"),
        description="Every opaque pixel lies at least this many pixels inside the mesh")
    max_vertices: IntProperty(
        name="Max vertices", min=0, max=INT_MAX, default=MD["max_vertices"] or 0,
        description=f"Most outline vertices of the whole sprite, at least {ML['max_vertices']['min']} "
                    "per island; 0 for no cap")
    interior: EnumProperty(
        name="Interior",
        items=INTERIOR_ITEMS,
        default=MD["interior"].upper())
    spacing_auto: BoolProperty(
        name="Auto spacing", default=MD["spacing"] == "auto",
        description="Size the interior spacing per island from its opaque pixels; off: use Spacing")
    spacing: FloatProperty(
        name="Spacing", soft_max=128.0, default=SPACING_SHOWN if MD["spacing"] == "auto" else MD["spacing"],
        **bounds("spacing"),
        description="Interior point spacing in pixels, when Auto spacing is off")
    min_angle: FloatProperty(
        name="Min angle", default=MD["min_angle"], **bounds("min_angle"),
        description="Quality interior: smallest triangle angle in degrees (above "
                    f"{ML['min_angle']['min']:g})")
    seed: IntProperty(
        name="Seed", min=0, max=min(INT_MAX, ML["seed"]["max"]), default=meshing.SEED,
        description="Seed of the Poisson interior points: the same seed gives the same mesh")

    # Placement and what is created.
    pixels_per_unit: FloatProperty(
        name="Pixels per unit", min=1e-3, soft_max=1000.0, default=D["pixels_per_unit"],
        description="Image pixels per Blender unit")
    pivot: EnumProperty(
        name="Pivot",
        items=(("CENTER", "Center", "The image's centre at the object's origin"),
               ("BOTTOM", "Bottom", "The middle of the image's bottom edge at the origin"),
               ("TOP_LEFT", "Top left", "The image's top-left corner at the origin"),
               ("CUSTOM", "Custom", "A point given in fractions of the image (x right, y down)")),
        default="CENTER")
    pivot_custom: FloatVectorProperty(
        name="Pivot point", size=2, default=(0.5, 0.5), soft_min=0.0, soft_max=1.0,
        description="Pivot in fractions of the image: (0, 0) top left, (1, 1) bottom right")
    objects: EnumProperty(
        name="Objects",
        items=(("ONE", "One object", "All islands in one mesh object"),
               ("ISLANDS", "One per island", "One mesh object per island, all with the same origin")),
        default="ONE")
    alpha_blend: EnumProperty(
        name="Alpha",
        items=(("BLEND", "Blended", "Soft edges and translucent pixels (sorted in Eevee)"),
               ("CLIP", "Clipped", "Pixels are either drawn or not: no sorting problems")),
        default="BLEND")
    alpha_clip: FloatProperty(
        name="Clip threshold", min=0.0, max=1.0, default=0.5,
        description="Clipped alpha: pixels with less alpha than this are not drawn")
    interpolation: EnumProperty(
        name="Filter",
        items=(("Closest", "Nearest", "Sharp texels, for pixel art"),
               ("Linear", "Linear", "Smooth texels, for painted art")),
        default="Closest")
    relative_path: BoolProperty(
        name="Relative path", default=True,
        description="Store the image path relative to the .blend file (once it is saved)")

    # Rigging (see vellumcut.rig_sprite).
    rig: BoolProperty(
        name="Rig", default=D["rig"],
        description="Add an armature with a suggested skeleton, one vertex group of bone weights "
                    "per bone and an Armature modifier (a None interior becomes Quality)")
    max_bones: IntProperty(
        name="Max bones", min=1, soft_max=64, default=D["max_bones"],
        description="At most this many suggested bones; the shortest merge first")
    max_influences: IntProperty(
        name="Max influences", min=1, soft_max=8, default=D["max_influences"],
        description="Bones weighing each vertex, at most")

    def mesh_options(self) -> dict[str, Any]:
        pivot = (list(self.pivot_custom) if self.pivot == "CUSTOM" else PIVOTS[self.pivot])
        opts: dict[str, Any] = {"pixels_per_unit": self.pixels_per_unit, "pivot": pivot, "rig": self.rig,
                                "max_bones": self.max_bones, "max_influences": self.max_influences}
        # With a preset, only the options set (by the preset's menu, the user
        # or the caller) go along, over the preset's values.
        for name in MESHER_OPTIONS:
            if self.preset == "NONE" or self.properties.is_property_set(name):
                value = getattr(self, name)
                opts[name] = value.lower() if name == "interior" else value
        if self.preset != "NONE":
            opts["preset"] = self.preset.lower()
        return opts

    def image_paths(self) -> list[str]:
        if self.files and self.directory:
            names = [f.name for f in self.files if f.name]
            if names:
                return [os.path.join(self.directory, n) for n in names]
        return [self.filepath] if self.filepath else []

    def draw(self, context: Any) -> None:
        layout = self.layout
        layout.use_property_split = True
        layout.prop(self, "preset")
        box = layout.box()
        box.label(text="Outline")
        for name in ("alpha_threshold", "tolerance", "padding", "max_vertices"):
            box.prop(self, name)
        box = layout.box()
        box.label(text="Interior")
        box.prop(self, "interior")
        col = box.column()
        col.enabled = self.interior != "NONE"
        col.prop(self, "spacing_auto")
        sub = col.column()
        sub.enabled = not self.spacing_auto
        sub.prop(self, "spacing")
        sub = col.column()
        sub.enabled = self.interior == "QUALITY"
        sub.prop(self, "min_angle")
        sub = col.column()
        sub.enabled = self.interior == "POISSON"
        sub.prop(self, "seed")
        box = layout.box()
        box.label(text="Placement")
        box.prop(self, "pixels_per_unit")
        box.prop(self, "pivot")
        if self.pivot == "CUSTOM":
            box.prop(self, "pivot_custom")
        box.prop(self, "objects")
        box = layout.box()
        box.label(text="Material")
        box.prop(self, "alpha_blend")
        if self.alpha_blend == "CLIP":
            box.prop(self, "alpha_clip")
        box.prop(self, "interpolation")
        box.prop(self, "relative_path")
        box = layout.box()
        box.prop(self, "rig")
        col = box.column()
        col.enabled = self.rig
        col.prop(self, "max_bones")
        col.prop(self, "max_influences")

    def execute(self, context: Any) -> set[str]:
        try:
            return self.import_images(context)
        except Exception as exc:  # a fault of the add-on itself: say so, keep the traceback
            traceback.print_exc()
            self.report({"ERROR"}, f"vellumcut add-on failed: {type(exc).__name__}: {exc} "
                                   f"(details in the system console)")
            return {"CANCELLED"}

    def import_images(self, context: Any) -> set[str]:
        prefs = context.preferences.addons[ADDON].preferences
        paths = self.image_paths()
        if not paths:
            self.report({"ERROR"}, "No image chosen")
            return {"CANCELLED"}
        try:
            mesher = backend.find_mesher(prefs.mesher, ADDON_DIR)
        except backend.MesherNotFound as exc:
            self.report({"ERROR"}, str(exc))
            return {"CANCELLED"}
        in_process = prefs.method == "IN_PROCESS"
        options = self.mesh_options()
        created: list[Any] = []
        failures = 0
        start = time.perf_counter()
        for path in paths:
            name = os.path.basename(path)
            try:
                result = backend.mesh_image(mesher, path, options, in_process)
            except backend.MesherNotFound as exc:
                self.report({"ERROR"}, str(exc))
                return {"CANCELLED"}
            except backend.MesherFailed as exc:
                failures += 1
                self.report({"ERROR"}, f"{name}: {exc}")
                continue
            if not result["parts"]:
                failures += 1
                self.report({"WARNING"}, f"{name}: no pixel has alpha above "
                                         f"{self.alpha_threshold}; nothing to import")
                continue
            created += self.build(context, path, result)
        if not created:
            return {"CANCELLED"}
        select(context, created)
        meshes = [o for o in created if o.type == "MESH"]
        verts = sum(len(o.data.vertices) for o in meshes)
        faces = sum(len(o.data.polygons) for o in meshes)
        self.report({"INFO"}, f"Imported {len(paths) - failures} image(s) as {len(created)} "
                              f"object(s): {verts} vertices, {faces} triangles in "
                              f"{time.perf_counter() - start:.2f} s")
        return {"FINISHED"}

    def build(self, context: Any, path: str, result: dict[str, Any]) -> list[Any]:
        image = load_image(path, self.relative_path)
        material = make_material(Path(path).stem, image, self.alpha_blend, self.alpha_clip,
                                 self.interpolation)
        stem = Path(path).stem
        parts = result["parts"]
        groups = [parts] if self.objects == "ONE" else [[p] for p in parts]
        objects = []
        armature = None
        if result.get("bones"):
            armature = make_armature(context, f"{stem}.rig", result["bones"])
            armature["vellumcut_source"] = path
            objects.append(armature)
        for i, group in enumerate(groups):
            name = stem if len(groups) == 1 else f"{stem}.island{i:03d}"
            obj = bpy.data.objects.new(name, mesh_from_parts(name, group, material))
            obj.location = context.scene.cursor.location
            # What made this object, for re-meshing with other options later.
            obj["vellumcut_source"] = path
            obj["vellumcut_island"] = -1 if len(groups) == 1 else i
            context.collection.objects.link(obj)
            if armature is not None:
                bind(obj, armature, result["bones"], group)
            objects.append(obj)
        return objects


def upright(x: float, y: float) -> tuple[float, float, float]:
    """A point of the sprite's plane (x right, y up) in Blender: the sprite
    stands in the x-z plane facing -y, so the front view shows it as drawn,
    where Blender's glTF and OBJ importers put the package's exports (their
    y up is Blender's z up)."""
    return (x, 0.0, y)


def mesh_from_parts(name: str, parts: list[dict[str, Any]], material: Any) -> Any:
    """One Blender mesh of the given parts, standing up (`upright`), with a
    UV layer and one material."""
    verts: list[tuple[float, float, float]] = []
    uvs: list[list[float]] = []
    faces: list[tuple[int, int, int]] = []
    for p in parts:
        base = len(verts)
        verts += [upright(x, y) for x, y in p["positions"]]
        uvs += p["uvs"]
        faces += [(a + base, b + base, c + base) for a, b, c in p["triangles"]]
    me = bpy.data.meshes.new(name)
    me.from_pydata(verts, [], faces)
    layer = me.uv_layers.new(name="UVMap")
    loop_vertex = [0] * len(me.loops)
    me.loops.foreach_get("vertex_index", loop_vertex)
    layer.data.foreach_set("uv", [c for vi in loop_vertex for c in uvs[vi]])
    me.materials.append(material)
    me.update()
    return me


def make_armature(context: Any, name: str, bones: list[dict[str, Any]]) -> Any:
    """An Armature object at the 3D cursor with the bones in the sprite's
    plane (`upright`), parents as given. Each bone's z axis points at the
    viewer of the front view (-y), so a 2D pose turns bones about z alone."""
    data = bpy.data.armatures.new(name)
    obj = bpy.data.objects.new(name, data)
    obj.location = context.scene.cursor.location
    context.collection.objects.link(obj)
    previous = context.view_layer.objects.active
    context.view_layer.objects.active = obj
    bpy.ops.object.mode_set(mode="EDIT")
    made = []
    for b in bones:
        eb = data.edit_bones.new(b["name"])
        eb.head = upright(*b["head"])
        eb.tail = upright(*b["tail"])
        if (eb.tail - eb.head).length < 1e-6:  # Blender drops bones without length
            eb.tail = upright(b["head"][0], b["head"][1] + 1e-3)
        eb.align_roll((0.0, -1.0, 0.0))
        if b["parent"] is not None:
            eb.parent = made[b["parent"]]
        made.append(eb)
    bpy.ops.object.mode_set(mode="OBJECT")
    context.view_layer.objects.active = previous
    return obj


def bind(obj: Any, armature: Any, bones: list[dict[str, Any]], parts: list[dict[str, Any]]) -> None:
    """One vertex group per bone holding the parts' weights, an Armature
    modifier, and the armature as the object's parent (moving it moves both)."""
    groups = [obj.vertex_groups.new(name=b["name"]) for b in bones]
    base = 0
    for p in parts:
        for i, pairs in enumerate(p.get("weights", [])):
            for k, w in pairs:
                groups[k].add([base + i], w, "REPLACE")
        base += len(p["positions"])
    mod = obj.modifiers.new("Armature", "ARMATURE")
    mod.object = armature
    obj.parent = armature
    obj.location = (0.0, 0.0, 0.0)


def load_image(path: str, relative: bool) -> Any:
    image = bpy.data.images.load(path, check_existing=True)
    if relative and bpy.data.filepath:
        try:
            image.filepath = bpy.path.relpath(path)
        except ValueError:  # another drive on Windows
            pass
    return image


def make_material(name: str, image: Any, blend: str, clip: float, interpolation: str) -> Any:
    """Image texture into a rough, non-specular Principled BSDF, alpha wired, two-sided."""
    mat = bpy.data.materials.new(name)
    mat.use_nodes = True
    nodes, links = mat.node_tree.nodes, mat.node_tree.links
    bsdf = next(n for n in nodes if n.type == "BSDF_PRINCIPLED")
    tex = nodes.new("ShaderNodeTexImage")
    tex.image = image
    tex.interpolation = interpolation
    tex.extension = "EXTEND"  # linear filtering must not wrap the opposite edge in
    tex.location = (bsdf.location.x - 320, bsdf.location.y)
    links.new(tex.outputs["Color"], bsdf.inputs["Base Color"])
    links.new(tex.outputs["Alpha"], bsdf.inputs["Alpha"])
    bsdf.inputs["Specular"].default_value = 0.0
    bsdf.inputs["Roughness"].default_value = 1.0
    mat.blend_method = blend
    mat.shadow_method = "CLIP" if blend == "CLIP" else "HASHED"
    mat.alpha_threshold = clip
    mat.use_backface_culling = False
    mat.show_transparent_back = False
    return mat


def select(context: Any, objects: list[Any]) -> None:
    for o in context.view_layer.objects.selected:
        o.select_set(False)
    for o in objects:
        o.select_set(True)
    context.view_layer.objects.active = objects[0]


def menu_import(self: Any, context: Any) -> None:
    self.layout.operator(IMPORT_IMAGE_OT_vellumcut_sprite.bl_idname, text="Sprite as mesh (vellumcut)")


CLASSES = (VellumcutPreferences, IMPORT_IMAGE_OT_vellumcut_sprite)


def register() -> None:
    for cls in CLASSES:
        bpy.utils.register_class(cls)
    bpy.types.TOPBAR_MT_file_import.append(menu_import)


def unregister() -> None:
    bpy.types.TOPBAR_MT_file_import.remove(menu_import)
    for cls in reversed(CLASSES):
        bpy.utils.unregister_class(cls)
