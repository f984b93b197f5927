"""The `vellumcut` command line: batches, failures, outputs, options."""
from __future__ import annotations

import io
import json
import multiprocessing
import os
import subprocess
import sys
from pathlib import Path

import cv2
import numpy as np
import pytest

import vellumcut_core as vc
from vellumcut import cli, inputs


def block_alpha(h=30, w=40, box=(5, 25, 8, 30)):
    alpha = np.zeros((h, w), np.uint8)
    r0, r1, c0, c1 = box
    alpha[r0:r1, c0:c1] = 255
    return alpha


def written(folder):
    """Output files under `folder`, relative, without the manifest."""
    return sorted(p.relative_to(folder).as_posix() for p in Path(folder).rglob("*")
                  if p.is_file() and not p.name.startswith("."))


NOT_RGBA = ("not an image with an alpha channel: it is a PNG image of 10 x 10 pixels in mode RGB, "
            "without transparency; save it as a PNG (or WebP, TIFF) with transparency, 8 bits per "
            "channel (RGBA PNG を指定してください)")


def run(argv, capsys=None):
    out, err = io.StringIO(), io.StringIO()
    rc = cli.main([str(a) for a in argv], stdout=out, stderr=err)
    return rc, out.getvalue(), err.getvalue()


@pytest.fixture
def batch(tmp_path, write_png):
    src = tmp_path / "in"
    src.mkdir()
    cv2.imwrite(str(src / "a.png"), cv2.cvtColor(block_alpha(), cv2.COLOR_GRAY2BGRA))
    for name, alpha in (("a.png", block_alpha()), ("c.png", block_alpha(box=(2, 20, 3, 12)))):
        img = np.zeros(alpha.shape + (4,), np.uint8)
        img[..., 3] = alpha
        cv2.imwrite(str(src / name), img)
    cv2.imwrite(str(src / "b.png"), np.full((10, 10, 3), 200, np.uint8))  # no alpha channel
    return src


@pytest.mark.parametrize("jobs", [1, 2], ids=["serial", "pool"])
def test_batch_with_one_bad_file_goes_on_and_fails(batch, tmp_path, jobs):
    out = tmp_path / "out"
    rc, stdout, stderr = run(["outline", batch, "-o", out, "--jobs", jobs])
    assert rc == 1
    assert written(out) == ["a.json", "c.json"]
    for name in ("a", "c"):
        doc = json.loads((out / f"{name}.json").read_text())
        assert doc["counts"]["parts"] == 1 and len(doc["parts"][0]["vertices"]) == 4
    bad = [line for line in stderr.splitlines() if line.startswith("error:")]
    assert bad == [f"error: {batch / 'b.png'}: {NOT_RGBA}"]
    assert "2 of 3 file(s) done, 1 failed" in stderr


def test_all_good_exits_zero_and_missing_inputs_fail(batch, tmp_path):
    good = [batch / "a.png", batch / "c.png"]
    rc, stdout, _ = run(["outline", *good, "-o", tmp_path / "o"])
    assert rc == 0 and stdout.count(" -> ") == 2
    rc, _, stderr = run(["outline", *good, tmp_path / "nope.png", str(tmp_path / "*.webp"),
                         "-o", tmp_path / "o2"])
    assert rc == 1
    assert "nope.png: no such file or folder" in stderr
    assert "*.webp: the pattern matches no file" in stderr
    assert "2 of 4 file(s) done, 2 failed" in stderr
    assert len(written(tmp_path / "o2")) == 2


def test_inputs_from_folders_and_globs_once_each(tmp_path, batch):
    sub = batch / "more"
    sub.mkdir()
    (sub / "a.png").write_bytes((batch / "a.png").read_bytes())
    (batch / "notes.txt").write_text("not an image")
    found = inputs.expand([str(batch), str(batch / "**" / "*.png"), str(batch / "a.png")])
    assert not found.failures and not found.warnings
    names = [os.path.relpath(i.path, batch) for i in found.inputs]
    assert names == ["a.png", "b.png", "c.png", os.path.join("more", "a.png")]
    # The glob's root is the folder before its wildcard, so the tree is mirrored.
    assert [i.rel for i in found.inputs] == ["a", "b", "c", "more/a"]


@pytest.mark.parametrize("mode", ["outline", "earcut", "poisson"])
def test_uvs_with_margin_through_the_command_line(tmp_path, write_png, mode):
    # Image columns 8..29, rows 5..24 of a 40 x 30 image.
    path = write_png(block_alpha())
    rc, _, _ = run([mode, path, "-o", tmp_path / "o", "--margin", 6, "--eps", 1])
    assert rc == 0
    doc = json.loads((tmp_path / "o" / (Path(path).stem + ".json")).read_text())
    assert doc["image"] == {"width": 40, "height": 30}
    assert doc["mask"]["width"] == 52 and doc["mask"]["border"] == 6
    assert doc["parameters"]["margin"] == 6 and doc["parameters"]["eps"] == 1.0
    verts = np.concatenate([p["vertices"] for p in doc["parts"]])
    uvs = np.concatenate([p["uvs"] for p in doc["parts"]])
    assert verts[:, 0].min() == 8 + 6 and verts[:, 1].max() == 24 + 6
    np.testing.assert_allclose(uvs, (verts - 6 + 0.5) / [40, 30])
    outline_uv = uvs[doc["parts"][0]["outlines"][0]]
    assert outline_uv[:, 0].min() == pytest.approx(8.5 / 40)
    assert outline_uv[:, 0].max() == pytest.approx(29.5 / 40)
    assert outline_uv[:, 1].min() == pytest.approx(5.5 / 30)


@pytest.mark.parametrize("fmt, suffix", [("json", ".json"), ("obj", ".obj"), ("godot", ".tscn")])
@pytest.mark.parametrize("mode", ["earcut", "poisson"])
def test_mesh_commands_write_format_and_previews(tmp_path, write_png, mode, fmt, suffix):
    path = write_png(block_alpha(), "sprite.png")
    out = tmp_path / "o"
    rc, _, stderr = run([mode, path, "-o", out, "--format", fmt, "--preview"])
    assert rc == 0, stderr
    names = written(out)
    assert names == sorted(["sprite" + suffix, "sprite.preview.svg", "sprite.preview.png",
                            "sprite.report.txt", "index.html"] + (["sprite.mtl"] if fmt == "obj" else []))
    report = (out / "sprite.report.txt").read_text()
    n_tris = int(report.split(" triangles")[0].rsplit(" ", 1)[1])
    assert n_tris > 0
    text = (out / ("sprite" + suffix)).read_text()
    if fmt == "json":
        assert json.loads(text)["counts"]["triangles"] == n_tris
    elif fmt == "obj":
        assert sum(line.startswith("f ") for line in text.splitlines()) == n_tris
    else:
        assert text.count("PackedInt32Array(") == n_tris
    assert "opaque pixels covered: " in report


def test_parameters_reach_the_core(tmp_path, write_png, monkeypatch):
    seen = {}

    def spy(name):
        real = getattr(vc, name)

        def f(path, eps, margin, last):
            seen[name] = (eps, margin, last)
            return real(path, eps, margin, last)
        return f

    for name in ("triangulate_png", "poisson_png"):
        monkeypatch.setattr(vc, name, spy(name))
    path = write_png(block_alpha())
    assert run(["earcut", path, "-o", tmp_path, "--eps", 2.5, "--margin", 0, "--max-area", 7])[0] == 0
    assert run(["poisson", path, "-o", tmp_path, "--rpx", 5])[0] == 0
    assert seen == {"triangulate_png": (2.5, 0, 7.0), "poisson_png": (1.5, 4, 5)}
    assert isinstance(seen["poisson_png"][2], int) and isinstance(seen["poisson_png"][1], int)


def test_progress_bar_only_when_asked_or_on_a_terminal(batch, tmp_path):
    files = [batch / "a.png", batch / "c.png"]
    _, _, quiet = run(["outline", *files, "-o", tmp_path / "p1"])
    assert "[" not in quiet and "\r" not in quiet
    _, _, shown = run(["outline", *files, "-o", tmp_path / "p2", "--progress"])
    assert "\r[" in shown and "2/2" in shown and "#" * 28 in shown


@pytest.mark.parametrize("argv", [["earcut", "--jobs", "0", "x.png"], ["smooth", "x.png"],
                                  ["poisson", "x.png", "--format", "fbx"], ["outline"]],
                         ids=["jobs0", "unknown_command", "unknown_format", "no_input"])
def test_usage_errors_exit_2(argv, capsys):
    with pytest.raises(SystemExit, match="^2$"):
        cli.main(argv)


def test_help_lists_commands_defaults_and_examples(capsys):
    with pytest.raises(SystemExit, match="^0$"):
        cli.main(["poisson", "--help"])
    text = " ".join(capsys.readouterr().out.split())
    for needle in ("--rpx", "(default: 10)", "--eps", "(default: 1.5)", "--jobs", "examples:",
                   "vellumcut mesh art/ -r", "--dask ADDRESS", "--allow-empty", "--force"):
        assert needle in text


def test_console_entry_points_in_a_subprocess(batch, tmp_path):
    env = dict(os.environ, PYTHONIOENCODING="utf-8")
    proc = subprocess.run([sys.executable, "-m", "vellumcut", "outline", str(batch),
                           "-o", str(tmp_path / "o"), "--format", "obj"],
                          capture_output=True, text=True, encoding="utf-8", env=env, timeout=60)
    assert proc.returncode == 1
    assert f"b.png: {NOT_RGBA}" in proc.stderr and "Traceback" not in proc.stderr
    assert written(tmp_path / "o") == ["a.mtl", "a.obj", "c.mtl", "c.obj"]
    script = Path(sys.executable).with_name("vellumcut")
    proc = subprocess.run([str(script), "--version"], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0 and proc.stdout.startswith("vellumcut ")


def test_a_worker_that_dies_fails_only_its_file(batch, tmp_path, monkeypatch):
    """The native mesher may end its process on a fatal error; with --jobs the
    batch must survive that and name the file."""
    if multiprocessing.get_start_method() != "fork":
        pytest.skip("the stand-in reaches worker processes only when they are forked")

    real = vc.triangulate_png

    def dying(path, eps, margin, maxA):
        if Path(path).name == "c.png":
            os._exit(1)
        return real(path, eps, margin, maxA)

    monkeypatch.setattr(vc, "triangulate_png", dying)
    (batch / "b.png").unlink()
    (batch / "d.png").write_bytes((batch / "a.png").read_bytes())
    rc, _, stderr = run(["earcut", batch, "-o", tmp_path / "o", "--jobs", 2])
    assert rc == 1
    assert f"error: {batch / 'c.png'}: the worker process ended unexpectedly" in stderr
    assert written(tmp_path / "o") == ["a.json", "d.json"]


def test_a_registered_command_format_and_export_option_reach_the_writer(tmp_path, write_png,
                                                                       monkeypatch):
    """What other meshers and exporters plug into: a subcommand with its own
    option, a format whose writer takes an export option."""
    import vellumcut
    from vellumcut import export

    seen = {}

    def mesher(path, eps, margin, depth):
        seen["depth"] = depth
        return vellumcut.earcut(path, eps=eps, margin=margin)

    def writer(mesh, path, scale=None, **_):
        seen["scale"] = scale
        Path(path).write_text(f"{mesh.triangle_count} triangles at {scale}\n")

    monkeypatch.setitem(vellumcut.MESHERS, "deep", mesher)
    monkeypatch.setitem(cli.COMMANDS, "deep", cli.Command(
        "deep", "a test mesher", "A test mesher.",
        [cli.EPS_OPTION, cli.MARGIN_OPTION,
         cli.Option(("--depth",), dict(type=cli.number(int, 1), default=2))]))
    monkeypatch.setitem(export.FORMATS, "txt", export.Format("txt", ".mesh.txt", writer, "text",
                                                             options=("scale",)))
    monkeypatch.setattr(cli, "EXPORT_OPTIONS", [cli.Option(("--scale",), dict(type=float, default=1.0))])
    path = write_png(block_alpha(), "s.png")
    rc, _, err = run(["deep", path, "-o", tmp_path / "o", "--format", "txt", "--depth", 5,
                      "--scale", 0.5])
    assert rc == 0, err
    assert seen == {"depth": 5, "scale": 0.5}
    assert (tmp_path / "o" / "s.mesh.txt").read_text().endswith("triangles at 0.5\n")
    with pytest.raises(SystemExit, match="^2$"):
        cli.main(["deep", path, "--depth", "0"])
