"""Remakes the Blender pictures of docs/formats.md and docs/blender.md from
a sprite drawn here.

    .venv/bin/python scripts/docs_pictures.py

The sprite is painted procedurally (a round, striped creature with a hole
between its arms, a separate star beside it and a soft shadow below), so
the pictures carry no third-party art. It writes:

- docs/gltf-blender-render.png: the sprite meshed with `vellumcut poisson`,
  exported as glTF, imported by Blender's glTF importer and rendered with
  Cycles on the CPU (scripts/render_gltf.py);
- docs/blender-addon.png: the same sprite imported by the Blender add-on
  (scripts/blender_addon_demo.py), quality interior, wireframe on top.
"""
from __future__ import annotations

import os
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np
from PIL import Image

ROOT = Path(__file__).resolve().parent.parent


def creature_rgba(size: int = 160) -> np.ndarray:
    """An RGBA sprite with colour detail, a hole, two islands and a faint shadow."""
    yy, xx = np.mgrid[0:size, 0:size].astype(np.float32)
    cx, cy, r = 0.45 * size, 0.48 * size, 0.32 * size
    d = np.hypot(xx - cx, yy - cy)
    rgba = np.zeros((size, size, 4), np.float32)
    body = d <= r
    # Body: orange to red from the top left, dark stripes, a lighter belly.
    shade = np.clip(0.55 + 0.45 * (1 - d / r), 0, 1)
    stripes = (np.sin((xx + 0.6 * yy) / size * 28) > 0.55) & body
    rgba[body, 0] = 250 * shade[body]
    rgba[body, 1] = 140 * shade[body]
    rgba[body, 2] = 40
    rgba[stripes, :3] = (120, 40, 30)
    belly = np.hypot(xx - cx, (yy - cy - 0.35 * r) * 1.6) <= 0.45 * r
    rgba[belly & body, :3] = (255, 215, 150)
    # Eyes.
    for ex in (cx - 0.35 * r, cx + 0.1 * r):
        eye = np.hypot(xx - ex, yy - (cy - 0.3 * r)) <= 0.16 * r
        pupil = np.hypot(xx - ex - 0.04 * r, yy - (cy - 0.3 * r)) <= 0.07 * r
        rgba[eye & body, :3] = 255
        rgba[pupil & body, :3] = 20
    rgba[body, 3] = 255
    # Arms: a ring on the right, leaving a hole between arm and body.
    arm = (np.abs(np.hypot(xx - (cx + 0.95 * r), yy - cy) - 0.38 * r) <= 0.12 * r)
    rgba[arm & ~body] = (200, 90, 30, 255)
    # A star beside it: a separate island.
    ang = np.arctan2(yy - 0.18 * size, xx - 0.84 * size)
    rad = np.hypot(xx - 0.84 * size, yy - 0.18 * size)
    star = rad <= 0.07 * size * (0.6 + 0.4 * np.cos(5 * ang))
    rgba[star] = (255, 230, 60, 255)
    # A soft shadow: alpha ramps that a threshold decides about.
    shadow = np.clip(1 - np.hypot((xx - cx) / (0.8 * r), (yy - 0.9 * size) / (0.12 * r)), 0, 1)
    ground = (shadow > 0) & (rgba[..., 3] == 0)
    rgba[ground, :3] = 30
    rgba[ground, 3] = 140 * shadow[ground]
    return np.clip(rgba, 0, 255).astype(np.uint8)


def run(cmd: list[str]) -> None:
    print("+", " ".join(cmd), flush=True)
    subprocess.run(cmd, check=True)


def main() -> int:
    docs = ROOT / "docs"
    bin_dir = Path(sys.executable).parent
    with tempfile.TemporaryDirectory() as tmp:
        sprite = Path(tmp) / "creature.png"
        Image.fromarray(creature_rgba(), "RGBA").save(sprite)
        out = Path(tmp) / "out"
        run([str(bin_dir / "vellumcut"), "poisson", str(sprite), "--rpx", "8", "--format", "gltf",
             "-o", str(out), "--no-progress"])
        run(["blender", "-b", "--factory-startup", "--python", str(ROOT / "scripts" / "render_gltf.py"),
             "--", str(out / "creature.glb"), str(docs / "gltf-blender-render.png"), "420"])
        run([sys.executable, str(ROOT / "scripts" / "blender_addon_demo.py"),
             "--out", str(docs / "blender-addon.png"), str(sprite)])
    return 0


if __name__ == "__main__":
    os.chdir(ROOT)
    sys.exit(main())
