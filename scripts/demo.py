"""Runs vellumcut_core on a built-in sample sprite and writes what it found.

Usage: python scripts/demo.py [OUTPUT_DIR]   (default: demo-output)

The sample is drawn here, not shipped: two islands, one of them with a hole
that holds a third island, joined to a knob by a one-pixel-wide neck.
"""
from __future__ import annotations

import json
import struct
import sys
import zlib
from pathlib import Path

import numpy as np

import vellumcut_core as vc


# Small enough that the sample's narrow ring still gets interior vertices.
POISSON_RPX = 3


def sample_alpha(size: int = 128) -> np.ndarray:
    """Alpha channel of the sample sprite (0 transparent, 255 opaque)."""
    alpha = np.zeros((size, size), np.uint8)
    yy, xx = np.mgrid[0:size, 0:size]
    # Island 1: a disc with a square hole; a small island sits inside the hole.
    disc = (yy - 56) ** 2 + (xx - 50) ** 2 <= 40**2
    alpha[disc] = 255
    alpha[36:76, 30:70] = 0
    alpha[48:64, 42:58] = 255
    # A knob joined to the disc by a one-pixel-wide neck.
    alpha[54:57, 88:96] = 0
    alpha[55, 86:97] = 255
    alpha[48:64, 97:110] = 255
    # Island 2: a separate bar along the bottom, with soft (partly transparent) edges.
    alpha[104:118, 16:112] = 255
    alpha[104, 16:112] = 40
    return alpha


def write_rgba_png(path: Path, alpha: np.ndarray) -> None:
    """Minimal RGBA PNG writer (8-bit, no filtering) so the demo needs no imaging library."""
    h, w = alpha.shape
    rgba = np.zeros((h, w, 4), np.uint8)
    rgba[..., 0], rgba[..., 1], rgba[..., 2], rgba[..., 3] = 70, 130, 180, alpha
    raw = b"".join(b"\x00" + rgba[y].tobytes() for y in range(h))

    def chunk(tag: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + tag + data + struct.pack(">I", zlib.crc32(tag + data))

    ihdr = struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0)
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(raw, 9))
                     + chunk(b"IEND", b""))


def main(argv: list[str]) -> int:
    out = Path(argv[1] if len(argv) > 1 else "demo-output")
    out.mkdir(parents=True, exist_ok=True)
    sprite = out / "sample.png"
    write_rgba_png(sprite, sample_alpha())
    print(f"sample sprite: {sprite}")

    results = {}
    r = vc.islands(str(sprite), 1.5, 4)
    results["islands"] = r
    print(f"islands(eps=1.5, margin=4): {len(r['loops'])} outlines on a {r['w']}x{r['h']} mask")
    for i, loop in enumerate(r["loops"]):
        print(f"  outline {i}: {len(loop) // 2} points")

    r = vc.triangulate_png(str(sprite), 1.5, 4, 0.0)
    results["triangulate_png"] = r
    n_pts = sum(len(g["v"]) // 2 for g in r["groups"])
    n_tri = sum(len(g["idx"]) // 3 for g in r["groups"])
    print(f"triangulate_png(eps=1.5, margin=4, maxA=0): {len(r['groups'])} groups, "
          f"{n_pts} vertices, {n_tri} triangles")
    for i, g in enumerate(r["groups"]):
        print(f"  group {i}: {len(g['v']) // 2} vertices, {len(g['idx']) // 3} triangles")

    r = vc.poisson_png(str(sprite), 1.5, 4, POISSON_RPX)
    results["poisson_png"] = r
    print(f"poisson_png(eps=1.5, margin=4, rpx={POISSON_RPX}): largest island meshed with "
          f"{len(r['v'])} vertices and {len(r['idx']) // 3} triangles on a {r['w']}x{r['h']} mask")

    for name, data in results.items():
        (out / f"{name}.json").write_text(json.dumps(data, indent=1, default=_jsonable))
    print(f"results written to {out.resolve()}/")
    write_previews(sprite, out)
    return 0


def write_previews(sprite: Path, out: Path) -> None:
    """SVG/PNG previews and quality reports of every mesh the module can make,
    written through the vellumcut package as `vellumcut ... --preview` does."""
    import vellumcut
    from vellumcut import preview, quality

    for mode in ("outline", "earcut", "poisson"):
        extra = {"rpx": POISSON_RPX} if mode == "poisson" else {}
        mesh = vellumcut.run(mode, sprite, eps=1.5, margin=4, **extra)
        rgba, opaque = quality.load_mask(sprite, mesh.border)
        stem = out / f"sample-{mode}"
        files = preview.write_previews(mesh, stem, rgba)
        report = quality.format_report(quality.quality(mesh, opaque), f"sample.png, {mode}")
        Path(f"{stem}.report.txt").write_text(report, encoding="utf-8")
        print(f"\n{mode} preview: {', '.join(str(f) for f in files)}")
        print(report, end="")


def _jsonable(value):
    if isinstance(value, np.ndarray):
        return value.tolist()
    raise TypeError(f"not serialisable: {type(value).__name__}")


if __name__ == "__main__":
    sys.exit(main(sys.argv))
