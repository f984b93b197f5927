"""Presets of mesh_sprite: their values, explicit options over them, and the
values recorded (JSON `parameters`, report, help) being those used."""
from __future__ import annotations

import io
import json

import numpy as np
import pytest

import vellumcut
from vellumcut import cli, presets, quality, sprite
from vellumcut_blender import meshing

SPRITE_DEFAULTS = cli.mesh_defaults()


def ring_alpha(size=64):
    """A ring with a 14 px hole and a 2 x 2 pinhole in its band."""
    yy, xx = np.mgrid[0:size, 0:size] - size / 2 + 0.5
    r = np.hypot(xx, yy)
    alpha = np.where((r < size / 2 - 2) & (r > 7), 255, 0).astype(np.uint8)
    alpha[8:10, 31:33] = 0
    return alpha


def run(argv):
    out, err = io.StringIO(), io.StringIO()
    rc = cli.main([str(a) for a in argv], stdout=out, stderr=err)
    return rc, out.getvalue(), err.getvalue()


@pytest.mark.parametrize("name, expected", [
    ("render", {"interior": "none", "tolerance": 0.75, "padding": 0.0, "max_vertices": None}),
    ("deform", {"interior": "quality", "spacing": "auto", "max_vertices": 100}),
    ("physics", {"interior": "none", "padding": 0.0, "max_vertices": 32,
                 "min_hole_area": presets.FILL_ALL_HOLES}),
], ids=["render", "deform", "physics"])
def test_each_preset_holds_its_values_and_names_only_mesher_options(name, expected):
    assert presets.preset_values(name) == expected
    assert set(expected) <= set(SPRITE_DEFAULTS)
    presets.preset_values(name)["interior"] = "changed"  # a copy: the preset stays as it is
    assert presets.PRESETS[name]["interior"] == expected["interior"]


@pytest.mark.parametrize("options, expected", [
    ({}, {"interior": "none", "padding": 0.0, "max_vertices": 32}),
    ({"max_vertices": 8}, {"max_vertices": 8}),
    ({"max_vertices": None}, {"max_vertices": None}),  # explicitly no cap: None is a value too
    ({"padding": 0.0, "interior": "poisson"}, {"padding": 0.0, "interior": "poisson"}),
], ids=["preset_only", "override", "override_with_none", "override_with_default_value"])
def test_explicit_options_win_over_the_preset(options, expected):
    resolved = presets.resolve("physics", options)
    for key, value in expected.items():
        assert resolved[key] == value
    assert resolved["min_hole_area"] == presets.FILL_ALL_HOLES


@pytest.mark.parametrize("bad", ["Render", "fast", 3], ids=["case", "unknown", "not_a_name"])
def test_an_unknown_preset_is_refused_naming_the_presets(bad):
    with pytest.raises(ValueError, match=r"preset must be one of 'render', 'deform', 'physics'"):
        vellumcut.mesh_sprite(ring_alpha(), preset=bad)


@pytest.mark.parametrize("name", ["render", "deform", "physics"])
def test_python_preset_equals_its_options_spelled_out(name):
    alpha = ring_alpha()
    by_name = vellumcut.mesh_sprite(alpha, preset=name)
    spelled = vellumcut.mesh_sprite(alpha, **presets.resolve(name, {}))
    assert [p.vertices.tolist() for p in by_name.parts] == [p.vertices.tolist() for p in spelled.parts]
    assert by_name.params == {"preset": name, **spelled.params}


def test_physics_fills_every_hole_and_keeps_to_its_budget():
    alpha = ring_alpha(96)
    plain = vellumcut.mesh_sprite(alpha)
    phys = vellumcut.mesh_sprite(alpha, preset="physics")
    assert sum(len(p.hole_rings) for p in plain.parts) == 1  # the pinhole is filled by default
    assert sum(len(p.hole_rings) for p in phys.parts) == 0
    assert phys.vertex_count <= 32 and plain.vertex_count > 32
    assert vellumcut.mesh_sprite(alpha, preset="physics", min_hole_area=16,
                                 max_vertices=None).parts[0].hole_rings


def interior_vertices(mesh):
    on_rings = sum(len(np.unique(np.concatenate(p.rings))) for p in mesh.parts)
    return mesh.vertex_count - on_rings


@pytest.mark.parametrize("size", [64, 256], ids=["small", "large"])
def test_deform_meshes_evenly_within_its_outline_budget_at_any_size(size):
    """The automatic spacing follows the sprite's size: a large sprite gets
    larger triangles, not a flood of vertices."""
    from vellumcut.meshes import min_angles

    alpha = np.kron(ring_alpha(64), np.ones((size // 64, size // 64), np.uint8))
    mesh = vellumcut.mesh_sprite(alpha, preset="deform")
    assert mesh.params["interior"] == "quality" and mesh.params["spacing"] == "auto"
    assert interior_vertices(mesh) > 0 and interior_vertices(vellumcut.mesh_sprite(alpha, preset="render")) == 0
    angles = min_angles(mesh.all_triangles())
    assert np.median(angles) >= 25.0
    assert 20 <= mesh.vertex_count <= 300


def test_the_signature_and_help_show_the_preset_keyword():
    import inspect

    params = inspect.signature(vellumcut.mesh_sprite).parameters
    assert params["preset"].default is None and params["preset"].kind is inspect.Parameter.KEYWORD_ONLY
    assert list(params)[2:] == list(inspect.signature(sprite.mesh_sprite).parameters)[1:]
    assert "`preset`" in vellumcut.mesh_sprite.__doc__


@pytest.mark.parametrize("argv, expected", [
    (["--preset", "physics"], {"preset": "physics", "interior": "none", "padding": 0.0,
                               "max_vertices": 32, "min_hole_area": presets.FILL_ALL_HOLES,
                               "tolerance": SPRITE_DEFAULTS["tolerance"]}),
    (["--preset", "physics", "--max-vertices", "12", "--min-hole-area", "16"],
     {"preset": "physics", "max_vertices": 12, "min_hole_area": 16}),
    (["--preset", "render", "--tolerance", "1"], {"preset": "render", "tolerance": 1.0}),
    (["--preset", "render", "--max-vertices", "none"], {"max_vertices": None}),
    (["--preset", "deform"], {"preset": "deform", "interior": "quality", "spacing": "auto",
                              "max_vertices": 100, "min_angle": SPRITE_DEFAULTS["min_angle"]}),
    (["--preset", "deform", "--spacing", "6"], {"preset": "deform", "spacing": 6.0}),
    (["--padding", "2"], {"padding": 2.0, "interior": "none", "max_vertices": None,
                          "tolerance": SPRITE_DEFAULTS["tolerance"]}),
], ids=["physics", "physics_overridden", "override_with_the_default_value", "override_with_none",
        "deform", "deform_spacing", "no_preset"])
def test_command_line_records_the_values_used(tmp_path, write_png, argv, expected):
    path = write_png(ring_alpha(), "ring.png")
    out = tmp_path / "out"
    rc, _, err = run(["mesh", path, "-o", out, "--preview", "--margin", "0", *argv])
    assert rc == 0, err
    params = json.loads((out / "ring.json").read_text())["parameters"]
    assert {k: params[k] for k in expected} == expected
    assert ("preset" in params) == ("--preset" in argv)
    assert set(params) - {"preset"} == set(SPRITE_DEFAULTS)  # every value used, not just the given
    shown = quality.settings_text(params)
    assert f"settings: {shown}\n" in (out / "ring.report.txt").read_text()
    assert f"mode mesh: {shown}</p>" in (out / "index.html").read_text()


def test_a_preset_and_its_options_spelled_out_mesh_alike_but_rerun(tmp_path, write_png):
    """Same values, so the same mesh; another key in the manifest, since the
    preset's values may change between releases."""
    path = write_png(ring_alpha(), "ring.png")
    out = tmp_path / "out"
    assert run(["mesh", path, "-o", out, "--preset", "render"])[0] == 0
    first = json.loads((out / "ring.json").read_text())["parts"]
    rc, _, err = run(["mesh", path, "-o", out, "--tolerance", "0.75"])
    assert rc == 0 and "1 unchanged" not in err
    assert json.loads((out / "ring.json").read_text())["parts"] == first


@pytest.mark.parametrize("argv, needle", [
    (["--preset", "fast"], "argument --preset: invalid choice: 'fast'"),
    (["--preset", "physics", "--max-vertices", "2"], "argument --max-vertices: must be at least 3"),
    (["--spacing", "wide"], "expected a number or auto, got 'wide'"),
], ids=["unknown", "bad_override", "bad_spacing"])
def test_bad_preset_or_override_is_a_usage_error(tmp_path, write_png, capsys, argv, needle):
    path = write_png(ring_alpha(), "ring.png")
    try:
        rc, _, err = run(["mesh", path, "-o", tmp_path / "out", *argv])
    except SystemExit as exc:  # argparse's own refusals
        rc, err = exc.code, capsys.readouterr().err
    assert rc == 2 and needle in err
    assert not (tmp_path / "out" / "ring.json").exists()


def test_mesh_help_lists_presets_with_their_values_and_the_alpha_guidance(capsys):
    with pytest.raises(SystemExit, match="^0$"):
        cli.main(["mesh", "--help"])
    text = " ".join(capsys.readouterr().out.split()).replace("- ", "-")  # words wrapped at hyphens
    for name in presets.PRESETS:
        assert f"{name} ({presets.PRESET_HELP[name]}): {presets.describe(name)}" in text
    assert "max-vertices 32" in presets.describe("physics") and "min-hole-area all" in text
    assert f"(default: {SPRITE_DEFAULTS['tolerance']})" in text
    for needle in ("0 keeps every visible pixel", "128 drops", "16,689"):
        assert needle in text


@pytest.mark.parametrize("options, expected, absent", [
    ({}, {"max_vertices": None, "interior": "none"}, {"preset", "spacing"}),
    ({"preset": "DEFORM", "interior": "QUALITY", "max_vertices": 100}, {"preset": "deform"}, {"spacing"}),
    ({"preset": "deform", "spacing": 12}, {"preset": "deform", "spacing": 12.0}, set()),
    ({"preset": "physics", "max_vertices": 0}, {"preset": "physics", "max_vertices": None}, set()),
], ids=["no_preset", "deform_keeps_its_spacing", "spacing_set", "no_cap_overrides"])
def test_blender_add_on_passes_its_preset_and_the_options_it_sets(options, expected, absent):
    kwargs = meshing.mesher_options(options)
    assert {k: kwargs.get(k) for k in expected} == expected
    assert not absent & set(kwargs)


def test_blender_add_on_request_with_a_preset_meshes_with_its_values(tmp_path, write_png):
    path = write_png(ring_alpha(96), "ring.png")
    result = meshing.run_request({"protocol": meshing.PROTOCOL, "image": path,
                                  "options": {"preset": "physics", "interior": "none",
                                              "max_vertices": 32, "padding": 0.0}})
    assert "error" not in result, result
    assert result["counts"]["vertices"] <= 32
    direct = vellumcut.mesh_sprite(path, preset="physics", seed=0)
    assert result["counts"]["vertices"] == direct.vertex_count


def test_a_preset_budget_grows_to_three_per_island_but_an_explicit_one_is_refused():
    alpha = np.zeros((60, 200), np.uint8)
    alpha[10:50:12, 5:195:9] = 255  # 4 x 22 single-pixel islands: 88, needing 264 vertices
    mesh = vellumcut.mesh_sprite(alpha, preset="physics")
    assert sum(len(r) for p in mesh.parts for r in p.rings) <= 264
    assert mesh.warnings[0] == "sprite: max_vertices=32 is below the 3 per island this sprite needs; used 264"
    with pytest.raises(ValueError, match="max_vertices is 32, but this sprite needs at least 264 "):
        vellumcut.mesh_sprite(alpha, preset="physics", max_vertices=32)
