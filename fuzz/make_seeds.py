"""Writes the fuzzers' starting corpora: small valid images of every format
OpenCV reads (several channel layouts and depths), a few mesh inputs, and
sprites for the sprite mesher (generated masks with necks, diagonal touches,
checkerboards, nested holes, thin lines and islands at the border, and the
real sprites' alpha at reduced size, under several options).

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


# --- sprites: the layout of fuzz/sprite_input.hpp --------------------------------

SPRITE_RAW_MAX = 64  # raw alpha of at most 64 x 64 pixels


def sprite_input(alpha: np.ndarray, *, interior: int = 0, threshold: int = 0, tolerance: int = 64,
                 padding: int = 0, budget: int | None = None, spacing: int | None = None, angle: int = 188,
                 seed: int = 0, margin: int = 0, areas: int | None = None) -> bytes:
    """One input: the option bytes (codes as the decoder reads them) and the alpha raw.

    tolerance: 0..127 in 1/64 px (64 is 1 px); padding: 0 none, 76 + 22.5 px per step;
    angle 188 is 25 degrees."""
    h, w = alpha.shape
    assert 1 <= h <= SPRITE_RAW_MAX and 1 <= w <= SPRITE_RAW_MAX
    flags = interior | (4 if budget is not None else 0) | (8 if spacing is not None else 0) | (margin << 4)
    if areas is not None:
        flags |= 0xC0
    head = [flags, threshold, tolerance, padding, budget or 0, spacing or 0, angle, seed, areas or 0,
            (w - 1) % 256, (h - 1) % 256, 0]
    return bytes(head) + np.ascontiguousarray(alpha, np.uint8).tobytes()


def generated_masks() -> dict[str, np.ndarray]:
    """Small masks of the patterns that strain pixel-edge geometry."""
    out: dict[str, np.ndarray] = {}
    m = np.zeros((12, 12), np.uint8)
    m[2:6, 2:6] = 255
    m[6:10, 6:10] = 255  # two blocks touching at one corner
    out["corner"] = m
    m = np.zeros((10, 16), np.uint8)
    m[2:8, 1:6] = 255
    m[2:8, 10:15] = 255
    m[5, 6:10] = 255  # a one-pixel neck
    out["neck"] = m
    out["checker"] = (np.indices((10, 10)).sum(axis=0) % 2 * 255).astype(np.uint8)
    m = np.zeros((19, 19), np.uint8)
    for k in range(0, 10, 2):
        m[k:19 - k, k:19 - k] = 0 if k % 4 else 255  # islands in holes in islands
    out["nested"] = m
    m = np.zeros((24, 24), np.uint8)
    m[3, 1:23] = 255
    m[1:23, 20] = 255
    np.fill_diagonal(m[5:, :], 255)  # a diagonal line: corner touches all along
    out["lines"] = m
    m = np.zeros((8, 20), np.uint8)
    m[0, :] = 255
    m[:, 0] = 128
    m[7, 5:15] = 255
    m[3:5, 19] = 200  # islands on every side of the image
    out["border"] = m
    out["full"] = np.full((6, 9), 255, np.uint8)
    out["pixel"] = np.full((1, 1), 255, np.uint8)
    yy, xx = np.mgrid[0:32, 0:32]
    d = (yy - 15.5) ** 2 + (xx - 15.5) ** 2
    out["ring"] = (((d < 225) & (d > 60)) * 255).astype(np.uint8)
    out["glow"] = np.clip(255 - d * 1.5, 0, 255).astype(np.uint8)  # alpha ramps: the threshold matters
    return out


def real_alphas(limit: int = 24) -> list[tuple[str, np.ndarray]]:
    """The real sprites' alpha, shrunk to fit 48 x 48 (none when the cache is empty)."""
    folder = os.path.join(os.path.dirname(__file__), "..", ".cache", "sprites")
    paths = sorted(os.path.join(d, f) for d, _, files in os.walk(folder) for f in files if f.endswith(".png"))
    out = []
    for path in paths[:: max(1, len(paths) // limit)][:limit]:
        image = cv2.imread(path, cv2.IMREAD_UNCHANGED)
        if image is None or image.ndim != 3 or image.shape[2] != 4:
            continue
        alpha = image[..., 3]
        scale = 48 / max(alpha.shape)
        if scale < 1:
            size = (max(1, round(alpha.shape[1] * scale)), max(1, round(alpha.shape[0] * scale)))
            alpha = cv2.resize(alpha, size, interpolation=cv2.INTER_AREA)
        out.append((os.path.splitext(os.path.basename(path))[0], alpha))
    return out


# Option sets: exact, default, coarse, padded at the tolerances that pay for
# the round corners, a tight budget, and the two interiors.
SPRITE_OPTIONS = {
    "exact": dict(tolerance=0),
    "default": dict(),
    "coarse": dict(tolerance=128 + 20, margin=2),
    "padded": dict(tolerance=8, padding=76 + 22),
    "padded-wide": dict(tolerance=64, padding=76 + 68, margin=1),
    "budget": dict(tolerance=32, budget=0x80 + 3),
    "poisson": dict(interior=1, spacing=16, seed=3),
    "quality": dict(interior=2, spacing=24, padding=76 + 11, tolerance=16, angle=230),
}


def sprites() -> dict[str, bytes]:
    out = {}
    for name, alpha in generated_masks().items():
        for opt, kwargs in SPRITE_OPTIONS.items():
            out[f"{name}-{opt}"] = sprite_input(alpha, **kwargs)
    for name, alpha in real_alphas():
        for opt in ("default", "padded", "quality"):
            out[f"real-{name}-{opt}"] = sprite_input(alpha, **SPRITE_OPTIONS[opt])
    # Drawing programs (mask byte 2 and up: 6-byte steps over a transparent image).
    rng = np.random.default_rng(11)
    for i in range(8):
        head = bytes([i % 3 | 0x10 * (i % 4), 0, 32 + 8 * i, 0 if i % 2 else 90, 0, 0, 188, i, 0, 30, 30, 2])
        out[f"program{i}"] = head + rng.integers(0, 256, 6 * 8, dtype=np.uint8).tobytes()
    return out


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
    sprite_dir = os.path.join(out, "sprite")
    os.makedirs(sprite_dir, exist_ok=True)
    for name, data in sprites().items():
        with open(os.path.join(sprite_dir, f"{name}.bin"), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main(sys.argv[1])
