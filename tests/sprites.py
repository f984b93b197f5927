"""Random sprite masks for property and differential tests (numpy only)."""
from __future__ import annotations

import numpy as np


def random_alpha(rng: np.random.Generator, h: int | None = None, w: int | None = None) -> np.ndarray:
    """An alpha channel with a few filled shapes, holes, thin lines and noise."""
    h = h or int(rng.integers(8, 96))
    w = w or int(rng.integers(8, 96))
    alpha = np.zeros((h, w), np.uint8)
    yy, xx = np.mgrid[0:h, 0:w]
    for _ in range(int(rng.integers(1, 5))):
        kind = rng.integers(0, 4)
        cy, cx = rng.uniform(0, h), rng.uniform(0, w)
        ry, rx = rng.uniform(1, h / 2 + 1), rng.uniform(1, w / 2 + 1)
        if kind == 0:  # ellipse
            shape = ((yy - cy) / ry) ** 2 + ((xx - cx) / rx) ** 2 <= 1
        elif kind == 1:  # rectangle
            shape = (abs(yy - cy) <= ry) & (abs(xx - cx) <= rx)
        elif kind == 2:  # one-pixel line, horizontal or vertical
            shape = (yy == int(cy)) if rng.random() < 0.5 else (xx == int(cx))
        else:  # ring: ellipse with an elliptic hole
            d = ((yy - cy) / ry) ** 2 + ((xx - cx) / rx) ** 2
            shape = (d <= 1) & (d > 0.3)
        value = int(rng.integers(1, 256))
        if rng.random() < 0.25:  # punch instead of paint
            alpha[shape] = 0
        else:
            alpha[shape] = value
    if rng.random() < 0.3:  # speckle noise
        noise = rng.random((h, w)) < 0.05
        alpha[noise] = rng.integers(0, 256, size=int(noise.sum())).astype(np.uint8)
    return alpha
