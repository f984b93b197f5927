"""Meshes a built-in sample sprite with each mode through the command line
and prints the figures of the files it wrote.

Usage: python scripts/demo.py [OUTPUT_DIR]   (default: demo-output)

Each mode runs once, as `vellumcut MODE sample.png -o OUTPUT_DIR/MODE
--preview`: OUTPUT_DIR/MODE/ holds what vellumcut writes (the JSON export,
SVG and PNG previews, the quality report), and the figures printed are read
back from those files.

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


# The core's three meshers at their default tolerance (eps 1.5), then the
# game-ready mesher with quality refinement.
MODES = (("outline", ["--eps", "1.5"]), ("earcut", ["--eps", "1.5"]),
         ("poisson", ["--eps", "1.5", "--rpx", str(POISSON_RPX)]),
         ("mesh", ["--interior", "quality", "--spacing", "6"]))


def main(argv: list[str]) -> int:
    from vellumcut import cli

    out = Path(argv[1] if len(argv) > 1 else "demo-output")
    out.mkdir(parents=True, exist_ok=True)
    sprite = out / "sample.png"
    write_rgba_png(sprite, sample_alpha())
    print(f"sample sprite: {sprite} (128 x 128)")
    for mode, extra in MODES:
        folder = out / mode
        argv = [mode, str(sprite), "-o", str(folder), "--margin", "4",
                "--preview", "--force", "--quiet", *extra]
        print(f"\n$ vellumcut {' '.join(argv)}")
        status = cli.main(argv)
        if status != 0:
            print(f"vellumcut {mode} exited with status {status}", file=sys.stderr)
            return status
        print_figures(folder / "sample.json", folder / "sample.report.txt")
    print(f"\nresults written to {out.resolve()}/")
    return 0


def print_figures(mesh_file: Path, report_file: Path) -> None:
    """What the written files hold, read back from them."""
    doc = json.loads(mesh_file.read_text(encoding="utf-8"))
    counts = doc["counts"]
    print(f"{mesh_file}: {doc['mode']}, {counts['parts']} part(s), {counts['vertices']} vertices, "
          f"{counts['triangles']} triangles on a {doc['mask']['width']}x{doc['mask']['height']} mask")
    for i, part in enumerate(doc["parts"]):
        print(f"  part {i}: {len(part['vertices'])} vertices, {len(part['triangles'])} triangles, "
              f"{len(part['outlines'])} outline(s), {len(part['holes'])} hole(s)")
    files = sorted(p.name for p in mesh_file.parent.iterdir() if not p.name.startswith("."))
    print(f"  files: {', '.join(files)}")
    print(report_file.read_text(encoding="utf-8"), end="")


if __name__ == "__main__":
    sys.exit(main(sys.argv))
