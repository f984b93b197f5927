"""Writes the fuzzers' starting corpora: small valid images of every format
OpenCV reads (several channel layouts and depths) and a few mesh inputs.

    python fuzz/make_seeds.py OUT_DIR
"""
from __future__ import annotations

import os
import sys

os.environ.setdefault("OPENCV_IO_ENABLE_OPENEXR", "1")

import cv2  # noqa: E402
import numpy as np  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
import hostile_files  # noqa: E402
from sprites import random_alpha  # noqa: E402


def images(rng: np.random.Generator):
    for i in range(6):
        alpha = random_alpha(rng, 24, 32)
        bgra = np.dstack([alpha // 2, alpha // 3, alpha, alpha])
        yield f"rgba{i}.png", bgra, []
    alpha = random_alpha(rng, 20, 20)
    yield "rgba16.png", (np.dstack([alpha] * 4).astype(np.uint16) * 257), []
    yield "grey.png", alpha, []
    yield "rgb.png", np.dstack([alpha] * 3), []
    rgba = np.dstack([alpha] * 4)
    yield "rgba.tiff", rgba, []
    yield "rgba.webp", rgba, [cv2.IMWRITE_WEBP_QUALITY, 101]
    yield "rgba-lossy.webp", rgba, [cv2.IMWRITE_WEBP_QUALITY, 50]
    yield "rgba.pam", rgba, [cv2.IMWRITE_PAM_TUPLETYPE, cv2.IMWRITE_PAM_FORMAT_RGB_ALPHA]
    yield "rgba.bmp", rgba, []
    yield "rgb.jpg", np.dstack([alpha] * 3), []
    yield "grey.pgm", alpha, []
    yield "rgb.ras", np.dstack([alpha] * 3), []
    yield "rgba.exr", rgba.astype(np.float32) / 255, []
    yield "rgb.hdr", np.dstack([alpha] * 3).astype(np.float32) / 255, []
    big = np.zeros((64, 64, 4), np.uint8)
    big[8:40, 8:50] = 255
    yield "rgba.jp2", big, []


def main(out: str) -> None:
    rng = np.random.default_rng(7)
    image_dir = os.path.join(out, "image")
    mesh_dir = os.path.join(out, "mesh")
    os.makedirs(image_dir, exist_ok=True)
    os.makedirs(mesh_dir, exist_ok=True)
    for name, array, params in images(rng):
        path = os.path.join(image_dir, name)
        if not cv2.imwrite(path, array, params):
            print(f"skipped {name}: this OpenCV cannot write it", file=sys.stderr)
    # Hand-made headers, small enough to decode or to fail quickly.
    for kind, build in hostile_files.BOMBS.items():
        with open(os.path.join(image_dir, f"hdr-{kind}.bin"), "wb") as f:
            f.write(build(8, 8))
    with open(os.path.join(image_dir, "tiff-tiled.bin"), "wb") as f:
        f.write(hostile_files.tiff(16, 16, tile=(16, 16)))
    with open(os.path.join(image_dir, "exr-tiled.bin"), "wb") as f:
        f.write(hostile_files.exr(8, 8, tile=(8, 8)))
    # Mesh inputs: flags, scale, then rings (see fuzz/mesh_input.hpp).
    for i in range(8):
        data = bytes([int(rng.integers(0, 256)) & 0x3e, i]) + rng.integers(0, 256, 200, dtype=np.uint8).tobytes()
        with open(os.path.join(mesh_dir, f"seed{i}.bin"), "wb") as f:
            f.write(data)
    square = bytes([0x02, 0, 4, 0, 0, 40, 0, 40, 40, 0, 40, 4, 10, 10, 20, 10, 20, 20, 10, 20, 3, 5, 5, 30, 30, 15, 15])
    with open(os.path.join(mesh_dir, "square-hole.bin"), "wb") as f:
        f.write(square)


if __name__ == "__main__":
    main(sys.argv[1])
