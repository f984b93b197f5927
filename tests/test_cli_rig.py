"""`vellumcut rig`: one run of the console script on a small batch with
previews, the rest in-process through `vellumcut.cli.main`."""
from __future__ import annotations

import contextlib
import io
import json
import os
import re
import subprocess
import sys

import cv2
import numpy as np
import pytest

import rig_shapes as shapes
from vellumcut import cli, export

SCRIPT = os.path.join(os.path.dirname(sys.executable), "vellumcut")


@pytest.fixture(scope="module")
def art(tmp_path_factory):
    folder = tmp_path_factory.mktemp("art")
    cv2.imwrite(str(folder / "stick.png"), shapes.rgba(shapes.stick_figure()[0]))
    cv2.imwrite(str(folder / "fork.png"), shapes.rgba(shapes.tuning_fork()[0]))
    return folder


def run(*argv):
    out, err = io.StringIO(), io.StringIO()
    try:
        with contextlib.redirect_stderr(err):  # argparse writes its usage errors there
            code = cli.main([str(a) for a in argv], out, err)
    except SystemExit as exc:
        code = exc.code
    return code, out.getvalue(), err.getvalue()


def test_console_script_rigs_a_batch_with_previews_and_takes_its_skeleton_back(art, tmp_path):
    out = tmp_path / "out"
    proc = subprocess.run([SCRIPT, "rig", str(art), "-o", str(out), "--preview", "--jobs", "2",
                           "--spacing", "30"], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    for name in ("stick", "fork"):
        doc = json.loads((out / f"{name}.json").read_text())
        bones = doc["skeleton"]["bones"]
        report = (out / f"{name}.report.txt").read_text()
        assert f"skeleton: auto, {len(bones)} bone(s)" in report
        assert re.search(r"influences per vertex: mean \d\.\d\d, max [1-4]", report)
        svg = (out / f"{name}.preview.svg").read_text()
        drawn = re.findall(r'<line [^>]*data-bone="([^"]+)"', svg)
        assert drawn == [b["name"] for b in bones]
        tints = re.search(r'<g id="influences"[^>]*>(.*?)</g>', svg, re.S)[1]
        assert tints.count("<circle") == sum(len(p["vertices"]) for p in doc["parts"])
        assert (out / f"{name}.preview.png").stat().st_size > 0
    # The suggestion, fed back, gives the same bones; other formats follow.
    again = tmp_path / "again"
    proc = subprocess.run([SCRIPT, "rig", str(art / "stick.png"), "-o", str(again), "--spacing", "30",
                           "--skeleton", str(out / "stick.json"), "-f", "spine"],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    spine = json.loads((again / "stick.spine.json").read_text())
    first = json.loads((out / "stick.json").read_text())["skeleton"]["bones"]
    assert [b["name"] for b in spine["bones"]] == [b["name"] for b in first]


@pytest.mark.parametrize("fmt", ["json", "gltf", "spine", "godot"])
def test_every_rig_format(art, tmp_path, fmt):
    code, _, err = run("rig", art / "fork.png", "-o", tmp_path, "-f", fmt, "--spacing", "30", "-q")
    assert code == 0, err
    assert (tmp_path / ("fork" + export.FORMATS[fmt].suffix)).stat().st_size > 0


def test_bone_and_influence_caps_reach_the_file(art, tmp_path):
    code, _, err = run("rig", art / "stick.png", "-o", tmp_path, "--max-bones", "3",
                       "--max-influences", "2", "--spacing", "30", "-q")
    assert code == 0, err
    doc = json.loads((tmp_path / "stick.json").read_text())
    assert len(doc["skeleton"]["bones"]) == 3 and doc["parameters"]["max_bones"] == 3
    assert max(len(v) for p in doc["parts"] for v in p["weights"]) == 2


def test_an_edited_skeleton_file_redoes_the_batch(art, tmp_path):
    bones = tmp_path / "bones.json"
    doc = {"bones": [{"name": "hip", "parent": None, "head": [60, 115], "tail": [60, 60]},
                     {"name": "left", "parent": "hip", "head": [43, 100], "tail": [43, 20]}]}
    bones.write_text(json.dumps(doc))
    argv = ("rig", art / "fork.png", "-o", tmp_path / "o", "--skeleton", bones, "--spacing", "30")
    assert run(*argv)[0] == 0
    assert "unchanged, skipped" in run(*argv)[2]
    doc["bones"][1]["name"] = "prong"
    bones.write_text(json.dumps(doc))
    code, _, err = run(*argv)
    assert code == 0 and "skipped" not in err
    got = json.loads((tmp_path / "o" / "fork.json").read_text())["skeleton"]["bones"]
    assert [b["name"] for b in got] == ["hip", "prong"]


@pytest.mark.parametrize("argv, needle", [
    (["-f", "obj"], "--format obj carries no skeleton; vellumcut rig writes json, gltf, spine, godot"),
    (["--max-bones", "0"], "--max-bones: must be at least 1"),
    (["--max-influences", "x"], "--max-influences: expected a whole number"),
    (["--skeleton", "BAD"], "--skeleton: BAD: bone 'arm': field \"tail\" must be [x, y]"),
    (["--skeleton", "MISSING"], "--skeleton: skeleton file MISSING: cannot be read"),
], ids=["obj", "no-bones", "influences-text", "bad-bone", "missing-file"])
def test_usage_errors(art, tmp_path, argv, needle):
    bad = tmp_path / "bad.json"
    bad.write_text(json.dumps({"bones": [{"name": "arm", "parent": None, "head": [0, 0], "tail": [1]}]}))
    argv = [str(bad) if a == "BAD" else str(tmp_path / "missing.json") if a == "MISSING" else a for a in argv]
    needle = needle.replace("BAD", str(bad)).replace("MISSING", str(tmp_path / "missing.json"))
    code, out, err = run("rig", art / "fork.png", "-o", tmp_path / "o", *argv)
    assert code == 2 and needle in err, err
    assert "Traceback" not in err and not (tmp_path / "o" / "fork.json").exists()
