"""Native sprite mesher behind vellumcut.mesh_sprite (use that instead)."""
from typing import Any

import numpy as np

MAX_MIN_ANGLE: float
DEFAULT_MIN_HOLE_AREA: int

def mesh(image: str | np.ndarray, alpha_threshold: int, tolerance: float, padding: float,
         max_vertices: int, interior: str, spacing: float, min_angle: float, seed: int, seeded: bool,
         min_island_area: int, min_hole_area: int, margin: int, strict_budget: bool = ...) -> dict[str, Any]: ...
def auto_spacing(pixels: float) -> float: ...
def probe(path: str) -> dict[str, Any]: ...
def opaque(path: str, alpha_threshold: int) -> tuple[np.ndarray, bool]: ...
