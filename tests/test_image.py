"""The image front end, `vellumcut.image.load_mask`: the pixels it draws and
the mask it judges by are what the meshers read."""
from __future__ import annotations

import numpy as np
import pytest
from PIL import Image

import vellumcut
from vellumcut import ImageRefused, _mesher, image


def _pixels(seed: int, h: int = 23, w: int = 31) -> np.ndarray:
    """RGBA uint8 pixels with every alpha level round the thresholds tested."""
    rng = np.random.default_rng(seed)
    rgba = rng.integers(0, 256, (h, w, 4), dtype=np.uint8)
    rgba[..., 3] = rng.choice(np.array([0, 1, 63, 64, 65, 200, 255], np.uint8), (h, w))
    return rgba


def _write(tmp_path, name, rgba, **save) -> str:
    path = str(tmp_path / name)
    Image.fromarray(rgba, "RGBA" if rgba.shape[2] == 4 else "RGB").save(path, **save)
    return path


# Files in formats the loader reads, with what an independent decoder (Pillow)
# makes of their RGBA pixels.
FORMATS = {
    "png": lambda t, px: _write(t, "a.png", px),
    "tiff": lambda t, px: _write(t, "a.tiff", px),
    "webp": lambda t, px: _write(t, "a.webp", px, lossless=True),
}


@pytest.mark.parametrize("threshold", [0, 64], ids=["alpha-above-0", "alpha-above-64"])
@pytest.mark.parametrize("fmt", sorted(FORMATS))
def test_a_file_reads_as_pillow_decodes_it_and_masks_as_the_mesher_does(tmp_path, fmt, threshold):
    px = _pixels(1)
    path = FORMATS[fmt](tmp_path, px)
    with Image.open(path) as im:
        expected = np.asarray(im.convert("RGBA"))
    rgba, opaque = image.load_mask(path, threshold)
    np.testing.assert_array_equal(rgba[..., 3], expected[..., 3])
    if fmt == "tiff":
        # The TIFF decoder hands over colour premultiplied by alpha.
        premultiplied = expected[..., :3].astype(int) * expected[..., 3:].astype(int) / 255
        assert np.abs(rgba[..., :3] - premultiplied).max() <= 1
    else:
        np.testing.assert_array_equal(rgba, expected)
    framed, has_alpha = _mesher.opaque(path, threshold)
    assert has_alpha
    np.testing.assert_array_equal(opaque, framed[1:-1, 1:-1].astype(bool))
    np.testing.assert_array_equal(opaque, expected[..., 3] > threshold)


def test_sixteen_bit_alpha_is_compared_at_threshold_times_257(write_png):
    alpha = np.array([[0, 1, 64 * 257, 64 * 257 + 1, 65535]], np.uint16)
    path = write_png(alpha)
    rgba, opaque = image.load_mask(path, 64)
    assert opaque.tolist() == [[False, False, False, True, True]]
    # Drawn at 8 bits, rounded: 64 * 257 + 1 is 64, 1 is 0.
    assert rgba[..., 3].tolist() == [[0, 0, 64, 64, 255]]
    np.testing.assert_array_equal(image.load_mask(alpha, 64).opaque, opaque)


def test_a_png_without_alpha_is_opaque_and_drawn_whole(tmp_path):
    px = _pixels(2)[..., :3].copy()
    path = _write(tmp_path, "rgb.png", px)
    rgba, opaque = image.load_mask(path, 200)
    assert opaque.all() and opaque.shape == px.shape[:2]
    np.testing.assert_array_equal(rgba[..., :3], px)
    assert (rgba[..., 3] == 255).all()
    mesh = vellumcut.mesh_sprite(path)
    assert mesh.warnings == [vellumcut.sprite.NO_ALPHA_WARNING]


@pytest.mark.parametrize("margin", [0, 3, -2], ids=["no-margin", "margin-3", "negative-margin"])
def test_the_mask_is_in_the_frame_of_the_mesh(write_png, margin):
    alpha = np.zeros((12, 15), np.uint8)
    alpha[2:9, 4:12] = 255
    path = write_png(alpha)
    mesh = vellumcut.mesh_sprite(path, margin=margin)
    rgba, opaque = image.load_mask(path, 0, mesh)
    assert opaque.shape == (mesh.mask_height, mesh.mask_width)
    assert rgba.shape == (12, 15, 4)
    b = max(margin, 0)
    ys, xs = np.nonzero(opaque)
    # Mask pixel (c, r) is the pixel a vertex at (c, r) names: the mesher's
    # outline runs along its edges, half a pixel out.
    lo, hi = mesh.parts[0].vertices.min(axis=0), mesh.parts[0].vertices.max(axis=0)
    assert (xs.min() - 0.5, ys.min() - 0.5) == tuple(lo) and (xs.max() + 0.5, ys.max() + 0.5) == tuple(hi)
    assert (xs.min(), ys.min()) == (4 + b, 2 + b)
    np.testing.assert_array_equal(image.load_mask(path, 0, b).opaque, opaque)


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16], ids=["uint8", "uint16"])
@pytest.mark.parametrize("layout", ["rgba", "alpha-only", "rgb"])
def test_arrays_and_pil_images_give_what_their_file_gives(tmp_path, layout, dtype):
    px = _pixels(3)
    scale = 257 if dtype == np.uint16 else 1
    arr = px.astype(dtype) * scale
    if layout == "alpha-only":
        arr = arr[..., 3].copy()
    elif layout == "rgb":
        arr = arr[..., :3].copy()
    got = image.load_mask(arr, 64, 2)
    mesh = vellumcut.mesh_sprite(arr, alpha_threshold=64, margin=2)
    assert got.opaque.shape == (mesh.mask_height, mesh.mask_width)
    if layout == "rgb":
        assert got.opaque[2:-2, 2:-2].all() and got.rgba[..., 3].min() == 255
    else:
        np.testing.assert_array_equal(got.opaque[2:-2, 2:-2], px[..., 3] > 64)
    if layout == "rgba":
        np.testing.assert_array_equal(got.rgba, px)
        path = _write(tmp_path, "same.png", px)
        np.testing.assert_array_equal(image.load_mask(path, 64, 2).opaque, got.opaque)
        if dtype == np.uint8:
            pil = image.load_mask(Image.fromarray(px, "RGBA"), 64, 2)
            np.testing.assert_array_equal(pil.rgba, px)
            np.testing.assert_array_equal(pil.opaque, got.opaque)


def test_mask_only_skips_the_pixels_and_agrees(write_png):
    path = write_png(_pixels(4)[..., 3])
    full = image.load_mask(path, 63)
    quick = image.load_mask(path, 63, pixels=False)
    assert quick.rgba is None
    np.testing.assert_array_equal(quick.opaque, full.opaque)


@pytest.mark.parametrize("make, kind", [
    (lambda d: d / "notes.png", "not_image"),
    (lambda d: d, "directory"),
    (lambda d: d / "missing.png", "cannot_open"),
    (lambda d: d / "photo.jpg", "unsupported_format"),
], ids=["text-file", "directory", "missing", "jpeg"])
def test_refusals_arrive_with_their_kind(tmp_path, make, kind):
    (tmp_path / "notes.png").write_text("shopping list\n")
    Image.new("RGB", (8, 8), (200, 10, 10)).save(tmp_path / "photo.jpg")
    with pytest.raises(ImageRefused, match=r"^cannot read image '") as info:
        image.load_mask(make(tmp_path), 0)
    assert info.value.kind == kind
    if kind == "unsupported_format":
        assert info.value.format == "JPEG"


@pytest.mark.parametrize("source, frame, threshold, error, text", [
    (np.zeros((4, 4, 2), np.uint8), 0, 0, ValueError, "image: expected 1 (alpha), 3 or 4 channels, got 2"),
    (np.zeros((4, 4, 4), np.float32), 0, 0, ValueError, "image: expected uint8 or uint16 samples, got float32"),
    (np.zeros((4, 4), np.uint8), 0, 255, ValueError, "threshold must be within 0..254, got 255"),
    (np.zeros((4, 4), np.uint8), 1.5, 0, TypeError, "frame must be a border in pixels or a mesh, got float"),
    (3.5, 0, 0, TypeError, "image must be a path, a numpy array or a PIL image, got float"),
], ids=["two-channels", "float-samples", "threshold-255", "float-frame", "a-number"])
def test_bad_arguments_are_named(source, frame, threshold, error, text):
    with pytest.raises(error, match=f"^{__import__('re').escape(text)}$"):
        image.load_mask(source, threshold, frame)
