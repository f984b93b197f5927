"""Draws the comparison picture of README.md and docs/mesh-sprite.md: one
generated sprite meshed by the core's `triangulate_png` and by
`vellumcut.mesh_sprite`, side by side, with the package's own preview
renderer.

Usage: python scripts/mesher_demo.py [OUT_PNG]   (default: docs/demo-mesh-sprite.png)
"""
from __future__ import annotations

import sys
import tempfile
from pathlib import Path

import numpy as np
from PIL import Image, ImageDraw

import vellumcut
from vellumcut import preview


def sun_alpha(size: int = 96) -> np.ndarray:
    """A sun: a disc, thin rays, a faint glow and a few specks of dust."""
    yy, xx = np.mgrid[0:size, 0:size].astype(np.float64)
    c = size / 2 - 0.5
    r = np.hypot(xx - c, yy - c)
    ang = np.arctan2(yy - c, xx - c)
    alpha = np.where(r <= size * 0.22, 255, 0)
    rays = (np.abs(np.sin(6 * ang)) < 0.05) & (r < size * 0.46)
    alpha = np.where(rays, 230, alpha)
    glow = (r > size * 0.22) & (r < size * 0.27)
    alpha = np.where(glow & (alpha == 0), 12, alpha)  # faint: below the threshold used
    for x, y in ((8, 10), (85, 14), (12, 80)):
        alpha[y:y + 2, x:x + 2] = 255
    return alpha.astype(np.uint8)


def main(out: str = "docs/demo-mesh-sprite.png") -> None:
    alpha = sun_alpha()
    rgba = np.zeros(alpha.shape + (4,), np.uint8)
    rgba[..., 0], rgba[..., 1], rgba[..., 2], rgba[..., 3] = 250, 190, 40, alpha
    with tempfile.TemporaryDirectory() as tmp:
        path = str(Path(tmp) / "sun.png")
        Image.fromarray(rgba, "RGBA").save(path)
        core = vellumcut.earcut(path, eps=1.5, margin=2)
        ours = vellumcut.mesh_sprite(path, alpha_threshold=20, padding=0.5, interior="quality",
                                     spacing=8, margin=2)
    panels = []
    for title, mesh in (("triangulate_png (eps 1.5)", core),
                        ("mesh_sprite (quality, padding 0.5)", ours)):
        img = preview.render_png(mesh, rgba, zoom=5).convert("RGB")
        ImageDraw.Draw(img).text((8, 6), f"{title}: {mesh.vertex_count} vertices, "
                                 f"{mesh.triangle_count} triangles", fill=(0, 0, 0))
        panels.append(img)
    w = sum(p.width for p in panels) + 8
    sheet = Image.new("RGB", (w, max(p.height for p in panels)), (255, 255, 255))
    sheet.paste(panels[0], (0, 0))
    sheet.paste(panels[1], (panels[0].width + 8, 0))
    sheet.save(out, optimize=True)
    print(out)


if __name__ == "__main__":
    main(*sys.argv[1:])
