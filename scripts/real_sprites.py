"""Real game sprites for tests and benchmarks, fetched into an ignored cache.

The images are the CC0 art that the `arcade` distribution on PyPI ships in
its wheel (characters, tiles, cards, UI pieces, items, space shooter parts).
Nothing of it is committed: `ensure()` downloads the wheel once with pip and
unpacks its PNG files under `.cache/sprites/arcade/`; later calls only read
the cache.

    python scripts/real_sprites.py          # fetch if missing, print the count
    from real_sprites import sprite_paths   # sorted list of PNG paths
"""
from __future__ import annotations

import os
import shutil
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CACHE = ROOT / ".cache" / "sprites"
PACKAGE = "arcade==3.3.3"
PREFIX = "arcade/resources/"
STAMP = CACHE / f".done-{PACKAGE}"
TARGET = CACHE / "arcade"


def ensure() -> Path:
    """Unpack the wheel's images into the cache unless already done; return the folder."""
    if STAMP.exists():
        return TARGET
    CACHE.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=CACHE) as tmp:
        subprocess.run(
            [sys.executable, "-m", "pip", "download", "--no-deps", "--only-binary=:all:",
             "-q", "-d", tmp, PACKAGE],
            check=True,
        )
        wheels = list(Path(tmp).glob("*.whl"))
        if not wheels:
            raise RuntimeError(f"pip download {PACKAGE} left no wheel in {tmp}")
        if TARGET.exists():
            shutil.rmtree(TARGET)
        with zipfile.ZipFile(wheels[0]) as wheel:
            for name in wheel.namelist():
                if name.startswith(PREFIX) and name.lower().endswith(".png"):
                    dest = TARGET / name[len(PREFIX):]
                    dest.parent.mkdir(parents=True, exist_ok=True)
                    with wheel.open(name) as src, open(dest, "wb") as out:
                        shutil.copyfileobj(src, out)
    STAMP.touch()
    return TARGET


def sprite_paths(with_alpha: bool = True) -> list[Path]:
    """Every cached PNG (fetching first if needed), sorted; by default only
    those with an alpha channel or a transparent palette entry."""
    folder = ensure()
    paths = sorted(folder.rglob("*.png"))
    if not with_alpha:
        return paths
    from PIL import Image

    keep = []
    for p in paths:
        with Image.open(p) as im:
            if im.mode in ("RGBA", "LA", "PA") or "transparency" in im.info:
                keep.append(p)
    return keep


if __name__ == "__main__":
    paths = sprite_paths(with_alpha=False)
    if not paths:
        sys.exit(f"no sprites in {TARGET}")
    print(f"{len(paths)} real sprites in {os.path.relpath(TARGET, ROOT)}")
