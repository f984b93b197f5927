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
from dataclasses import dataclass
from pathlib import Path
from xml.sax.saxutils import quoteattr

import numpy as np

from vellumcut.meshes import SpriteMesh, min_angles

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


# Small sprites are zoomed (by whole steps, at most 8x) to about TARGET pixels
# on their longer side; no preview is larger than MAX_SIDE on either side,
# larger content is scaled down to fit.
TARGET = 256
MAX_SIDE = 1024


@dataclass(frozen=True)
class View:
    """What a preview shows: the mask-frame pixels x0 <= x < x0 + width,
    y0 <= y < y0 + height, at `zoom` output pixels per mask pixel."""

    x0: int
    y0: int
    width: int
    height: int
    zoom: float

    @property
    def size(self) -> tuple[int, int]:
        return max(1, round(self.width * self.zoom)), max(1, round(self.height * self.zoom))


def content_box(mesh: SpriteMesh, rgba: np.ndarray | None = None,
                opaque: np.ndarray | None = None) -> tuple[int, int, int, int]:
    """Mask-frame box (x0, y0, x1, y1), x1 and y1 exclusive, of the opaque
    pixels and the mesh's vertices, grown by the margin (at least 1 pixel)
    and clipped to the mask; the whole mask when both are empty.

    `opaque`: the mask in the mesh's frame (`vellumcut.image.load_mask`),
    exactly what the mesher read; without it the mode's rule is applied to
    the 8-bit alpha of `rgba`."""
    xs, ys = [], []
    b = mesh.border
    if opaque is not None and opaque.shape == (mesh.mask_height, mesh.mask_width):
        b = 0
    elif rgba is not None and rgba.ndim == 3 and rgba.shape[2] == 4:
        from vellumcut import modes

        opaque = modes.get(mesh.mode).opaque(rgba[..., 3], mesh.params)  # the mode's own rule
    else:
        opaque = None
    if opaque is not None:
        rows, cols = np.flatnonzero(opaque.any(axis=1)), np.flatnonzero(opaque.any(axis=0))
        if len(rows):
            xs += [cols[0] + b, cols[-1] + b]
            ys += [rows[0] + b, rows[-1] + b]
    for part in mesh.parts:
        if len(part.vertices):
            xs += [float(part.vertices[:, 0].min()), float(part.vertices[:, 0].max())]
            ys += [float(part.vertices[:, 1].min()), float(part.vertices[:, 1].max())]
    if not xs:
        return 0, 0, mesh.mask_width, mesh.mask_height
    pad = max(mesh.border, 1)
    x0 = max(int(np.floor(min(xs))) - pad, 0)
    y0 = max(int(np.floor(min(ys))) - pad, 0)
    x1 = min(int(np.ceil(max(xs))) + 1 + pad, mesh.mask_width)
    y1 = min(int(np.ceil(max(ys))) + 1 + pad, mesh.mask_height)
    if x1 <= x0 or y1 <= y0:
        return 0, 0, mesh.mask_width, mesh.mask_height
    return x0, y0, x1, y1


def view(mesh: SpriteMesh, rgba: np.ndarray | None = None, zoom: float | None = None,
         max_side: int = MAX_SIDE, opaque: np.ndarray | None = None) -> View:
    """The cropped, zoomed view a preview draws (see `TARGET`, `MAX_SIDE`)."""
    x0, y0, x1, y1 = content_box(mesh, rgba, opaque)
    w, h = x1 - x0, y1 - y0
    side = max(w, h, 1)
    if zoom is None:
        zoom = float(min(8, max(1, TARGET // side)))
    zoom = min(float(zoom), max_side / side)
    return View(x0, y0, w, h, zoom)


def default_zoom(mesh: SpriteMesh, target: int = TARGET) -> float:
    return view(mesh).zoom


def _sprite_png_b64(rgba: np.ndarray) -> str:
    from PIL import Image

    buf = io.BytesIO()
    Image.fromarray(rgba, "RGBA").save(buf, "PNG", compress_level=1)
    return base64.b64encode(buf.getvalue()).decode("ascii")


def angle_colours(deg: np.ndarray) -> np.ndarray:
    """`angle_colour` of many angles at once: (K, 3) uint8."""
    d = np.asarray(deg, np.float64)
    xs = [a for a, _ in _STOPS]
    return np.stack([np.rint(np.interp(d, xs, [c[i] for _, c in _STOPS])) for i in range(3)],
                    axis=-1).astype(np.uint8).reshape(d.shape + (3,))


def _sprite_crop(rgba: np.ndarray, v: View, border: int) -> tuple[np.ndarray, int, int] | None:
    """The part of the sprite inside the view, and its mask-frame corner."""
    ix0, iy0 = max(v.x0, border), max(v.y0, border)
    ix1 = min(v.x0 + v.width, border + rgba.shape[1])
    iy1 = min(v.y0 + v.height, border + rgba.shape[0])
    if ix1 <= ix0 or iy1 <= iy0:
        return None
    return rgba[iy0 - border:iy1 - border, ix0 - border:ix1 - border], ix0, iy0


_TRIANGLE = '<polygon points="%g,%g %g,%g %g,%g" fill="#%02x%02x%02x" data-min-angle="%.2f"/>'


def _pts(points: np.ndarray) -> str:
    return " ".join(["%g,%g" % (x, y) for x, y in np.asarray(points).tolist()])


def render_svg(mesh: SpriteMesh, rgba: np.ndarray | None = None, zoom: float | None = None,
               max_side: int = MAX_SIDE, v: View | None = None,
               sprite_href: str | None = None) -> str:
    """An SVG document of the cropped view: checkerboard, sprite, triangles
    (one <polygon> each in <g id="triangles">, with its smallest angle in
    data-min-angle), outlines in <g id="outlines"> and holes in <g id="holes">.
    The viewBox is in mask pixels; width and height are the zoomed size."""
    v = v or view(mesh, rgba, zoom, max_side)
    z = v.zoom
    W, H = v.size
    out = [
        f'<svg xmlns="http://www.w3.org/2000/svg" version="1.1" width="{W}" height="{H}" '
        f'viewBox="{v.x0} {v.y0} {v.width} {v.height}">',
        f"<title>{mesh.mode} mesh of {Path(mesh.source).name if mesh.source else 'a sprite'}: "
        f"{mesh.vertex_count} vertices, {mesh.triangle_count} triangles</title>",
        '<defs><pattern id="checker" width="8" height="8" patternUnits="userSpaceOnUse">'
        '<rect width="8" height="8" fill="#ffffff"/><rect width="4" height="4" fill="#e4e4e4"/>'
        '<rect x="4" y="4" width="4" height="4" fill="#e4e4e4"/></pattern></defs>',
        f'<rect x="{v.x0}" y="{v.y0}" width="{v.width}" height="{v.height}" fill="url(#checker)"/>',
    ]
    crop = _sprite_crop(rgba, v, mesh.border) if rgba is not None else None
    if sprite_href is not None and rgba is not None:
        # The source file itself, whole: the viewBox crops it, nothing is re-encoded.
        out.append(f'<image x="{mesh.border}" y="{mesh.border}" width="{rgba.shape[1]}" '
                   f'height="{rgba.shape[0]}" style="image-rendering:pixelated" opacity="0.6" '
                   f'preserveAspectRatio="none" href="{sprite_href}"/>')
    elif crop is not None:
        pixels, ix, iy = crop
        ch, cw = pixels.shape[:2]
        if z < 1:  # embed no more pixels than the preview shows
            from PIL import Image

            small = (max(1, round(cw * z)), max(1, round(ch * z)))
            pixels = np.asarray(Image.fromarray(np.ascontiguousarray(pixels), "RGBA")
                                .resize(small, Image.Resampling.BOX))
        out.append(f'<image x="{ix}" y="{iy}" width="{cw}" height="{ch}" '
                   'style="image-rendering:pixelated" opacity="0.6" preserveAspectRatio="none" '
                   f'href="data:image/png;base64,{_sprite_png_b64(np.ascontiguousarray(pixels))}"/>')
    out.append('<g transform="translate(0.5 0.5)" stroke-linejoin="round">')
    out.append(f'<g id="triangles" fill-opacity="0.45" stroke="rgb{EDGE}" stroke-opacity="0.7" '
               f'stroke-width="{1.0 / z:g}">')
    # All parts at once: a sheet of a thousand small sprites is a thousand parts.
    corners = mesh.all_triangles()
    if len(corners):
        angles = min_angles(corners)
        colours = angle_colours(angles)
        out += [_TRIANGLE % (*t, *c, a) for t, c, a in
                zip(corners.reshape(-1, 6).tolist(), colours.tolist(), angles.tolist())]
    out.append("</g>")
    for gid, colour, rings in (("outlines", OUTLINE, lambda p: p.outer_rings),
                               ("holes", HOLE, lambda p: p.hole_rings)):
        out.append(f'<g id="{gid}" fill="none" stroke="rgb{colour}" stroke-width="{2.0 / z:g}">')
        for part in mesh.parts:
            for ring in rings(part):
                out.append(f'<polygon points="{_pts(part.vertices[ring])}"/>')
        out.append("</g>")
    out.append("</g>")
    if getattr(mesh, "bones", None) is not None:
        out += _rig_svg(mesh, z)
    out.append(f"<desc>{quoteattr('vertices in mask pixels; point (x, y) drawn at (x + 0.5, y + 0.5)')[1:-1]}</desc>")
    out.append("</svg>")
    return "\n".join(out) + "\n"


# --- rigged sprites: bones over the mesh, vertices tinted by their heaviest bone ---


def bone_colours(n: int) -> np.ndarray:
    """(n, 3) uint8 colours, neighbours in the list far apart in hue."""
    import colorsys

    return np.array([[round(255 * c) for c in colorsys.hsv_to_rgb((k * 0.61803398875) % 1.0, 0.85, 0.9)]
                     for k in range(n)], np.uint8).reshape(-1, 3)


def _heaviest(rigged) -> list[np.ndarray]:
    return [np.argmax(w, axis=1) if w.size else np.zeros(0, np.int64) for w in rigged.weights]


def _rig_svg(rigged, z: float) -> list[str]:
    colours = bone_colours(len(rigged.bones))
    out = ['<g transform="translate(0.5 0.5)">', f'<g id="influences" stroke="none">']
    r = 2.5 / z
    for part, heavy in zip(rigged.parts, _heaviest(rigged)):
        for (x, y), k in zip(part.vertices.tolist(), heavy.tolist()):
            out.append('<circle cx="%g" cy="%g" r="%g" fill="#%02x%02x%02x"/>' % (x, y, r, *colours[k]))
    out.append("</g>")
    out.append(f'<g id="bones" stroke-linecap="round" stroke-width="{3.0 / z:g}">')
    for k, b in enumerate(rigged.bones):
        c = "#%02x%02x%02x" % tuple(colours[k])
        out.append(f'<line x1="{b.head[0]:g}" y1="{b.head[1]:g}" x2="{b.tail[0]:g}" y2="{b.tail[1]:g}" '
                   f'stroke="{c}" data-bone={quoteattr(b.name)}><title>{b.name}</title></line>')
        out.append(f'<circle cx="{b.head[0]:g}" cy="{b.head[1]:g}" r="{3.0 / z:g}" fill="#000000"/>')
    out += ["</g>", "</g>"]
    return out


def _rig_png(rigged, img, v: View) -> None:
    from PIL import ImageDraw

    d = ImageDraw.Draw(img)
    colours = [tuple(c) for c in bone_colours(len(rigged.bones)).tolist()]
    k = v.zoom
    at = lambda p: ((p[0] - v.x0 + 0.5) * k, (p[1] - v.y0 + 0.5) * k)  # noqa: E731
    r = max(1.5, min(3.0, k))
    for part, heavy in zip(rigged.parts, _heaviest(rigged)):
        for p, b in zip(part.vertices.tolist(), heavy.tolist()):
            x, y = at(p)
            d.ellipse([x - r, y - r, x + r, y + r], fill=colours[b])
    for b, c in zip(rigged.bones, colours):
        (x0, y0), (x1, y1) = at(b.head), at(b.tail)
        d.line([(x0, y0), (x1, y1)], fill=(0, 0, 0), width=5)
        d.line([(x0, y0), (x1, y1)], fill=c, width=3)
        d.ellipse([x0 - 3, y0 - 3, x0 + 3, y0 + 3], fill=(0, 0, 0))


def _div255(x: np.ndarray) -> np.ndarray:
    """round(x / 255) for 0 <= x <= 255 * 255 (uint16), without integer division."""
    x = x + 128
    return (x + (x >> 8)) >> 8


def render_png(mesh: SpriteMesh, rgba: np.ndarray | None = None, zoom: float | None = None,
               max_side: int = MAX_SIDE, v: View | None = None):
    """A PIL RGB image of the cropped view (`view`): checkerboard, the
    sprite dimmed, every triangle filled by its smallest angle and edged,
    outlines and holes on top. Triangles are rasterised all at once."""
    from PIL import Image, ImageDraw

    from vellumcut import raster

    v = v or view(mesh, rgba, zoom, max_side)
    # Drawn at the output size, without supersampling, in a few whole-image
    # numpy steps: a batch with previews should cost a small multiple of the
    # meshing, not of the drawing.
    W, H = v.size
    k = v.zoom  # output pixels per mask pixel
    # The checkerboard and the sprite are composed at the smaller of the two
    # resolutions (the view's pixels when zooming in, the output's when
    # scaling down) and resized in Pillow; only the triangles are drawn at
    # the output size.
    crop = _sprite_crop(rgba, v, mesh.border) if rgba is not None else None
    if k >= 1:
        bw, bh, cell = v.width, v.height, 4  # checker cells of 4 sprite pixels
    else:
        bw, bh, cell = W, H, 8
    yy, xx = np.arange(bh)[:, None] // cell, np.arange(bw)[None, :] // cell
    base = np.repeat(np.where((yy + xx) % 2 == 1, np.uint16(228), np.uint16(255))[..., None], 3, axis=2)
    if crop is not None:
        pixels, ix, iy = crop
        f = 1.0 if k >= 1 else k
        X0, Y0 = round((ix - v.x0) * f), round((iy - v.y0) * f)
        sw = min(max(1, round(pixels.shape[1] * f)), bw - X0)
        sh = min(max(1, round(pixels.shape[0] * f)), bh - Y0)
        sprite = np.ascontiguousarray(pixels)
        if f != 1.0:
            sprite = np.asarray(Image.fromarray(sprite, "RGBA").resize((sw, sh), Image.Resampling.BOX))
        sprite = sprite[:sh, :sw].astype(np.uint16)
        # Dimmed to 60 % so that the shading of the triangles reads over it.
        a = sprite[..., 3:4] * 3 // 5
        region = base[Y0:Y0 + sh, X0:X0 + sw]
        region[:] = _div255(region * (255 - a) + sprite[..., :3] * a)
    canvas = base.astype(np.uint8)
    if (bw, bh) != (W, H):
        canvas = np.asarray(Image.fromarray(canvas, "RGB").resize((W, H), Image.Resampling.NEAREST))
    corners = mesh.all_triangles()
    if len(corners):
        # Centre-integer output frame: mesh point (x, y) is drawn at
        # ((x - x0 + 0.5) k, ...) and output pixel X has its centre at X + 0.5.
        shifted = np.asarray((corners - np.array([v.x0, v.y0], np.float64) + 0.5) * k - 0.5,
                             np.float64)
        lab = raster.labels(shifted, H, W) + 1  # 0: no triangle
        # One colour and opacity per triangle.
        colours = np.zeros((len(corners) + 1, 3), np.uint8)
        colours[1:] = angle_colours(min_angles(corners))
        opacity = np.full(len(corners) + 1, 120, np.uint8)
        opacity[0] = 0
        layer = np.empty((H, W, 4), np.uint8)
        layer[..., :3] = colours[lab]
        layer[..., 3] = opacity[lab]
        # Edges: where the triangle changes between neighbouring pixels.
        edge = np.zeros((H, W), bool)
        edge[:, :-1] |= lab[:, 1:] != lab[:, :-1]
        edge[:-1, :] |= lab[1:, :] != lab[:-1, :]
        layer[edge] = EDGE + (200,)
        img = Image.fromarray(np.ascontiguousarray(canvas), "RGB").convert("RGBA")
        img.alpha_composite(Image.fromarray(layer, "RGBA"))
        img = img.convert("RGB")
    else:
        img = Image.fromarray(np.ascontiguousarray(canvas), "RGB")
    d = ImageDraw.Draw(img)
    offset = np.array([v.x0, v.y0], np.float64)
    width = 2 if v.zoom >= 1 else 1
    for part in mesh.parts:
        for colour, ring_list in ((OUTLINE, part.outer_rings), (HOLE, part.hole_rings)):
            for ring in ring_list:
                pts = ((part.vertices[ring] - offset + 0.5) * k).tolist()
                d.line([tuple(p) for p in pts + pts[:1]], fill=colour, width=width, joint="curve")
    if getattr(mesh, "bones", None) is not None:
        _rig_png(mesh, img, v)
    return img


EMBED_LIMIT = 4 << 20  # bytes of a source file embedded as it is in the SVG


def _source_href(mesh: SpriteMesh, rgba: np.ndarray | None) -> str | None:
    """A data: URL of the source file when browsers read its format and it
    is small enough, so that the SVG embeds it without re-encoding."""
    if rgba is None or not mesh.source:
        return None
    mime = {".png": "image/png", ".webp": "image/webp"}.get(Path(mesh.source).suffix.lower())
    try:
        if mime is None or os.path.getsize(mesh.source) > EMBED_LIMIT:
            return None
        data = Path(mesh.source).read_bytes()
    except OSError:
        return None
    return f"data:{mime};base64,{base64.b64encode(data).decode('ascii')}"


def write_previews(mesh: SpriteMesh, stem: str | os.PathLike, rgba: np.ndarray | None = None,
                   zoom: float | None = None, opaque: np.ndarray | None = None) -> list[Path]:
    """Write `<stem>.preview.svg` and `<stem>.preview.png`; returns their paths.
    `rgba` and `opaque` as `vellumcut.image.load_mask` gives them."""
    stem = str(stem)
    svg, png = Path(stem + ".preview.svg"), Path(stem + ".preview.png")
    v = view(mesh, rgba, zoom, opaque=opaque)
    svg.write_text(render_svg(mesh, rgba, v=v, sprite_href=_source_href(mesh, rgba)),
                   encoding="utf-8")
    render_png(mesh, rgba, v=v).save(png, compress_level=1)
    return [svg, png]
