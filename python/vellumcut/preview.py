"""SVG and PNG previews: the sprite with the outlines, holes and triangles
drawn over it, each triangle shaded by its smallest angle (red for slivers,
yellow around 20 degrees, green from 40 degrees up).

Geometry is in the mask frame, where integer coordinates are pixel centres;
drawing maps a point (x, y) to ((x + 0.5) * zoom, (y + 0.5) * zoom) so that
it sits on the middle of the pixel it names.
"""
from __future__ import annotations

import base64
import io
import os
from pathlib import Path
from xml.sax.saxutils import quoteattr

import numpy as np

from vellumcut.mesh import SpriteMesh, min_angles

OUTLINE = (10, 30, 110)
HOLE = (220, 0, 170)
EDGE = (35, 35, 35)
_STOPS = ((0.0, (215, 40, 40)), (20.0, (240, 200, 40)), (40.0, (40, 170, 70)))


def angle_colour(deg: float) -> tuple[int, int, int]:
    """Colour of a triangle whose smallest angle is `deg` degrees."""
    if deg <= _STOPS[0][0]:
        return _STOPS[0][1]
    for (a0, c0), (a1, c1) in zip(_STOPS, _STOPS[1:]):
        if deg <= a1:
            t = (deg - a0) / (a1 - a0)
            return tuple(round(c0[i] + t * (c1[i] - c0[i])) for i in range(3))  # type: ignore[return-value]
    return _STOPS[-1][1]


def default_zoom(mesh: SpriteMesh, target: int = 768) -> int:
    return int(min(8, max(1, target // max(mesh.mask_width, mesh.mask_height, 1))))


def _sprite_png_b64(rgba: np.ndarray) -> str:
    from PIL import Image

    buf = io.BytesIO()
    Image.fromarray(rgba, "RGBA").save(buf, "PNG")
    return base64.b64encode(buf.getvalue()).decode("ascii")


def _pts(points: np.ndarray) -> str:
    return " ".join(f"{x:g},{y:g}" for x, y in points)


def render_svg(mesh: SpriteMesh, rgba: np.ndarray | None = None, zoom: int | None = None) -> str:
    """An SVG document: checkerboard, sprite, triangles (one <polygon> each in
    <g id="triangles">, with its smallest angle in data-min-angle), outlines
    in <g id="outlines"> and holes in <g id="holes">."""
    z = zoom or default_zoom(mesh)
    w, h, b = mesh.mask_width, mesh.mask_height, mesh.border
    out = [
        f'<svg xmlns="http://www.w3.org/2000/svg" version="1.1" width="{w * z}" height="{h * z}" '
        f'viewBox="0 0 {w} {h}">',
        f"<title>{mesh.mode} mesh of {Path(mesh.source).name if mesh.source else 'a sprite'}: "
        f"{mesh.vertex_count} vertices, {mesh.triangle_count} triangles</title>",
        '<defs><pattern id="checker" width="8" height="8" patternUnits="userSpaceOnUse">'
        '<rect width="8" height="8" fill="#ffffff"/><rect width="4" height="4" fill="#e4e4e4"/>'
        '<rect x="4" y="4" width="4" height="4" fill="#e4e4e4"/></pattern></defs>',
        f'<rect width="{w}" height="{h}" fill="url(#checker)"/>',
    ]
    if rgba is not None:
        out.append(f'<image x="{b}" y="{b}" width="{rgba.shape[1]}" height="{rgba.shape[0]}" '
                   'style="image-rendering:pixelated" opacity="0.6" preserveAspectRatio="none" '
                   f'href="data:image/png;base64,{_sprite_png_b64(rgba)}"/>')
    out.append('<g transform="translate(0.5 0.5)" stroke-linejoin="round">')
    out.append(f'<g id="triangles" fill-opacity="0.45" stroke="rgb{EDGE}" stroke-opacity="0.7" '
               f'stroke-width="{1.0 / z:g}">')
    for part in mesh.parts:
        corners = part.vertices[part.triangles]
        for tri, ang in zip(corners, min_angles(corners)):
            r, g, bl = angle_colour(float(ang))
            out.append(f'<polygon points="{_pts(tri)}" fill="#{r:02x}{g:02x}{bl:02x}" '
                       f'data-min-angle="{ang:.2f}"/>')
    out.append("</g>")
    for gid, colour, rings in (("outlines", OUTLINE, lambda p: p.outer_rings),
                               ("holes", HOLE, lambda p: p.hole_rings)):
        out.append(f'<g id="{gid}" fill="none" stroke="rgb{colour}" stroke-width="{2.0 / z:g}">')
        for part in mesh.parts:
            for ring in rings(part):
                out.append(f'<polygon points="{_pts(part.vertices[ring])}"/>')
        out.append("</g>")
    out.append("</g>")
    out.append(f"<desc>{quoteattr('vertices in mask pixels; point (x, y) drawn at (x + 0.5, y + 0.5)')[1:-1]}</desc>")
    out.append("</svg>")
    return "\n".join(out) + "\n"


def render_png(mesh: SpriteMesh, rgba: np.ndarray | None = None, zoom: int | None = None):
    """A PIL image of the preview, zoomed so small sprites are readable."""
    from PIL import Image, ImageDraw

    z = zoom or default_zoom(mesh)
    w, h, b = mesh.mask_width * z, mesh.mask_height * z, mesh.border
    # Draw at twice the size and scale down: cheap anti-aliasing for the lines.
    ss = 2 if w * h <= 4_000_000 else 1
    W, H = w * ss, h * ss
    k = z * ss
    yy, xx = np.mgrid[0:H, 0:W]
    cell = 8 * ss
    checker = (((yy // cell) + (xx // cell)) % 2).astype(np.uint8)
    bg = np.where(checker[..., None] == 1, 228, 255).astype(np.uint8).repeat(3, axis=2)
    canvas = Image.fromarray(np.dstack([bg, np.full((H, W), 255, np.uint8)]), "RGBA")
    if rgba is not None:
        # The sprite is dimmed so that the shading of the triangles reads over it.
        faded = rgba.copy()
        faded[..., 3] = (faded[..., 3].astype(np.uint16) * 3 // 5).astype(np.uint8)
        sprite = Image.fromarray(faded, "RGBA").resize((rgba.shape[1] * k, rgba.shape[0] * k),
                                                       Image.Resampling.NEAREST)
        canvas.alpha_composite(sprite, (b * k, b * k))

    def xy(points: np.ndarray) -> list[tuple[float, float]]:
        return [((x + 0.5) * k, (y + 0.5) * k) for x, y in points]

    fills = Image.new("RGBA", (W, H), (0, 0, 0, 0))
    d = ImageDraw.Draw(fills)
    for part in mesh.parts:
        corners = part.vertices[part.triangles]
        for tri, ang in zip(corners, min_angles(corners)):
            d.polygon(xy(tri), fill=angle_colour(float(ang)) + (120,))
    lines = ImageDraw.Draw(fills)
    for part in mesh.parts:
        for tri in part.vertices[part.triangles]:
            pts = xy(tri)
            lines.line(pts + pts[:1], fill=EDGE + (200,), width=ss)
    canvas.alpha_composite(fills)
    rings = Image.new("RGBA", (W, H), (0, 0, 0, 0))
    d = ImageDraw.Draw(rings)
    for part in mesh.parts:
        for colour, ring_list in ((OUTLINE, part.outer_rings), (HOLE, part.hole_rings)):
            for ring in ring_list:
                pts = xy(part.vertices[ring])
                d.line(pts + pts[:1], fill=colour + (255,), width=2 * ss, joint="curve")
    canvas.alpha_composite(rings)
    if ss > 1:
        canvas = canvas.resize((w, h), Image.Resampling.LANCZOS)
    return canvas


def write_previews(mesh: SpriteMesh, stem: str | os.PathLike, rgba: np.ndarray | None = None,
                   zoom: int | None = None) -> list[Path]:
    """Write `<stem>.preview.svg` and `<stem>.preview.png`; returns their paths."""
    stem = str(stem)
    svg, png = Path(stem + ".preview.svg"), Path(stem + ".preview.png")
    svg.write_text(render_svg(mesh, rgba, zoom), encoding="utf-8")
    render_png(mesh, rgba, zoom).convert("RGB").save(png, optimize=True)
    return [svg, png]
