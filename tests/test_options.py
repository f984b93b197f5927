"""The sprite mesher's options are defined once, in C++ (src/sprite_mesh/
options.hpp): `vellumcut._mesher` gives their defaults, limits and checks,
and `mesh_sprite`, the command line and the presets use them. (The add-on's
side is in tests/test_blender_addon.py.)"""
from __future__ import annotations

import json
import math
from fractions import Fraction
from pathlib import Path

import numpy as np
import pytest

import vellumcut
from cli_run import run_cli
from vellumcut import _mesher, cli, presets
from vellumcut.errors import OptionError

SQUARE = np.full((6, 6), 255, np.uint8)
LIMITS = _mesher.limits()
NUMERIC = [n for n, rule in LIMITS.items() if "min" in rule]


def _past(value, integer: bool, direction: int):
    """The nearest value beyond a bound: one for integers, a hair for reals."""
    return value + direction if integer else math.nextafter(value, direction * math.inf)


def _integer(name: str) -> bool:
    return isinstance(LIMITS[name]["min"], int)


@pytest.mark.parametrize("name", NUMERIC)
def test_each_bound_is_accepted_and_the_value_past_it_refused_with_the_rule(name):
    rule = LIMITS[name]
    base = {"padding": 0.0} if name == "tolerance" else {}
    below = _past(rule["min"], _integer(name), -1)
    if not rule["min_exclusive"]:
        assert _mesher.validate(**base, **{name: rule["min"]})[name] == rule["min"]
    else:
        below = rule["min"]
    with pytest.raises(OptionError) as info:
        _mesher.validate(**base, **{name: below})
    assert (info.value.option, info.value.requirement, info.value.value) == (name, rule["requirement"], below)
    if rule["max"] is not None:
        assert _mesher.validate(**{name: rule["max"]})[name] == rule["max"]
        with pytest.raises(OptionError, match=f"^{name} must be"):
            _mesher.validate(**{name: _past(rule["max"], _integer(name), 1)})


@pytest.mark.parametrize("kwargs, message", [
    ({"spacing": 0}, "spacing must be a finite number >= 1 (px), or 'auto' to size it per island, got 0"),
    ({"spacing": "dense"}, "spacing must be a finite number >= 1 (px), or 'auto' to size it per island, got 'dense'"),
    ({"max_vertices": 0}, "max_vertices must be at least 3 (or none for no cap), got 0"),
    ({"max_vertices": 2**63}, f"max_vertices must be at most {2**63 - 1}, got {2**63}"),
    ({"seed": 2**64}, f"seed must be within 0 .. 2**64 - 1, got {2**64}"),
    ({"margin": 2**31}, f"margin must be within -2**31 .. 2**31 - 1, got {2**31}"),
    ({"tolerance": 10**400}, "tolerance must be at most 1000 px, got " + str(10**400)),
    ({"min_angle": math.nan}, "min_angle must be above 0 and at most 34 degrees (Triangle's refinement stops "
                              "converging above that), got nan"),
    ({"interior": 3}, "interior must be 'none', 'poisson' or 'quality', got 3"),
    ({"padding": 1, "tolerance": 0.1}, "tolerance must be at least 0.2 px when padding is above 0"),
], ids=["spacing-zero", "spacing-word", "budget-zero", "budget-beyond-64-bits", "seed-beyond-64-bits",
        "margin-beyond-32-bits", "tolerance-beyond-double", "angle-nan", "interior-number", "padded-tolerance"])
def test_mesh_sprite_and_validate_refuse_alike_without_reading_an_image(kwargs, message):
    for call in (lambda: _mesher.validate(**kwargs), lambda: vellumcut.mesh_sprite("no/such/file.png", **kwargs)):
        with pytest.raises(OptionError) as info:
            call()
        assert str(info.value).startswith(message) and info.value.option in kwargs


@pytest.mark.parametrize("kwargs, message", [
    ({"tolerance": "1"}, "tolerance must be a number, got str"),
    ({"alpha_threshold": 1.5}, "alpha_threshold must be an integer, got float"),
    ({"max_vertices": True}, "max_vertices must be an integer, got bool"),
    ({"seed": np.float64(3)}, "seed must be an integer, got float64"),
    ({"colour": 1}, "unknown option 'colour'"),
], ids=["text-for-a-number", "float-for-an-integer", "bool-for-an-integer", "numpy-float-seed", "unknown"])
def test_a_value_of_the_wrong_type_is_a_type_error_naming_the_option(kwargs, message):
    with pytest.raises(TypeError, match=f"^{message}$"):
        _mesher.validate(**kwargs)


def test_numbers_of_other_types_are_read_as_their_value():
    got = _mesher.validate(tolerance=np.float32(2.5), padding=Fraction(1, 2), max_vertices=np.int16(40),
                           seed=np.uint64(2**64 - 1), spacing=np.int64(6), strict_budget=0)
    assert (got["tolerance"], got["padding"], got["max_vertices"], got["seed"], got["spacing"],
            got["strict_budget"]) == (2.5, 0.5, 40, 2**64 - 1, 6.0, False)
    assert got["interior"] == "none" and got["min_angle"] == _mesher.defaults()["min_angle"]


def test_the_recorded_parameters_are_the_mesher_spelling_of_what_was_used():
    mesh = vellumcut.mesh_sprite(SQUARE, max_vertices=np.int64(8), spacing=None, seed=np.uint8(4))
    assert mesh.params == {**_mesher.defaults(), "max_vertices": 8, "seed": 4}
    assert json.loads(json.dumps(mesh.params)) == mesh.params


@pytest.mark.parametrize("name", list(presets.PRESETS))
def test_every_preset_passes_the_mesher_rules(name):
    values = presets.preset_values(name)
    assert _mesher.validate(**values).items() >= {k: v for k, v in values.items() if k != "spacing"}.items()


# --- the command line -------------------------------------------------------------------

@pytest.mark.parametrize("flag, value, requirement", [
    ("--spacing", "0", "must be a finite number >= 1 (px), or 'auto' to size it per island, got 0.0"),
    ("--seed", "-1", "must be within 0 .. 2**64 - 1, got -1"),
    ("--margin", str(2**31), "must be within -2**31 .. 2**31 - 1, got 2147483648"),
    ("--min-island-area", "0", "must be at least 1, got 0"),
], ids=["spacing-zero", "negative-seed", "margin", "island-area"])
def test_the_command_line_names_the_flag_in_the_mesher_words(tmp_path, flag, value, requirement):
    proc = run_cli("mesh", tmp_path / "absent.png", "-o", tmp_path / "out", flag, value)
    assert proc.returncode == 2
    assert proc.stderr == f"vellumcut: error: argument {flag}: {requirement}\n"


def test_the_command_line_checks_options_without_meshing(monkeypatch):
    def refuse(*args, **kwargs):
        raise AssertionError("the options were checked by meshing an image")

    monkeypatch.setattr(_mesher, "mesh", refuse)
    args, _, dests = cli.parse_args(["mesh", "in.png", "--max-vertices", "9"])
    assert cli.COMMANDS["mesh"].params(args, dests["mesh"])["max_vertices"] == 9


def test_mesh_on_the_command_line_has_mesh_sprite_coordinates_and_the_core_keeps_its_margin(tmp_path, write_png):
    alpha = np.zeros((12, 16), np.uint8)
    alpha[3:9, 4:12] = 255
    path = write_png(alpha)
    assert run_cli("mesh", path, "-o", tmp_path / "m").returncode == 0
    data = json.loads((tmp_path / "m" / (Path(path).stem + ".json")).read_text())
    direct = vellumcut.mesh_sprite(path)
    assert data["parameters"]["margin"] == direct.margin == _mesher.defaults()["margin"]
    assert [p["vertices"] for p in data["parts"]] == [p.vertices.tolist() for p in direct.parts]
    for mode in ("outline", "earcut", "poisson"):
        args, _, dests = cli.parse_args([mode, path])
        assert args.margin == vellumcut.MARGIN  # the core's contract default
