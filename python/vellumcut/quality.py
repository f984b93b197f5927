"""Quality figures of a mesh against its sprite's alpha mask.

The mask is the mode's own (vellumcut.modes): alpha > 0 for the core's
functions, alpha > alpha_threshold for `mesh`. Pixels are judged by their
centres, which is where the core's outlines run (the sprite mesher's run
along pixel edges, so each opaque pixel it keeps lies wholly inside):
a pixel counts as covered when its centre lies inside a triangle or on its
edge. A traced outline therefore covers every opaque boundary pixel it
passes through; simplification (eps) makes it cut some opaque pixels off and
take some transparent ones in, which is what the report shows. Triangles
without area (three collinear corners) cover nothing.
"""
from __future__ import annotations

from typing import Any

import numpy as np

from vellumcut.meshes import SpriteMesh, min_angles, triangle_areas

ANGLE_BINS = (0, 10, 20, 30, 40, 50, 60)


def coverage(mesh: SpriteMesh) -> np.ndarray:
    """Boolean mask-frame image of the pixel centres the result covers:
    its triangles (all rasterised at once), or the filled outlines of the
    parts that have none."""
    from vellumcut import raster

    rings = [part.vertices[ring] for part in mesh.parts if not len(part.triangles) for ring in part.rings]
    return raster.coverage(mesh.all_triangles(), mesh.mask_height, mesh.mask_width, rings)


def quality(mesh: SpriteMesh, opaque: np.ndarray | None = None) -> dict[str, Any]:
    """Counts, smallest-angle histogram and (with a mask) pixel coverage."""
    corners = mesh.all_triangles()
    angles = min_angles(corners)
    hist, _ = np.histogram(angles, bins=ANGLE_BINS)
    q: dict[str, Any] = {
        "mode": mesh.mode,
        "parts": len(mesh.parts),
        "vertices": mesh.vertex_count,
        "triangles": mesh.triangle_count,
        "min_angle_bins": list(ANGLE_BINS),
        "min_angle_histogram": hist.tolist(),
        "min_angle": float(angles.min()) if len(angles) else None,
        "median_min_angle": float(np.median(angles)) if len(angles) else None,
        "mesh_area": float(np.abs(triangle_areas(corners)).sum()),
        "parameters": dict(mesh.params),
    }
    if opaque is not None and opaque.shape == (mesh.mask_height, mesh.mask_width):
        from vellumcut import modes

        mode = modes.get(mesh.mode)
        q["alpha_threshold"] = mode.alpha_threshold(mesh.params)
        q["frame"] = mode.frame
        cov = coverage(mesh)
        n_opaque = int(opaque.sum())
        q["opaque_pixels"] = n_opaque
        q["opaque_covered"] = int((cov & opaque).sum())
        q["transparent_covered"] = int((cov & ~opaque).sum())
        q["covered_pixels"] = int(cov.sum())
    return q


def settings_text(params: dict[str, Any]) -> str:
    """The mesher's parameters as used, one line: `preset physics; tolerance 1, ...`."""
    def text(v: Any) -> str:
        from vellumcut.presets import FILL_ALL_HOLES

        if v is None:
            return "none"
        if isinstance(v, float):
            return f"{v:g}"
        return "all" if v == FILL_ALL_HOLES and not isinstance(v, bool) else str(v)

    values = ", ".join(f"{k.replace('_', '-')} {text(v)}" for k, v in params.items() if k != "preset")
    return (f"preset {params['preset']}; " if params.get("preset") else "") + values


def format_report(q: dict[str, Any], title: str = "") -> str:
    lines = [f"vellumcut quality report{': ' + title if title else ''}",
             f"mode {q['mode']}: {q['parts']} part(s), {q['vertices']} vertices, "
             f"{q['triangles']} triangles"]
    if q.get("parameters"):
        lines.append(f"settings: {settings_text(q['parameters'])}")
    if q["triangles"]:
        lines.append(f"smallest angle per triangle (degrees): min {q['min_angle']:.1f}, "
                     f"median {q['median_min_angle']:.1f}")
        top = max(q["min_angle_histogram"]) or 1
        bins = q["min_angle_bins"]
        for lo, hi, n in zip(bins, bins[1:], q["min_angle_histogram"]):
            bar = "#" * round(30 * n / top)
            lines.append(f"  {lo:>2}-{hi:<2} {n:>7}  {bar}")
        lines.append(f"mesh area: {q['mesh_area']:.1f} px^2")
    if "opaque_pixels" in q:
        n = q["opaque_pixels"]
        share = 100.0 * q["opaque_covered"] / n if n else 0.0
        thr = q.get("alpha_threshold", 0)
        rule = f" (alpha above {thr})" if thr else ""
        lines.append(f"opaque pixels{rule} covered: {q['opaque_covered']} of {n} ({share:.1f} %)")
        cov = q["covered_pixels"]
        tshare = 100.0 * q["transparent_covered"] / cov if cov else 0.0
        lines.append(f"transparent pixels covered: {q['transparent_covered']} "
                     f"({tshare:.1f} % of the covered pixels)")
        lines.append("(a pixel is covered when its centre lies inside or on a triangle"
                     + (" or outline" if q["triangles"] == 0 else "")
                     + (f"; outlines run through {q['frame']})" if "frame" in q else ")"))
    return "\n".join(lines) + "\n"
