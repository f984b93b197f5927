"""`vellumcut mesh` on the command line, run in this process
(tests/cli_run.py); tests/test_reports.py runs it once through the installed
console script."""
from __future__ import annotations

import json
import os

import numpy as np
import pytest

import mesh_checks as mc
from cli_run import run_cli as vellumcut
from vellumcut import export


@pytest.fixture
def folder(tmp_path, write_png):
    art = tmp_path / "art"
    art.mkdir()
    yy, xx = np.mgrid[0:48, 0:64]
    blob = np.where((xx - 30) ** 2 / 400 + (yy - 24) ** 2 / 200 <= 1, 255, 0).astype(np.uint8)
    blob[20:26, 25:35] = 0
    ramp = np.clip(255 - 6 * np.hypot(xx - 32, yy - 24), 0, 255).astype(np.uint8)
    for name, alpha in (("blob", blob), ("glow", ramp)):
        os.replace(write_png(alpha), art / f"{name}.png")
    return art


@pytest.mark.parametrize("fmt", list(export.FORMATS))
def test_every_format_and_preview_for_a_folder(tmp_path, folder, fmt):
    out = tmp_path / "out"
    proc = vellumcut("mesh", str(folder), "-o", str(out), "-f", fmt, "--preview", "--padding", "1",
                     "--interior", "quality", "--spacing", "6", "--alpha-threshold", "100", "--margin", "2")
    assert proc.returncode == 0, proc.stderr
    for name in ("blob", "glow"):
        for suffix in (export.FORMATS[fmt].suffix, ".preview.svg", ".preview.png", ".report.txt"):
            assert (out / (name + suffix)).stat().st_size > 0
    assert "mode mesh" in (out / "blob.report.txt").read_text()


def test_json_holds_the_mesh_of_mesh_sprite(tmp_path, folder):
    out = tmp_path / "out"
    proc = vellumcut("mesh", str(folder / "blob.png"), "-o", str(out), "--tolerance", "0.5",
                     "--margin", "0", "--max-vertices", "40")
    assert proc.returncode == 0, proc.stderr
    data = json.loads((out / "blob.json").read_text())
    import vellumcut as vc

    direct = vc.mesh_sprite(str(folder / "blob.png"), tolerance=0.5, max_vertices=40)
    assert data["mode"] == "mesh" and data["parameters"]["max_vertices"] == 40
    assert data["parts"] == json.loads(json.dumps(export.to_json_dict(direct)["parts"]))
    assert max(len(p["vertices"]) for p in data["parts"]) <= 40
    assert mc.check_coverage(direct, mc.opaque_mask(str(folder / "blob.png"))) == []


@pytest.mark.parametrize("option,value,requirement", [
    ("--tolerance", "-1", "must be a finite number >= 0, got -1.0"),
    ("--max-vertices", "2", "must be at least 3 (or none for no cap), got 2"),
    ("--min-angle", "40", "must be above 0 and at most 34 degrees"),
    ("--alpha-threshold", "300", "must be within 0..254, got 300"),
])
def test_bad_options_exit_2_naming_the_flag(folder, tmp_path, option, value, requirement):
    import io

    from vellumcut.cli import main

    err = io.StringIO()
    assert main(["mesh", str(folder), "-o", str(tmp_path / "o"), option, value], io.StringIO(), err) == 2
    assert err.getvalue().startswith(f"vellumcut: error: argument {option}: {requirement}")
    assert not (tmp_path / "o" / "blob.json").exists()


def test_unreadable_file_fails_alone(folder, tmp_path):
    (folder / "broken.png").write_bytes(b"\x89PNG\r\n\x1a\nnot really")
    proc = vellumcut("mesh", str(folder), "-o", str(tmp_path / "o"))
    assert proc.returncode == 1
    assert "broken.png" in proc.stderr and "cannot read image" in proc.stderr
    assert (tmp_path / "o" / "blob.json").exists() and (tmp_path / "o" / "glow.json").exists()
