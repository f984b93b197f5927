"""vellumcut: outlines and triangle meshes of RGBA sprites, with exports
(JSON, OBJ + MTL, Godot 4 scenes, glTF 2.0, Spine 4.x), previews and a
command line, over the native module `vellumcut_core`.

    import vellumcut
    mesh = vellumcut.earcut("hero.png", eps=1.5, margin=4)
    vellumcut.export.write_json(mesh, "hero.json")
    vellumcut.export.write_gltf(mesh, "hero.glb", pivot="bottom", filter="nearest")
    vellumcut.preview.write_previews(mesh, "hero", vellumcut.image.load_mask("hero.png", 0, mesh).rgba)
"""
import os as _os
from importlib import metadata as _metadata
from typing import Any as _Any, Callable as _Callable, Union as _Union, cast as _cast

from vellumcut import export, image, meshes, modes, presets, preview, quality
from vellumcut.errors import ImageRefused, OptionError
from vellumcut.meshes import Part, SpriteMesh
from vellumcut.rig import Bone, RiggedSprite, SkeletonError, rig_sprite
from vellumcut.sprite import mesh_sprite as _mesh_sprite

# `preset=` ("render", "deform", "physics") on top of the mesher's options.
mesh_sprite = presets.with_presets(_mesh_sprite)

try:
    __version__ = _metadata.version("vellumcut")
except _metadata.PackageNotFoundError:  # running from a source tree
    __version__ = "0+unknown"

# Defaults of the Python helpers and the command line.
EPS: float = 1.5
MARGIN: int = 4
MAXA: float = 0.0
RPX: int = 10

__all__ = ["EPS", "MARGIN", "MAXA", "MESHERS", "RPX", "Bone", "ImageRefused", "OptionError", "Part",
           "RiggedSprite", "SkeletonError", "SpriteMesh", "batch", "earcut", "export", "image", "mesh_sprite",
           "meshes", "modes", "outline", "poisson", "presets", "preview", "quality", "register_mesher", "rig_sprite", "run"]


def outline(path: _Union[str, "_os.PathLike[str]"], eps: float = EPS,
            margin: int = MARGIN) -> SpriteMesh:
    """Outer outline of every opaque island (`vellumcut_core.islands`)."""
    import vellumcut_core

    p = _os.fspath(path)
    return meshes.from_islands(vellumcut_core.islands(p, eps, margin), margin,
                        {"eps": eps, "margin": margin}, p)


def earcut(path: _Union[str, "_os.PathLike[str]"], eps: float = EPS, margin: int = MARGIN,
           maxA: float = MAXA) -> SpriteMesh:
    """Ear-clipping mesh of every opaque region (`vellumcut_core.triangulate_png`)."""
    import vellumcut_core

    p = _os.fspath(path)
    return meshes.from_triangulate(vellumcut_core.triangulate_png(p, eps, margin, maxA), margin,
                            {"eps": eps, "margin": margin, "maxA": maxA}, p)


def poisson(path: _Union[str, "_os.PathLike[str]"], eps: float = EPS, margin: int = MARGIN,
            rpx: int = RPX) -> SpriteMesh:
    """Poisson-disk mesh of the largest opaque island (`vellumcut_core.poisson_png`)."""
    import vellumcut_core

    p = _os.fspath(path)
    return meshes.from_poisson(vellumcut_core.poisson_png(p, eps, margin, rpx), margin,
                        {"eps": eps, "margin": margin, "rpx": rpx}, p)


# mode name -> function(path, **params) -> SpriteMesh; `run` and the batches look here.
MESHERS: dict[str, _Callable[..., SpriteMesh]] = {
    "outline": outline, "earcut": earcut, "poisson": poisson, "mesh": mesh_sprite,
    # A RiggedSprite answers for its mesh (parts, counts, source).
    "rig": _cast(_Callable[..., SpriteMesh], rig_sprite)}


def register_mesher(mode: str, func: _Callable[..., SpriteMesh]) -> None:
    """Make `func(path, **params)` available as `run(mode, ...)` and to batches."""
    if mode in MESHERS:
        raise ValueError(f"mesher {mode!r} is already registered")
    MESHERS[mode] = func


def run(mode: str, path: _Union[str, "_os.PathLike[str]"], **params: _Any) -> SpriteMesh:
    """A registered mesher (`outline`, `earcut`, `poisson`, ...) by name."""
    if mode not in MESHERS:
        raise ValueError(f"unknown mode {mode!r}; choose from {', '.join(MESHERS)}")
    return MESHERS[mode](path, **params)


from vellumcut.jobs import batch  # noqa: E402 - needs the meshers above
