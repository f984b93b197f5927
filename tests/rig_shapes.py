"""Generated figures for the rigging tests: alpha masks drawn with thick
strokes, and where their extremities are (x, y in image pixels, y down)."""
from __future__ import annotations

import math

import cv2
import numpy as np


def _canvas(w: int, h: int) -> np.ndarray:
    return np.zeros((h, w), np.uint8)


def _stroke(a: np.ndarray, p, q, width: int) -> None:
    cv2.line(a, (int(p[0]), int(p[1])), (int(q[0]), int(q[1])), 255, width, cv2.LINE_8)


def stick_figure() -> tuple[np.ndarray, list[tuple[float, float]]]:
    """Head, torso, two arms held out, two legs: 5 extremities."""
    a = _canvas(160, 200)
    cv2.circle(a, (80, 28), 17, 255, -1)
    _stroke(a, (80, 40), (80, 118), 22)  # neck and torso
    _stroke(a, (80, 62), (22, 96), 10)  # arms, bent down
    _stroke(a, (80, 62), (138, 96), 10)
    _stroke(a, (80, 114), (48, 188), 12)  # legs
    _stroke(a, (80, 114), (112, 188), 12)
    return a, [(80, 11), (20, 97), (140, 97), (46, 192), (114, 192)]


def letter(ch: str) -> np.ndarray:
    """Thick block letters T, Y, X, L."""
    a = _canvas(140, 140)
    t = 22
    strokes = {
        "T": [((15, 20), (125, 20)), ((70, 20), (70, 125))],
        "Y": [((20, 15), (70, 70)), ((120, 15), (70, 70)), ((70, 70), (70, 125))],
        "X": [((20, 20), (120, 120)), ((120, 20), (20, 120))],
        "L": [((30, 15), (30, 120)), ((30, 120), (120, 120))],
    }[ch]
    for p, q in strokes:
        _stroke(a, p, q, t)
    return a


def tuning_fork() -> tuple[np.ndarray, dict]:
    """A stem, a base and two prongs with a 4 px gap between them."""
    a = _canvas(120, 220)
    a[120:215, 52:68] = 255  # stem
    a[100:128, 28:92] = 255  # base
    a[12:110, 28:58] = 255  # left prong
    a[12:110, 62:92] = 255  # right prong (gap: columns 58..61)
    return a, {"gap_x": (58, 62), "gap_bottom": 100, "left_prong_x": (28, 58), "right_prong_x": (62, 92)}


def arm_beside_torso() -> tuple[np.ndarray, dict]:
    """A torso and an arm hanging down beside it from the shoulder, with a
    transparent gap of 4 px between them below the shoulder."""
    a = _canvas(140, 200)
    a[20:190, 30:80] = 255  # torso
    a[20:44, 80:110] = 255  # shoulder
    a[20:170, 84:110] = 255  # arm
    a[44:190, 80:84] = 0  # gap
    return a, {"arm_x": (84, 110), "below_y": 80}


def rgba(alpha: np.ndarray) -> np.ndarray:
    h, w = alpha.shape
    img = np.zeros((h, w, 4), np.uint8)
    img[..., 0] = np.linspace(0, 255, w, dtype=np.uint8)[None, :]
    img[..., 1] = 128
    img[..., 2] = np.linspace(0, 255, h, dtype=np.uint8)[:, None]
    img[..., 3] = alpha
    return img


def rotate(alpha: np.ndarray, degrees: float) -> np.ndarray:
    h, w = alpha.shape
    m = cv2.getRotationMatrix2D((w / 2, h / 2), degrees, 1.0)
    side = int(math.ceil(math.hypot(w, h)))
    m[:, 2] += ((side - w) / 2, (side - h) / 2)
    return cv2.warpAffine(alpha, m, (side, side), flags=cv2.INTER_NEAREST)
