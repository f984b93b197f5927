"""SVG/PNG previews and the quality report."""
from __future__ import annotations

import xml.etree.ElementTree as ET
from pathlib import Path

import cv2
import numpy as np
import pytest

import vellumcut
from vellumcut import image, modes, preview, quality
from vellumcut.meshes import from_triangulate, min_angles

from meshes import grid_group, square_with_hole_group, triangulate_result

SVG = "{http://www.w3.org/2000/svg}"

# An acute triangle whose smallest angle is about 10 degrees, beside a grid of
# right isosceles triangles (45 degrees): red versus green.
SLIVER = {"v": [110, 10, 110, 42, 290, 10], "idx": [0, 1, 2]}


def sample_mesh():
    res = triangulate_result([grid_group(10, 10, 40, 2), SLIVER], 300, 100)
    return from_triangulate(res, 0)


def test_angle_colours_run_from_red_to_green():
    red, yellow, green = preview.angle_colour(0), preview.angle_colour(20), preview.angle_colour(60)
    assert red[0] > 2 * red[1] and green[1] > 2 * green[0] and min(yellow[:2]) > 150
    greenness = [preview.angle_colour(a)[1] - preview.angle_colour(a)[0] for a in range(0, 61, 5)]
    assert greenness == sorted(greenness)


def test_svg_is_valid_and_draws_every_triangle_and_ring():
    mesh = sample_mesh()
    root = ET.fromstring(preview.render_svg(mesh, zoom=2))
    # Cropped to the vertices (x 10..290, y 10..90) plus one pixel, in mask pixels.
    assert root.tag == f"{SVG}svg" and root.get("viewBox") == "9 9 283 83"
    assert (root.get("width"), root.get("height")) == ("566", "166")
    groups = {g.get("id"): g for g in root.iter(f"{SVG}g") if g.get("id")}
    tris = groups["triangles"].findall(f"{SVG}polygon")
    assert len(tris) == mesh.triangle_count == 9
    drawn = np.array([float(t.get("data-min-angle")) for t in tris])
    np.testing.assert_allclose(drawn, min_angles(mesh.all_triangles()), atol=0.01)
    assert drawn[-1] == pytest.approx(np.degrees(np.arctan2(32, 180)), abs=0.01)
    first = [tuple(map(float, p.split(","))) for p in tris[0].get("points").split()]
    np.testing.assert_allclose(first, mesh.all_triangles()[0])
    assert len(groups["outlines"]) == 2 and len(groups["holes"]) == 0


def test_svg_embeds_the_sprite_at_the_margin():
    res = triangulate_result([square_with_hole_group()], 30, 30)
    mesh = from_triangulate(res, 3)
    rgba = np.zeros((24, 24, 4), np.uint8)
    root = ET.fromstring(preview.render_svg(mesh, rgba))
    (img,) = root.iter(f"{SVG}image")
    # The view ends 3 pixels (the margin) past the last vertex, x = 22: the
    # sprite is embedded from the margin to there.
    assert (img.get("x"), img.get("y"), img.get("width")) == ("3", "3", "23")
    assert img.get("href").startswith("data:image/png;base64,")
    groups = {g.get("id"): g for g in root.iter(f"{SVG}g") if g.get("id")}
    assert len(groups["outlines"]) == 1 and len(groups["holes"]) == 1


def test_png_shows_each_triangle_as_its_own_region_shaded_by_angle():
    mesh = sample_mesh()
    z = 3
    img = np.asarray(preview.render_png(mesh, zoom=z).convert("RGB")).astype(int)
    v = preview.view(mesh, zoom=z)
    assert (v.x0, v.y0, v.width, v.height) == (9, 9, 283, 83)
    assert img.shape == (83 * z, 283 * z, 3)
    # Edges and outlines are dark; what is left splits into one region per
    # triangle plus the background around them.
    light = (img.sum(axis=2) > 3 * 150).astype(np.uint8)
    n_labels, _ = cv2.connectedComponents(light, connectivity=4)
    assert n_labels - 1 == mesh.triangle_count + 1
    for tri, ang in zip(mesh.all_triangles(), min_angles(mesh.all_triangles())):
        cx, cy = (tri.mean(axis=0) - [v.x0, v.y0] + 0.5) * z
        r, g, _ = img[int(cy), int(cx)]
        assert (r > g) if ang < 15 else (g > r)


def test_quality_of_a_known_mesh():
    mesh = sample_mesh()
    opaque = np.zeros((100, 300), bool)
    opaque[10:91, 10:91] = True  # exactly the grid's pixel centres
    opaque[60:70, 200:210] = True  # an island the mesh misses
    q = quality.quality(mesh, opaque)
    assert (q["vertices"], q["triangles"], q["parts"]) == (12, 9, 2)
    assert q["min_angle_histogram"] == [0, 1, 0, 0, 8, 0]
    assert q["opaque_pixels"] == 81 * 81 + 100
    assert q["opaque_covered"] == 81 * 81
    # Sliver: the centres on or inside the triangle (0,0)-(0,32)-(180,0).
    sliver = sum(1 for x in range(181) for y in range(33) if 32 * x + 180 * y <= 32 * 180)
    assert q["transparent_covered"] == sliver
    assert q["mesh_area"] == pytest.approx(80 * 80 + 0.5 * 32 * 180)
    text = quality.format_report(q, "demo")
    assert "9 triangles" in text and f"{81 * 81} of {81 * 81 + 100}" in text


@pytest.mark.parametrize("margin", [0, 4])
def test_outline_coverage_counts_every_opaque_pixel_of_a_block(write_png, margin):
    alpha = np.zeros((20, 24), np.uint8)
    alpha[5:15, 3:20] = 255
    path = write_png(alpha)
    mesh = vellumcut.outline(path, eps=1.0, margin=margin)
    rgba, opaque = image.load_mask(path, 0, mesh.border)
    assert opaque.shape == (mesh.mask_height, mesh.mask_width)
    q = quality.quality(mesh, opaque)
    assert q["opaque_covered"] == q["opaque_pixels"] == 170
    assert q["transparent_covered"] == 0


def test_write_previews_writes_both_files(tmp_path, write_png):
    alpha = np.zeros((30, 30), np.uint8)
    alpha[4:26, 4:26] = 255
    path = write_png(alpha)
    mesh = from_triangulate(triangulate_result([square_with_hole_group()], 34, 34), 2)
    rgba, _ = image.load_mask(path, 0, 2)
    svg, png = preview.write_previews(mesh, tmp_path / "s", rgba)
    assert svg.name == "s.preview.svg" and png.name == "s.preview.png"
    ET.parse(svg)
    from PIL import Image

    with Image.open(png) as im:
        assert im.format == "PNG" and im.size[0] == im.size[1] >= 34


# --- all triangles at once -----------------------------------------------------------------

def _reference_coverage(mesh):
    """One triangle at a time; those without area cover nothing."""
    from vellumcut import raster
    from vellumcut.meshes import triangle_areas

    cov = np.zeros((mesh.mask_height, mesh.mask_width), bool)
    for tri in mesh.all_triangles():
        if abs(triangle_areas(tri[None])[0]) > 1e-12:
            raster.fill_polygon(tri, cov)
    return cov


@pytest.mark.parametrize("mode", ["earcut", "poisson"])
def test_vectorised_coverage_equals_filling_each_triangle_on_real_sprites(real_sprites, mode):
    from vellumcut import raster

    from PIL import Image

    def side(p):
        with Image.open(p) as im:
            return max(im.size)

    checked = 0
    # Every 40th sprite up to 600 pixels a side (the reference is slow on atlases).
    for path in [p for p in real_sprites[::40] if side(p) <= 600]:
        try:
            mesh = vellumcut.run(mode, path, **({"rpx": 4} if mode == "poisson" else {}))
        except RuntimeError:
            continue  # sprites the mesher refuses have nothing to cover
        h, w = mesh.mask_height, mesh.mask_width
        cov = raster.coverage(mesh.all_triangles(), h, w)
        np.testing.assert_array_equal(cov, _reference_coverage(mesh), err_msg=str(path))
        # The label image covers exactly the same centres, each with a
        # triangle that really contains it.
        lab = raster.labels(mesh.all_triangles(), h, w)
        np.testing.assert_array_equal(lab >= 0, cov)
        checked += 1
    assert checked >= 8


def test_coverage_of_shapes_cut_into_chunks_and_clipped(monkeypatch):
    from vellumcut import raster

    # A fan of thin triangles reaching outside the image, in chunks of a
    # few hundred (triangle, row) pairs: the result must not depend on the cut.
    rng = np.random.default_rng(5)
    corners = rng.uniform(-20, 120, size=(300, 3, 2))
    whole = raster.coverage(corners, 90, 100)
    monkeypatch.setattr(raster, "CHUNK", 257)
    np.testing.assert_array_equal(raster.coverage(corners, 90, 100), whole)
    ref = np.zeros((90, 100), bool)
    for tri in corners:
        raster.fill_polygon(tri, ref)
    np.testing.assert_array_equal(whole, ref)


def _sprite_in_canvas(canvas, offset, write_png):
    alpha = np.zeros((canvas, canvas), np.uint8)
    y, x = offset
    alpha[y:y + 20, x:x + 30] = 255
    alpha[y + 5:y + 12, x + 8:x + 16] = 0
    return write_png(alpha)


@pytest.mark.parametrize("offset", [(3, 5), (140, 90)], ids=["corner", "middle"])
def test_png_preview_is_cropped_to_the_content_and_the_same_wherever_it_sits(write_png, offset):
    ref_path = _sprite_in_canvas(200, (60, 60), write_png)
    path = _sprite_in_canvas(200, offset, write_png)
    images = []
    for p in (ref_path, path):
        mesh = vellumcut.earcut(p, eps=1.0, margin=4)
        rgba, _ = image.load_mask(p, 0, mesh.border)
        v = preview.view(mesh, rgba)
        # 30 x 20 opaque pixels plus the 4-pixel margin on each side, zoomed by whole steps.
        assert (v.width, v.height) == (38, 28) and v.zoom == preview.TARGET // 38
        images.append(np.asarray(preview.render_png(mesh, rgba)))
    assert images[0].shape == (28 * v.zoom, 38 * v.zoom, 3)
    np.testing.assert_array_equal(images[0], images[1])


def test_large_meshes_are_scaled_down_to_the_size_cap():
    mesh = from_triangulate(triangulate_result([grid_group(4, 4, 500, 8)], 4010, 4010), 4)
    v = preview.view(mesh)
    assert max(v.size) == preview.MAX_SIDE and v.zoom < 1
    img = preview.render_png(mesh)
    assert max(img.size) == preview.MAX_SIDE
    root = ET.fromstring(preview.render_svg(mesh))
    assert max(int(root.get("width")), int(root.get("height"))) == preview.MAX_SIDE
    assert len(root.find(f"{SVG}g").find(f"{SVG}g").findall(f"{SVG}polygon")) == 128


def test_svg_embeds_a_png_source_as_it_is_and_crops_with_the_viewbox(tmp_path, write_png):
    import base64

    path = _sprite_in_canvas(200, (60, 60), write_png)
    mesh = vellumcut.earcut(path, eps=1.0, margin=4)
    rgba, _ = image.load_mask(path, 0, mesh.border)
    svg, _ = preview.write_previews(mesh, tmp_path / "s", rgba)
    root = ET.parse(svg).getroot()
    (img,) = root.iter(f"{SVG}image")
    assert (img.get("x"), img.get("y"), img.get("width"), img.get("height")) == ("4", "4", "200", "200")
    assert base64.b64decode(img.get("href").split(",", 1)[1]) == Path(path).read_bytes()
    assert root.get("viewBox") == "60 60 38 28"  # the opaque 30 x 20 plus the margin


def test_the_view_frames_the_pixels_the_mesher_read_as_opaque(write_png):
    # 16-bit alpha just above the threshold (64 * 257 + 1) rounds to 64 at 8
    # bits: only the loader's own mask knows the lone speck is opaque.
    alpha = np.zeros((40, 40), np.uint16)
    alpha[4:12, 4:12] = 65535
    alpha[35, 35] = 64 * 257 + 1
    path = write_png(alpha)
    mesh = vellumcut.mesh_sprite(path, alpha_threshold=64, min_island_area=4, margin=2)
    assert len(mesh.parts) == 1  # the speck is dropped, but it was read as opaque
    rgba, opaque = modes.get("mesh").load_mask(path, mesh)
    assert opaque[37, 37] and rgba[35, 35, 3] == 64
    # The speck sits at mask pixel (37, 37); the box ends past it only with the mask.
    assert preview.content_box(mesh, rgba, opaque)[2:] == (40, 40)
    assert preview.content_box(mesh, rgba)[2:] == (17, 17)
