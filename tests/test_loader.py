"""Image loading: accepted formats, the pixel limit, the margin and the threshold."""
import cv2
import numpy as np
import pytest

import vellumcut_core as vc

NOT_RGBA = "RGBA PNG を指定してください"
TOO_BIG = "画像が大きすぎます"


@pytest.mark.parametrize(
    "image",
    [np.full((8, 8, 3), 200, np.uint8), np.full((8, 8), 200, np.uint8)],
    ids=["rgb", "grey"],
)
def test_images_without_alpha_are_refused(tmp_path, image):
    path = tmp_path / "img.png"
    assert cv2.imwrite(str(path), image)
    with pytest.raises(RuntimeError, match=NOT_RGBA):
        vc.islands(str(path), 1.0, 0)


@pytest.mark.parametrize("content", [None, b"", b"not an image at all"], ids=["missing", "empty", "garbage"])
def test_unreadable_files_are_refused(tmp_path, content):
    path = tmp_path / "img.png"
    if content is not None:
        path.write_bytes(content)
    with pytest.raises(RuntimeError, match=NOT_RGBA):
        vc.islands(str(path), 1.0, 0)


def test_pixel_limit_counts_the_image_without_margin(write_png):
    big = np.zeros((4096, 4096), np.uint8)
    big[100:200, 100:200] = 255
    r = vc.islands(write_png(big), 1.0, 10)
    assert (r["w"], r["h"], r["scale"]) == (4116, 4116, 1.0)
    assert r["loops"] == [[110.0, 110.0, 110.0, 209.0, 209.0, 209.0, 209.0, 110.0]]


@pytest.mark.parametrize("shape", [(4097, 4096), (4096, 4097)], ids=["tall", "wide"])
def test_images_over_the_pixel_limit_are_refused(write_png, shape):
    with pytest.raises(RuntimeError, match=TOO_BIG):
        vc.islands(write_png(np.zeros(shape, np.uint8)), 1.0, 0)


@pytest.mark.parametrize("margin", [2**31 - 1, 2**30, 100_000, 4097], ids=str)
def test_margin_that_would_overflow_or_exhaust_is_refused(write_png, margin):
    # 2**31 - 1 once overflowed OpenCV's int sizes and crashed the process.
    alpha = np.zeros((4, 4096), np.uint8)
    alpha[1:3, 1:3] = 255
    with pytest.raises(ValueError, match="margin too large"):
        vc.islands(write_png(alpha), 1.0, margin)


def test_largest_allowed_border(write_png):
    alpha = np.zeros((4096, 8), np.uint8)
    alpha[1:5, 1:5] = 255
    r = vc.islands(write_png(alpha), 1.0, 2048)
    assert (r["w"], r["h"]) == (4104, 8192)


@pytest.mark.parametrize("margin", [0, -3], ids=["zero", "negative"])
def test_non_positive_margin_adds_no_border(write_png, margin):
    alpha = np.zeros((10, 14), np.uint8)
    alpha[0:4, 0:5] = 255
    r = vc.islands(write_png(alpha), 0.0, margin)
    assert (r["w"], r["h"]) == (14, 10)
    assert r["loops"] == [[0.0, 0.0, 0.0, 3.0, 4.0, 3.0, 4.0, 0.0]]


def test_alpha_of_one_is_opaque(write_png):
    alpha = np.zeros((10, 10), np.uint8)
    alpha[2:6, 2:6] = 1
    assert len(vc.islands(write_png(alpha), 1.0, 0)["loops"]) == 1


def test_transparent_image_has_no_islands(write_png):
    assert vc.islands(write_png(np.zeros((7, 9), np.uint8)), 1.0, 0) == {
        "loops": [], "w": 9, "h": 7, "scale": 1.0}


def test_sixteen_bit_image_fails_in_contour_tracing(write_png):
    alpha = np.zeros((10, 10), np.uint16)
    alpha[2:8, 2:8] = 65535
    with pytest.raises(RuntimeError, match=r"FindContours supports only CV_8UC1"):
        vc.islands(write_png(alpha), 1.0, 0)


@pytest.mark.parametrize("ext", [".tiff", ".webp"])
def test_other_formats_with_alpha_are_accepted(tmp_path, ext):
    image = np.zeros((10, 10, 4), np.uint8)
    image[2:8, 2:8] = 255
    path = tmp_path / f"img{ext}"
    params = [cv2.IMWRITE_WEBP_QUALITY, 101] if ext == ".webp" else []
    assert cv2.imwrite(str(path), image, params)
    r = vc.islands(str(path), 1.0, 0)
    assert r["loops"] == [[2.0, 2.0, 2.0, 7.0, 7.0, 7.0, 7.0, 2.0]]


def _cv2_png(strategy=None, level=None):
    params = []
    if level is not None:
        params += [cv2.IMWRITE_PNG_COMPRESSION, level]
    if strategy is not None:
        params += [cv2.IMWRITE_PNG_STRATEGY, strategy]

    def write(path, bgra):
        assert cv2.imwrite(str(path), bgra, params)
    return write


def _pillow_png(mode, **options):
    from PIL import Image

    def write(path, bgra):
        if mode == "LA":  # grey and alpha; the grey is the blue channel
            Image.fromarray(np.ascontiguousarray(bgra[:, :, [0, 3]]), "LA").save(path, **options)
        else:
            Image.fromarray(np.ascontiguousarray(bgra[:, :, [2, 1, 0, 3]]), "RGBA").save(path, **options)
    return write


PNG_WRITERS = {
    "cv2-level0": _cv2_png(level=0),
    "cv2-level1": _cv2_png(level=1),
    "cv2-level9": _cv2_png(level=9),
    "cv2-rle": _cv2_png(strategy=cv2.IMWRITE_PNG_STRATEGY_RLE),
    "cv2-filtered": _cv2_png(strategy=cv2.IMWRITE_PNG_STRATEGY_FILTERED),
    "cv2-huffman": _cv2_png(strategy=cv2.IMWRITE_PNG_STRATEGY_HUFFMAN_ONLY),
    "pillow-rgba": _pillow_png("RGBA"),
    "pillow-rgba-level0": _pillow_png("RGBA", compress_level=0),
    "pillow-rgba-optimize": _pillow_png("RGBA", optimize=True),
    "pillow-grey-alpha": _pillow_png("LA"),
}


@pytest.mark.parametrize("writer", PNG_WRITERS.values(), ids=PNG_WRITERS.keys())
def test_png_writers_give_what_the_same_pixels_give_as_tiff(tmp_path, writer):
    # 8-bit PNGs with alpha take the loader's own decoder; TIFF goes through
    # OpenCV. Real encoders choose their own filters (Pillow mixes all five per
    # row) and chunk sizes; the outlines and meshes must not depend on it.
    from sprites import random_alpha

    rng = np.random.default_rng(2024)
    for i in range(5):
        alpha = random_alpha(rng)
        bgra = np.dstack([rng.integers(0, 256, alpha.shape + (3,), dtype=np.uint8), alpha])
        bgra[..., 1] = bgra[..., 2] = bgra[..., 0]  # grey, so that LA holds the same pixels
        tiff = tmp_path / f"{i}.tiff"
        png = tmp_path / f"{i}.png"
        assert cv2.imwrite(str(tiff), bgra)
        writer(png, bgra)
        for margin in (0, 3):
            for function, args in ((vc.islands, (0.0, margin)), (vc.triangulate_png, (0.0, margin, 0.0))):
                assert _outcome(function, str(png), *args) == _outcome(function, str(tiff), *args)


def _outcome(function, *args):
    """The call's result as text (arrays included), or its error."""
    try:
        return repr(function(*args))
    except RuntimeError as error:  # a fully transparent sprite has no region
        return f"RuntimeError: {error}"
