"""vellumcut.mesh_sprite: the guarantees (coverage, tolerance, validity,
nothing vanishing, vertex caps), its inputs and options, seeds, threads and
Ctrl-C. The invariants are decided by tests/mesh_checks.py."""
from __future__ import annotations

import os
import signal
import subprocess
import sys
import textwrap
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import cv2
import numpy as np
import pytest
from PIL import Image

import mesh_checks as mc
import vellumcut
from sprites import random_alpha
from vellumcut.meshes import ring_area


def disk(size: int, r: float, cx: float | None = None, cy: float | None = None) -> np.ndarray:
    yy, xx = np.mgrid[0:size, 0:size]
    c = size / 2
    return np.where((xx - (cx or c)) ** 2 + (yy - (cy or c)) ** 2 <= r * r, 255, 0).astype(np.uint8)


def shapes() -> dict[str, np.ndarray]:
    out = {f"random{seed}": random_alpha(np.random.default_rng(seed)) for seed in range(6)}
    checker = np.zeros((12, 12), np.uint8)
    checker[2:10, 2:10] = np.where((np.add.outer(range(8), range(8)) % 2) == 0, 255, 0)
    out["checkerboard"] = checker  # every pixel meets its neighbours at corners only
    diag = np.zeros((30, 30), np.uint8)
    diag[np.arange(3, 27), np.arange(3, 27)] = 255
    out["diagonal"] = diag
    nest = disk(60, 26)
    nest[disk(60, 15) > 0] = 0
    nest[disk(60, 6) > 0] = 255  # an island inside a hole
    out["nested"] = nest
    stripes = np.zeros((40, 40), np.uint8)
    stripes[5:35, 4::5] = 200  # one-pixel stripes a few pixels apart
    out["stripes"] = stripes
    ramp = disk(48, 20)
    ramp[disk(48, 23) > ramp] = 10  # a faint glow around it
    out["glow"] = ramp
    return out


SHAPES = shapes()
CONFIGS = {
    "default": {},
    "exact": {"tolerance": 0.0},
    "coarse-padded": {"tolerance": 2.5, "padding": 1.0},
    "poisson": {"interior": "poisson", "spacing": 4, "seed": 7},
    "quality": {"interior": "quality", "spacing": 6, "padding": 0.5},
    "threshold": {"alpha_threshold": 100, "margin": 3},
}


# Where two pixels meet only at a corner, the outline cuts 1/64 px into the
# transparent pixel beside it to join them: the one way an outline at
# tolerance 0 leaves the pixel edges.
CORNER_CUT = 1 / 64 / 2 ** 0.5 + 1e-9


@pytest.mark.parametrize("config", CONFIGS.values(), ids=CONFIGS.keys())
@pytest.mark.parametrize("alpha", SHAPES.values(), ids=SHAPES.keys())
def test_generated_sprites_keep_every_guarantee(alpha, config):
    mesh = vellumcut.mesh_sprite(alpha, **config)
    mask = mc.opaque_mask(alpha, config.get("alpha_threshold", 0))
    tolerance = config.get("tolerance", 1.0)
    mc.assert_sound(mesh, mask, tolerance or CORNER_CUT, config.get("padding", 0.0))
    assert mesh.mode == "mesh"
    assert (mesh.mask_width, mesh.mask_height) == (alpha.shape[1] + 2 * mesh.border,
                                                    alpha.shape[0] + 2 * mesh.border)


def test_real_sprites_keep_every_guarantee_and_reach_the_angle_aims(real_sprites):
    # Plus a sheet of glyphs: hundreds of small islands with sharp corners,
    # where fitted lines meet at steps and bevels.
    sample = real_sprites[::60] + [p for p in real_sprites if p.name == "codepage_437.png"]
    below, medians = [], []
    for path in sample:
        mask = mc.opaque_mask(path)
        for config in ({}, {"padding": 1.0}, {"interior": "quality", "spacing": 8, "seed": 1}):
            mesh = vellumcut.mesh_sprite(path, **config)
            mc.assert_sound(mesh, mask, 1.0, config.get("padding", 0.0))
        figures = mc.mesh_figures(vellumcut.mesh_sprite(path, interior="poisson", seed=2), mask)
        assert figures["coverage"] == pytest.approx(1.0)
        below.append(figures["angle_below"])
        medians.append(figures["angle_median"])
    assert np.median(medians) >= 30
    assert np.mean(below) <= 0.05


def test_nothing_vanishes_and_small_islands_and_holes_follow_their_floors():
    stars = np.zeros((40, 40), np.uint8)
    stars[3::6, 2::7] = 255  # single pixels, far apart
    assert len(vellumcut.mesh_sprite(stars).parts) == int((stars > 0).sum())
    assert vellumcut.mesh_sprite(stars, min_island_area=2).parts == []

    alpha = np.zeros((40, 60), np.uint8)
    alpha[5:35, 5:55] = 255
    alpha[10:12, 10:11] = 0  # 2 transparent pixels
    alpha[10:15, 30:35] = 0  # 25 transparent pixels
    alpha[20:30, 40:50] = 0  # a 100-pixel hole holding an island
    alpha[23:27, 43:47] = 255
    rings = lambda m: sorted(len(p.rings) for p in m.parts)  # noqa: E731
    assert rings(vellumcut.mesh_sprite(alpha)) == [1, 3]  # default floor: 16 pixels
    assert rings(vellumcut.mesh_sprite(alpha, min_hole_area=0)) == [1, 4]
    filled = vellumcut.mesh_sprite(alpha, min_hole_area=26)
    assert rings(filled) == [1, 2]
    # The hole holding the island fills, and the island goes with it (no overlap).
    assert rings(vellumcut.mesh_sprite(alpha, min_hole_area=101)) == [1]
    mc.assert_sound(filled, alpha > 0, 1.0)


@pytest.mark.parametrize("cap", [3, 8, 40])
@pytest.mark.parametrize("name", ["nested", "random5", "glow"])
def test_vertex_cap_holds_and_coverage_survives_it(name, cap):
    alpha = SHAPES[name]
    least = 3 * len(vellumcut.mesh_sprite(alpha).parts)
    if cap < least:
        with pytest.raises(ValueError, match=f"max_vertices is {cap}, but this sprite needs at least {least} "):
            vellumcut.mesh_sprite(alpha, max_vertices=cap)
        return
    mesh = vellumcut.mesh_sprite(alpha, max_vertices=cap)
    assert mesh.parts and sum(len(p.vertices) for p in mesh.parts) <= cap
    mask = alpha > 0
    assert mc.check_coverage(mesh, mask) == [] and mc.check_validity(mesh) == []


def test_cap_grows_the_tolerance_only_where_needed():
    alpha = disk(200, 90)
    free = vellumcut.mesh_sprite(alpha)
    capped = vellumcut.mesh_sprite(alpha, max_vertices=12)
    assert len(free.parts[0].vertices) > 12 >= len(capped.parts[0].vertices)
    assert -ring_area(capped.parts[0].vertices[capped.parts[0].rings[0]]) >= (alpha > 0).sum()


def test_image_without_alpha_is_its_rectangle(tmp_path):
    rgb = np.full((30, 50, 3), 90, np.uint8)
    path = str(tmp_path / "opaque.png")
    assert cv2.imwrite(path, rgb)
    for image in (rgb, path, Image.fromarray(rgb), Image.fromarray(rgb[..., 0])):
        mesh = vellumcut.mesh_sprite(image, margin=2)
        assert (mesh.vertex_count, mesh.triangle_count) == (4, 2)
        assert sorted(map(tuple, mesh.parts[0].vertices)) == [(1.5, 1.5), (1.5, 31.5), (51.5, 1.5),
                                                              (51.5, 31.5)]


def test_arrays_files_and_pil_images_give_one_mesh(write_png):
    alpha = SHAPES["random2"]
    rgba = np.dstack([np.full_like(alpha, 40)] * 3 + [alpha])  # BGRA, as OpenCV writes
    path = write_png(alpha)
    pil = Image.open(path)
    meshes = [vellumcut.mesh_sprite(x, tolerance=1.5) for x in
              (alpha, rgba, path, os.fsencode(path), pil, pil.convert("LA"))]
    for other in meshes[1:]:
        assert len(other.parts) == len(meshes[0].parts)
        for a, b in zip(meshes[0].parts, other.parts):
            np.testing.assert_array_equal(a.vertices, b.vertices)
            np.testing.assert_array_equal(a.triangles, b.triangles)


@pytest.mark.parametrize("threshold", [0, 1, 128, 254])
def test_sixteen_bit_alpha_is_compared_on_the_eight_bit_scale(tmp_path, threshold):
    alpha = np.zeros((20, 40), np.uint16)
    alpha[5:15, 5:15] = threshold * 257       # transparent at this threshold
    alpha[5:15, 25:35] = threshold * 257 + 1  # opaque
    img = np.dstack([np.full_like(alpha, 1000)] * 3 + [alpha])
    path = str(tmp_path / "deep.png")
    assert cv2.imwrite(path, img)
    for image in (path, img, alpha):
        mesh = vellumcut.mesh_sprite(image, alpha_threshold=threshold)
        assert len(mesh.parts) == 1
        assert mesh.parts[0].vertices[:, 0].min() == 24.5


def test_margin_shifts_the_mesh():
    alpha = SHAPES["random4"]
    plain = vellumcut.mesh_sprite(alpha, interior="poisson", seed=5)
    shifted = vellumcut.mesh_sprite(alpha, interior="poisson", seed=5, margin=7)
    for a, b in zip(plain.parts, shifted.parts):
        np.testing.assert_allclose(b.vertices, a.vertices + 7)
        np.testing.assert_array_equal(a.triangles, b.triangles)
    negative = vellumcut.mesh_sprite(alpha, margin=-3)
    assert negative.border == 0 and negative.mask_width == alpha.shape[1]


def test_seeds_replay_and_differ():
    alpha = disk(120, 50)
    run = lambda seed: vellumcut.mesh_sprite(alpha, interior="poisson", spacing=6, seed=seed)  # noqa: E731
    a, b, c = run(11), run(11), run(12)
    np.testing.assert_array_equal(a.parts[0].vertices, b.parts[0].vertices)
    np.testing.assert_array_equal(a.parts[0].triangles, b.parts[0].triangles)
    assert not np.array_equal(a.parts[0].vertices, c.parts[0].vertices)
    unseeded = [run(None).parts[0].vertices for _ in range(2)]
    assert not np.array_equal(*unseeded)


def test_poisson_points_stay_inside_and_apart():
    alpha = disk(160, 70)
    mesh = vellumcut.mesh_sprite(alpha, interior="poisson", spacing=9, seed=3)
    part = mesh.parts[0]
    # Away from the outline every vertex is a Poisson point (Triangle's
    # refinement only adds points along the outline there).
    r = np.hypot(part.vertices[:, 0] - 80, part.vertices[:, 1] - 80)
    inner = part.vertices[r < 70 - 3 * 9]
    assert len(inner) > 30
    d = np.hypot(*(inner[:, None, :] - inner[None, :, :]).transpose(2, 0, 1))
    np.fill_diagonal(d, np.inf)
    assert d.min() >= 9 - 1e-6
    assert (np.hypot(inner[:, 0] - 80, inner[:, 1] - 80) < 70).all()


def test_quality_meets_the_angle_and_area_bounds():
    mesh = vellumcut.mesh_sprite(SHAPES["nested"], interior="quality", min_angle=30, spacing=5)
    tri = mesh.all_triangles()
    assert mc.check_angles(mesh, min_angle=30, max_below=0.02) == []
    assert np.abs(vellumcut.meshes.triangle_areas(tri)).max() <= np.sqrt(3) / 4 * 25 + 1e-9


OPTION_ERRORS = [
    ({"tolerance": -1}, "tolerance"),
    ({"padding": -0.5}, "padding"),
    ({"max_vertices": 2}, "max_vertices"),
    ({"interior": "dense"}, "interior"),
    ({"min_angle": 35}, "min_angle"),
    ({"min_angle": 0}, "min_angle"),
    ({"alpha_threshold": 255}, "alpha_threshold"),
    ({"spacing": 0}, "spacing"),
    ({"min_island_area": 0}, "min_island_area"),
    ({"min_hole_area": -1}, "min_hole_area"),
    ({"seed": -1}, "seed"),
]


@pytest.mark.parametrize("kwargs,name", OPTION_ERRORS, ids=[n + "-" + str(list(k.values())[0])
                                                             for k, n in OPTION_ERRORS])
def test_bad_options_raise_value_error_naming_the_option(kwargs, name):
    with pytest.raises(ValueError, match=name):
        vellumcut.mesh_sprite(np.zeros((4, 4), np.uint8), **kwargs)


def test_bad_images_raise_in_english(tmp_path, write_png):
    text = tmp_path / "notes.png"
    text.write_text("not an image")
    truncated = tmp_path / "cut.png"
    truncated.write_bytes(Path(write_png(SHAPES["random1"])).read_bytes()[:60])
    huge = tmp_path / "huge.png"
    # A valid signature and header declaring 5000 x 5000 pixels, nothing else.
    huge.write_bytes(b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR" + (5000).to_bytes(4, "big") * 2 + b"\x08\x06\x00\x00\x00")
    cases = [(tmp_path / "missing.png", "No such file"), (tmp_path, "directory"), (text, "not an image"),
             (truncated, "damaged"), (huge, "too large")]
    for path, words in cases:
        with pytest.raises(RuntimeError, match=words) as info:
            vellumcut.mesh_sprite(path)
        assert str(info.value).isascii()
    with pytest.raises(ValueError, match="channels"):
        vellumcut.mesh_sprite(np.zeros((4, 4, 2), np.uint8))
    with pytest.raises(ValueError, match="uint8 or uint16"):
        vellumcut.mesh_sprite(np.zeros((4, 4), np.float32))


def test_threads_give_the_serial_results():
    images = [SHAPES[k] for k in ("random0", "random1", "nested", "glow")] * 3
    args = [dict(interior=i, seed=4, spacing=5) for i in ("none", "poisson", "quality")] * 4

    def run(pair):
        img, kw = pair
        return vellumcut.mesh_sprite(img, **kw)

    serial = [run(p) for p in zip(images, args)]
    with ThreadPoolExecutor(2) as pool:
        threaded = list(pool.map(run, zip(images, args)))
    for a, b in zip(serial, threaded):
        for pa, pb in zip(a.parts, b.parts):
            np.testing.assert_array_equal(pa.vertices, pb.vertices)
            np.testing.assert_array_equal(pa.triangles, pb.triangles)


CTRL_C_IMAGES = {
    # A million tiny islands: the time goes on steps that poll.
    "noise": "(np.random.default_rng(0).random((2048, 2048)) < 0.5).astype(np.uint8) * 255",
    # One square refined to 1.7 million triangles: one long Triangle call.
    "one part": "np.full((2048, 2048), 255, np.uint8)",
}


def _interrupt_child(image: str, handler: str, delay: float) -> tuple[list[str], float]:
    """Runs mesh_sprite(IMAGE, interior="quality", spacing=3) in a child,
    sends SIGINT `delay` s into the call and returns the child's report line
    and when the signal was sent. The child then meshes a small image, to
    show the library still works."""
    child = textwrap.dedent(f"""
        import signal, sys, time, numpy as np, vellumcut
        {handler}
        alpha = {image}
        print("ready", flush=True)
        try:
            mesh = vellumcut.mesh_sprite(alpha, interior="quality", spacing=3)
            print("finished", time.monotonic(), mesh.triangle_count, flush=True)
        except KeyboardInterrupt:
            print("interrupted", time.monotonic(), flush=True)
        print("after", vellumcut.mesh_sprite(np.full((8, 8), 255, np.uint8)).triangle_count, flush=True)
    """)
    proc = subprocess.Popen([sys.executable, "-c", child], stdout=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline().strip() == "ready"
        time.sleep(delay)
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        line = proc.stdout.readline().split()
        assert proc.stdout.readline().split() == ["after", "2"]
        return line, sent
    finally:
        proc.kill()
        proc.wait()
        proc.stdout.close()


@pytest.mark.parametrize("image", sorted(CTRL_C_IMAGES))
def test_ctrl_c_stops_a_long_call_within_a_second(image):
    line, sent = _interrupt_child(CTRL_C_IMAGES[image], "", 1.0)
    assert line and line[0] == "interrupted", line
    assert float(line[1]) - sent < 1.0


def test_sigint_whose_handler_does_not_raise_lets_the_call_finish():
    line, _ = _interrupt_child("np.full((1024, 1024), 255, np.uint8)",
                               "signal.signal(signal.SIGINT, lambda *a: None)", 0.3)
    expected = vellumcut.mesh_sprite(np.full((1024, 1024), 255, np.uint8), interior="quality",
                                     spacing=3).triangle_count
    assert line[0] == "finished" and int(line[2]) == expected, line


@pytest.mark.parametrize("side, open_", [(3, False), (4, True)], ids=["3x3-filled", "4x4-open"])
def test_by_default_holes_under_sixteen_pixels_are_filled(side, open_):
    alpha = np.full((20, 20), 255, np.uint8)
    alpha[8:8 + side, 8:8 + side] = 0
    (part,) = vellumcut.mesh_sprite(alpha).parts
    assert len(part.hole_rings) == (1 if open_ else 0)


def test_the_smallest_angle_bound_is_the_one_the_help_names():
    from vellumcut import sprite

    vellumcut.mesh_sprite(np.full((8, 8), 255, np.uint8), interior="quality", min_angle=sprite.MAX_MIN_ANGLE)
    with pytest.raises(ValueError, match=f"^min_angle must be above 0 and at most {sprite.MAX_MIN_ANGLE:.0f} degrees"):
        vellumcut.mesh_sprite(np.full((8, 8), 255, np.uint8), min_angle=sprite.MAX_MIN_ANGLE + 0.5)


def mesh_area(mesh) -> float:
    return float(np.abs(vellumcut.meshes.triangle_areas(mesh.all_triangles())).sum())


@pytest.mark.parametrize("name", ["random0", "random5", "nested", "stripes"])
def test_exact_outlines_are_the_pixels_and_move_with_the_image(name):
    alpha = SHAPES[name]
    base = vellumcut.mesh_sprite(alpha, tolerance=0, min_hole_area=0)
    # At tolerance 0 the mesh is the opaque pixels (plus the corner cuts).
    assert mesh_area(base) == pytest.approx((alpha > 0).sum(), abs=0.01 * max(1, base.vertex_count))
    for turned in (alpha[::-1], alpha[:, ::-1], alpha.T):
        other = vellumcut.mesh_sprite(np.ascontiguousarray(turned), tolerance=0, min_hole_area=0)
        assert other.vertex_count == base.vertex_count
        assert mesh_area(other) == pytest.approx(mesh_area(base))
    twice = vellumcut.mesh_sprite(np.hstack([alpha, np.zeros_like(alpha[:, :2]), alpha]), tolerance=0,
                                  min_hole_area=0)
    assert len(twice.parts) == 2 * len(base.parts)
    assert twice.triangle_count == 2 * base.triangle_count


def test_more_padding_more_mesh_and_every_pixel_further_inside():
    alpha = SHAPES["random2"]
    areas = []
    for pad in (0.0, 0.5, 2.0):
        mesh = vellumcut.mesh_sprite(alpha, padding=pad)
        assert mc.check_coverage(mesh, alpha > 0, pad) == []
        areas.append(mesh_area(mesh))
    assert areas[0] < areas[1] < areas[2]


def test_an_island_in_a_small_hole_of_a_dropped_island_stays():
    # A frame of 44 pixels round a hole of 36 transparent pixels holding an
    # island of 64: the frame is below min_island_area, so nothing fills its
    # hole, and the island inside is big enough to be a part of its own.
    alpha = np.zeros((16, 16), np.uint8)
    alpha[2:14, 2:14] = 255
    alpha[3:13, 3:13] = 0
    alpha[4:12, 4:12] = 255
    mesh = vellumcut.mesh_sprite(alpha, min_island_area=48, min_hole_area=48)
    assert len(mesh.parts) == 1
    inner = np.zeros_like(alpha)
    inner[4:12, 4:12] = 255
    mc.assert_sound(mesh, inner > 0, 1.0)
    assert len(vellumcut.mesh_sprite(alpha, min_island_area=40, min_hole_area=48).parts) == 1  # frame, filled


@pytest.mark.parametrize("padding", [0.5, 1.0, 3.0], ids=["pad-0.5", "pad-1", "pad-3"])
@pytest.mark.parametrize("name", ["checkerboard", "diagonal", "random3", "nested"])
def test_padding_keeps_both_bounds_down_to_the_least_tolerance(name, padding):
    # Every pixel `padding` inside and every outline point within exactly
    # `padding` of the pixels: no polygon does both round a corner, so
    # tolerance 0 with padding is refused and the least tolerance keeps both.
    alpha = SHAPES[name]
    with pytest.raises(ValueError, match=r"tolerance must be at least 0\.2 px when padding is above 0"):
        vellumcut.mesh_sprite(alpha, tolerance=0, padding=padding)
    for tolerance in (0.2, 0.25):
        for interior in ("none", "quality"):
            mesh = vellumcut.mesh_sprite(alpha, tolerance=tolerance, padding=padding, interior=interior,
                                         min_hole_area=0)
            mc.assert_sound(mesh, alpha > 0, tolerance, padding)


def test_big_endian_and_strided_arrays_read_as_their_values():
    alpha = (SHAPES["random1"].astype(np.uint16) * 257)
    ref = vellumcut.mesh_sprite(alpha, alpha_threshold=50)
    wide = np.zeros(alpha.shape + (4,), np.uint16)
    wide[..., 3] = alpha
    for image in (alpha.astype(">u2"), wide[..., 3], np.asfortranarray(alpha), wide):
        other = vellumcut.mesh_sprite(image, alpha_threshold=50)
        assert [p.vertices.tolist() for p in other.parts] == [p.vertices.tolist() for p in ref.parts]



def test_a_sprite_meshes_alike_on_every_call_of_a_thread(real_sprites):
    # Triangle's start-up changes the thread's x87 control word; left in
    # place it changed the line fit's corners from the second call of a
    # thread on. Each pair runs on a fresh thread of a fresh interpreter,
    # whose main thread never meshes, so the first call is a clean one.
    script = textwrap.dedent("""
        import sys, threading, vellumcut
        def meshes(path):
            m = vellumcut.mesh_sprite(path, tolerance=1.0, seed=1)
            return [(p.vertices.tobytes(), p.triangles.tobytes()) for p in m.parts]
        differ = []
        def pair(path):
            if meshes(path) != meshes(path):
                differ.append(path)
        for path in sys.argv[1:]:
            t = threading.Thread(target=pair, args=(path,))
            t.start()
            t.join()
        print("\\n".join(differ))
    """)
    paths = [str(p) for p in real_sprites[::10]]
    run = subprocess.run([sys.executable, "-c", script, *paths], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "", f"meshed differently on a second call: {run.stdout}"
