"""vellumcut for Blender: File > Import > Sprite as mesh (vellumcut).

Imports an image as a textured mesh cut along its opaque pixels by
`vellumcut.mesh_sprite`, ready for deformation (armatures, shape keys,
lattices). Install the zip written by `vellumcut blender-addon OUT.zip`.

This file imports no `bpy` at module level: the package also ships inside the
`vellumcut` distribution, where `python -m vellumcut_blender.meshing` runs
outside Blender as the add-on's child process.
"""

bl_info = {
    "name": "vellumcut: sprite as mesh",
    "author": "vellumcut developers",
    "version": (0, 1, 0),
    "blender": (3, 4, 0),
    "location": "File > Import > Sprite as mesh (vellumcut)",
    "description": "Import an image as a textured, deformable mesh that covers its opaque pixels",
    "category": "Import-Export",
}


def register() -> None:
    from . import addon

    addon.register()


def unregister() -> None:
    from . import addon

    addon.unregister()
