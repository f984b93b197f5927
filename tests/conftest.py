"""Shared fixtures: every test image is generated here, never fetched."""
from __future__ import annotations

import os
import sys

import cv2
import numpy as np
import pytest

sys.path.insert(0, os.path.dirname(__file__))


def rgba_from_alpha(alpha: np.ndarray) -> np.ndarray:
    """An RGBA (BGRA for OpenCV) image whose colour is constant and alpha given."""
    alpha = np.asarray(alpha)
    img = np.zeros(alpha.shape + (4,), dtype=alpha.dtype)
    img[..., :3] = np.iinfo(alpha.dtype).max // 2 if alpha.dtype.kind == "u" else 0
    img[..., 3] = alpha
    return img


@pytest.fixture
def write_png(tmp_path):
    """write_png(alpha_or_image, name=...) -> str path of a PNG in tmp_path.

    A 2-D array is taken as the alpha channel of an RGBA image; a 3-D array is
    written as it is (OpenCV channel order, B G R [A]).
    """
    counter = iter(range(10**9))

    def _write(array, name: str | None = None) -> str:
        array = np.asarray(array)
        if array.ndim == 2:
            array = rgba_from_alpha(array)
        path = tmp_path / (name or f"img{next(counter)}.png")
        assert cv2.imwrite(str(path), array), f"could not write {path}"
        return str(path)

    return _write
