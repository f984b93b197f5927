"""A batch of painted sprites for the overview page, and the page's screenshot.

    .venv/bin/python scripts/overview_demo.py        # writes docs/overview-page.png

`paint_batch` paints sprites procedurally (blobs, rings, stars, thin
crescents, soft glows; no third-party art) and adds a few files that cannot
be meshed; the tests mesh such a batch and check the page in Chromium. The
screenshot is of `vellumcut mesh DIR -j 2 --preview` over one of them,
sorted by overdraw, worst first.
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
KINDS = ("blob", "ring", "star", "crescent", "glow", "diamond")


def paint(kind: str, size: int, rng: np.random.Generator) -> np.ndarray:
    """An RGBA sprite of `size` x `size` pixels: a shape of the given kind."""
    yy, xx = (np.mgrid[0:size, 0:size] + 0.5) / size * 2 - 1  # -1..1, y down
    r, a = np.hypot(xx, yy), np.arctan2(yy, xx)
    if kind == "blob":
        alpha = r < 0.7 + 0.2 * np.sin(3 * a + rng.uniform(0, 6))
    elif kind == "ring":
        alpha = (r < 0.9) & (r > 0.45)
    elif kind == "star":
        alpha = r < 0.35 + 0.55 * np.abs(np.cos(2.5 * a)) ** 3
    elif kind == "crescent":
        alpha = (r < 0.85) & (np.hypot(xx - 0.35, yy + 0.1) > 0.7)
    elif kind == "diamond":
        alpha = np.abs(xx) + np.abs(yy) < 0.9
    else:  # a solid core in a soft glow: alpha falls off smoothly
        alpha = np.clip(1.6 - 2.0 * r, 0.0, 1.0)
    alpha = np.asarray(alpha, np.float64)
    hue = rng.uniform(0.2, 1.0, 3)
    rgb = np.clip((0.55 + 0.45 * np.cos(6 * xx + 4 * yy))[..., None] * hue * 255, 0, 255)
    return np.dstack([rgb, alpha * 255]).astype(np.uint8)


def paint_batch(folder: str | os.PathLike, count: int = 30, broken: int = 3,
                seed: int = 7) -> tuple[list[str], list[str]]:
    """Write `count` files into `folder`: `count - broken` painted PNG
    sprites of varied kinds and sizes, and `broken` files that are not
    images (text, a truncated PNG). Returns (sprite names, broken names)."""
    out = Path(folder)
    out.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(seed)
    good, bad = [], []
    for i in range(count - broken):
        kind = KINDS[i % len(KINDS)]
        name = f"{kind}-{i:02d}.png"
        Image.fromarray(paint(kind, int(rng.integers(24, 120)), rng), "RGBA").save(out / name)
        good.append(name)
    png = (out / good[0]).read_bytes()
    for i in range(broken):
        name = f"broken-{i}.png"
        (out / name).write_bytes(png[: len(png) // 3] if i % 2 else b"not an image\n")
        bad.append(name)
    return good, bad


def main() -> int:
    sys.path.insert(0, str(ROOT / "scripts"))
    from headless_chromium import start_chromium

    exe = Path(sys.executable).with_name("vellumcut")
    with tempfile.TemporaryDirectory() as tmp:
        art, out = Path(tmp) / "art", Path(tmp) / "out"
        paint_batch(art, count=24, broken=2)
        subprocess.run([str(exe), "mesh", str(art), "-o", str(out), "-j", "2", "--preview", "-qq"],
                       check=False)
        with start_chromium(1200, 900) as driver:
            driver.get((out / "index.html").resolve().as_uri())
            driver.find_element("css selector", 'th button[data-key="overdraw"]').click()
            target = ROOT / "docs" / "overview-page.png"
            driver.save_screenshot(str(target))
    print(f"wrote {target}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
