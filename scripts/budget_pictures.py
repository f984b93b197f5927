"""Draws docs/budgets.png: one painted sprite meshed at three vertex budgets.

    .venv/bin/python scripts/budget_pictures.py

The sprite is scripts/docs_pictures.py's procedurally painted creature
(no third-party art). Each panel is vellumcut.preview's mesh drawing over
the sprite, titled with the budget, the outline vertices and the overdraw.
"""
from __future__ import annotations

import os
import sys
from pathlib import Path

import numpy as np
from PIL import Image, ImageDraw

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "scripts"))
sys.path.insert(0, str(ROOT / "tests"))

import vellumcut  # noqa: E402
from docs_pictures import creature_rgba  # noqa: E402
from mesh_checks import mesh_figures  # noqa: E402
from vellumcut.preview import render_png  # noqa: E402

BUDGETS = (12, 24, 64)


def main() -> int:
    rgba = creature_rgba(240)
    mask = rgba[..., 3] > 0
    panels = []
    for budget in BUDGETS:
        mesh = vellumcut.mesh_sprite(rgba, max_vertices=budget, margin=4)
        figures = mesh_figures(mesh, mask)
        picture = render_png(mesh, rgba, zoom=1.6)
        img = Image.fromarray(picture) if isinstance(picture, np.ndarray) else picture
        title = (f"max_vertices={budget}: {sum(len(r) for p in mesh.parts for r in p.rings)} vertices, "
                 f"overdraw {100 * figures['overdraw']:.0f} %")
        framed = Image.new("RGB", (img.width, img.height + 22), "white")
        framed.paste(img.convert("RGB"), (0, 22))
        ImageDraw.Draw(framed).text((6, 5), title, fill="black")
        panels.append(framed)
    sheet = Image.new("RGB", (sum(p.width for p in panels) + 8 * (len(panels) - 1), max(p.height for p in panels)),
                      "white")
    x = 0
    for p in panels:
        sheet.paste(p, (x, 0))
        x += p.width + 8
    out = ROOT / "docs" / "budgets.png"
    sheet.save(out)
    print(out)
    return 0


if __name__ == "__main__":
    os.chdir(ROOT)
    sys.exit(main())
