"""Draws a real character rigged by `vellumcut.rig_sprite` at rest and in two
poses (linear blend skinning of its mesh, the texture carried along
triangle by triangle), with the bones over each: docs/rig-posed.png.

Usage: .venv/bin/python scripts/rig_demo.py [OUT_PNG]

The sprite comes from the real sprite cache (scripts/real_sprites.py),
enlarged 3x pixel for pixel; the poses name bones of its suggested skeleton.
"""
from __future__ import annotations

import sys
from pathlib import Path

import cv2
import numpy as np
from PIL import Image

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "scripts"))

import vellumcut  # noqa: E402
from vellumcut import preview, rig  # noqa: E402

SPRITE = "animated_characters/female_adventurer/femaleAdventurer_idle.png"
SCALE = 3
PAD = 60
# Degrees, clockwise on screen (y down); a bone carries its children along.
POSES = {
    "wave": {"down1-down_right1": -75.0, "down1-down_right2": -40.0, "up1": -10.0},
    "stride": {"down2-down_right1": -25.0, "down2-down_left1": 28.0, "down2-down_left2": -20.0,
               "down1-down_left1": 25.0, "down1-down_right1": -20.0, "down1": -6.0},
}


def sprite_path() -> str:
    from real_sprites import sprite_paths

    for p in sprite_paths():
        if str(p).replace("\\", "/").endswith(SPRITE):
            return str(p)
    raise SystemExit(f"{SPRITE} is not in the real sprite cache; run scripts/real_sprites.py")


def draw(rigged: rig.RiggedSprite, rgba: np.ndarray, angles: dict[int, float], title: str) -> np.ndarray:
    h, w = rgba.shape[:2]
    canvas = np.full((h + 2 * PAD, w + 2 * PAD, 4), 0, np.uint8)
    mats = rig.bone_matrices(rigged.bones, angles)
    for part, weights in zip(rigged.mesh.parts, rigged.weights):
        src = rigged.mesh.image_xy(part.vertices)
        dst = rigged.mesh.image_xy(rig.skin(part.vertices, weights, mats)) + PAD
        for tri in part.triangles:
            s, d = src[tri].astype(np.float32), dst[tri].astype(np.float32)
            x0, y0 = np.floor(d.min(axis=0)).astype(int) - 1
            x1, y1 = np.ceil(d.max(axis=0)).astype(int) + 2
            if x1 <= x0 or y1 <= y0:
                continue
            m = cv2.getAffineTransform(s, (d - (x0, y0)).astype(np.float32))
            patch = cv2.warpAffine(rgba, m, (x1 - x0, y1 - y0), flags=cv2.INTER_NEAREST,
                                   borderMode=cv2.BORDER_CONSTANT, borderValue=(0, 0, 0, 0))
            mask = np.zeros((y1 - y0, x1 - x0), np.uint8)
            cv2.fillConvexPoly(mask, np.round((d - (x0, y0)) * 16).astype(np.int32), 1, cv2.LINE_8, 4)
            region = canvas[y0:y1, x0:x1]
            keep = (mask > 0) & (patch[..., 3] > 0)
            region[keep] = patch[keep]
    img = Image.new("RGBA", (canvas.shape[1], canvas.shape[0]), (246, 246, 242, 255))
    img.alpha_composite(Image.fromarray(canvas, "RGBA"))
    out = np.asarray(img.convert("RGB")).copy()
    colours = preview.bone_colours(len(rigged.bones))
    border = rigged.mesh.border
    for k, b in enumerate(rigged.bones):
        # A bone moves with its own matrix; its head is where its parent puts it.
        head = mats[k] @ np.array([*b.head, 1.0])
        tail = mats[k] @ np.array([*b.tail, 1.0])
        p0 = tuple(int(round(v - border + 0.5 + PAD)) for v in head)
        p1 = tuple(int(round(v - border + 0.5 + PAD)) for v in tail)
        cv2.line(out, p0, p1, (20, 20, 20), 5, cv2.LINE_AA)
        cv2.line(out, p0, p1, tuple(int(c) for c in colours[k]), 3, cv2.LINE_AA)
        cv2.circle(out, p0, 4, (20, 20, 20), -1, cv2.LINE_AA)
    cv2.putText(out, title, (10, 24), cv2.FONT_HERSHEY_SIMPLEX, 0.6, (40, 40, 40), 1, cv2.LINE_AA)
    return out


def main(out: str = str(ROOT / "docs" / "rig-posed.png")) -> None:
    with Image.open(sprite_path()) as im:
        im = im.convert("RGBA")
        rgba = np.asarray(im.resize((im.width * SCALE, im.height * SCALE), Image.Resampling.NEAREST))
    rigged = vellumcut.rig_sprite(rgba)
    index = {b.name: i for i, b in enumerate(rigged.bones)}
    missing = [n for pose in POSES.values() for n in pose if n not in index]
    if missing:
        raise SystemExit(f"the suggested skeleton has no bone {missing}; bones: {sorted(index)}")
    panels = [draw(rigged, rgba, {}, f"rest: {len(rigged.bones)} bones, {rigged.mesh.vertex_count} vertices")]
    for name, pose in POSES.items():
        panels.append(draw(rigged, rgba, {index[n]: a for n, a in pose.items()}, name))
    Image.fromarray(np.concatenate(panels, axis=1)).convert("P", palette=Image.Palette.ADAPTIVE,
                                                             colors=128).save(out, optimize=True)
    print(f"wrote {out}")


if __name__ == "__main__":
    main(*sys.argv[1:])
