"""Detail control of vellumcut.mesh_sprite: a larger tolerance never gives more
outline vertices, `max_vertices` is a budget for the whole sprite that
degrades smoothly and says so, and spacing="auto" does not grow with the
sprite. Every mesh is also checked against the guarantees (mesh_checks)."""
from __future__ import annotations

import cv2
import numpy as np
import pytest

import mesh_checks as mc
import vellumcut
from sprites import random_alpha
from test_mesh_sprite import SHAPES, disk

TOLERANCES = (0, 0.1, 0.25, 0.3, 0.5, 0.75, 1, 1.5, 2, 3, 4, 6, 8, 12, 16)


def outline_vertices(mesh) -> int:
    return sum(len(r) for p in mesh.parts for r in p.rings)


def star(size: int = 160, spikes: int = 9) -> np.ndarray:
    yy, xx = np.mgrid[0:size, 0:size] - size / 2
    ang, rad = np.arctan2(yy, xx), np.hypot(xx, yy)
    return np.where(rad <= size * (0.22 + 0.2 * np.abs(np.sin(spikes * ang / 2)) ** 3), 255, 0).astype(np.uint8)


def curvy_with_holes(size: int = 200) -> np.ndarray:
    yy, xx = np.mgrid[0:size, 0:size] - size / 2
    ang, rad = np.arctan2(yy, xx), np.hypot(xx, yy)
    alpha = np.where(rad <= size * (0.38 + 0.05 * np.sin(5 * ang) + 0.02 * np.sin(13 * ang)), 255, 0).astype(np.uint8)
    for cx, cy, r in ((70, 80, 14), (130, 90, 9), (100, 140, 20)):
        cv2.circle(alpha, (cx, cy), r, 0, -1)
    cv2.circle(alpha, (100, 140), 6, 255, -1)  # an island in a hole
    return alpha


def islands(size: int = 180) -> np.ndarray:
    alpha = np.zeros((size, size), np.uint8)
    rng = np.random.default_rng(3)
    for _ in range(7):
        cx, cy, r = rng.integers(20, size - 20), rng.integers(20, size - 20), rng.integers(4, 18)
        cv2.ellipse(alpha, (int(cx), int(cy)), (int(r), int(r * 0.6)), float(rng.uniform(0, 180)), 0, 360, 200, -1)
    alpha[150:153, 10:170] = 255  # a long thin bar
    return alpha


FIGURES = {"star": star(), "curvy-holes": curvy_with_holes(), "islands": islands(),
           "random": random_alpha(np.random.default_rng(11), 96, 96), "checkerboard": SHAPES["checkerboard"],
           "nested": SHAPES["nested"], "glow": SHAPES["glow"]}


@pytest.mark.parametrize("options", [{}, {"padding": 1.5}, {"alpha_threshold": 100, "padding": 0.5}],
                         ids=["plain", "padded", "threshold-padded"])
@pytest.mark.parametrize("name", list(FIGURES))
def test_more_tolerance_never_gives_more_vertices(name, options):
    alpha = FIGURES[name]
    mask = alpha > options.get("alpha_threshold", 0)
    counts = []
    pad = options.get("padding", 0.0)
    for t in TOLERANCES:
        if pad > 0 and t < 0.2:  # a padded outline needs room for its round corners' chords
            with pytest.raises(ValueError, match="tolerance must be at least 0.2 px"):
                vellumcut.mesh_sprite(alpha, tolerance=t, **options)
            continue
        mesh = vellumcut.mesh_sprite(alpha, tolerance=t, **options)
        assert mc.check_coverage(mesh, mask, pad) == [] and mc.check_validity(mesh) == []
        if t > 0:  # at 0, corner cuts at diagonal touches stray 0.011 px
            assert mc.check_tolerance(mesh, mask, t, pad) == []
        counts.append(outline_vertices(mesh))
    assert all(b <= a for a, b in zip(counts, counts[1:])), dict(zip(TOLERANCES, counts))
    assert counts[-1] < counts[0] or counts[0] <= 4 * len(vellumcut.mesh_sprite(alpha, **options).parts)


def test_real_sprites_are_monotone_and_sound(real_sprites):
    for path in real_sprites[::40]:
        mask = mc.opaque_mask(str(path))
        counts = []
        for t in (0.5, 1, 2, 4, 8, 16):
            mesh = vellumcut.mesh_sprite(str(path), tolerance=t)
            mc.assert_sound(mesh, mask, t)
            counts.append(outline_vertices(mesh))
        assert all(b <= a for a, b in zip(counts, counts[1:])), (path, counts)


@pytest.mark.parametrize("name", ["islands", "curvy-holes", "star"])
def test_budget_is_for_the_whole_sprite_and_overdraw_falls_as_it_grows(name):
    alpha = FIGURES[name]
    mask = alpha > 0
    free = vellumcut.mesh_sprite(alpha)
    least = 3 * len(free.parts)
    budgets = sorted({least, least + 3, 24, 32, 48, 64, 96, outline_vertices(free)})
    overdraw = []
    for b in (b for b in budgets if b >= least):
        mesh = vellumcut.mesh_sprite(alpha, max_vertices=b)
        assert outline_vertices(mesh) <= b
        assert mc.check_coverage(mesh, mask) == [] and mc.check_validity(mesh) == []
        overdraw.append(mc.mesh_figures(mesh, mask)["overdraw"])
    assert all(later <= earlier + 1e-9 for earlier, later in zip(overdraw, overdraw[1:])), overdraw
    assert overdraw[-1] == pytest.approx(mc.mesh_figures(free, mask)["overdraw"])  # a budget it meets: no change


def test_budget_goes_where_it_buys_the_most():
    # A big smooth disc and a small one: the budget left after each keeps a
    # triangle is spent mostly on the big one, where a vertex saves more area.
    alpha = np.maximum(disk(300, 100, 120, 150), disk(300, 12, 260, 150))
    mesh = vellumcut.mesh_sprite(alpha, max_vertices=30)
    big, small = sorted(mesh.parts, key=lambda p: -len(p.vertices))
    assert len(big.vertices) + len(small.vertices) <= 30
    assert len(big.vertices) > 2 * len(small.vertices)


def test_a_budget_that_forces_overdraw_warns_and_names_a_better_one(write_png, tmp_path):
    path = write_png(np.dstack([np.full((200, 200, 3), 90, np.uint8), star(200, 7)]), "spiky.png")
    mesh = vellumcut.mesh_sprite(path, max_vertices=6)
    assert len(mesh.warnings) == 1
    text = mesh.warnings[0]
    assert text.startswith("spiky.png: max_vertices=6 forces ") and " % overdraw; a budget of " in text
    better = int(text.split("a budget of ")[1].split()[0])
    assert 6 < better <= outline_vertices(vellumcut.mesh_sprite(path))
    assert mc.mesh_figures(vellumcut.mesh_sprite(path, max_vertices=better), mc.opaque_mask(path))["overdraw"] < 0.10
    assert vellumcut.mesh_sprite(path, max_vertices=better).warnings == []
    # The command line prints it.
    from vellumcut.cli import main
    import contextlib
    import io
    err = io.StringIO()
    with contextlib.redirect_stderr(err):
        assert main(["mesh", path, "-o", str(tmp_path / "out"), "--max-vertices", "6"]) == 0
    assert "warning: spiky.png: max_vertices=6 forces" in err.getvalue()


@pytest.mark.parametrize("budget, least, islands", [(5, 6, 2), (2, 3, 1)], ids=["two-islands", "one-island"])
def test_a_budget_below_three_per_island_is_refused(budget, least, islands):
    alpha = np.zeros((40, 40), np.uint8)
    alpha[5:15, 5:15] = 255
    if islands == 2:
        alpha[25:35, 25:35] = 255
    start = f"max_vertices {'is ' + str(budget) if budget >= 3 else 'must be at least 3'}"
    with pytest.raises(ValueError, match=f"^{start}") as info:
        vellumcut.mesh_sprite(alpha, max_vertices=budget)
    if budget >= 3:
        assert f"needs at least {least} outline vertices (3 for each of its {islands} islands)" in str(info.value)


@pytest.mark.parametrize("interior", ["poisson", "quality"])
def test_auto_spacing_keeps_a_character_in_the_tens_to_hundreds(interior):
    counts = {}
    for size in (128, 512, 1024):
        alpha = cv2.resize(curvy_with_holes(), (size, size), interpolation=cv2.INTER_NEAREST)
        mesh = vellumcut.mesh_sprite(alpha, interior=interior, max_vertices=100, seed=1)
        counts[size] = mesh.vertex_count
        assert mesh.params["spacing"] == "auto"
    assert all(20 <= n <= 400 for n in counts.values()), counts
    assert counts[1024] < 2.5 * counts[128], counts
    explicit = vellumcut.mesh_sprite(alpha, interior=interior, max_vertices=100, seed=1, spacing=8)
    assert explicit.vertex_count > 3 * counts[1024]
