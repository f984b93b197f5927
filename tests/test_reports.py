"""What a user is told about a file a mode refused or found empty: each mode
explains its own refusals from the loader's structured reasons (kind and
numbers), never from message text. In-process through `vellumcut.cli.main`,
plus one real console-script run over the same files."""
from __future__ import annotations

import io
import os
import pickle
import subprocess
import sys
from pathlib import Path

import cv2
import numpy as np
import pytest

import hostile_files
import vellumcut
from vellumcut import image, modes, quality
from vellumcut.cli import main
from vellumcut.errors import ImageRefused, OptionError


def run(*argv):
    out, err = io.StringIO(), io.StringIO()
    rc = main([str(a) for a in argv], out, err)
    return rc, out.getvalue(), err.getvalue()


def sprite_alpha():
    a = np.zeros((16, 16), np.uint8)
    a[2:14, 3:15] = 200
    a[4:8, 4:8] = 30  # counts as opaque only below alpha_threshold 30
    return a


# name -> (bytes or image writer, what `vellumcut mesh` must say)
def write_bad_files(folder: Path) -> dict[str, str]:
    folder.mkdir(exist_ok=True)
    (folder / "notes.png").write_text("these are notes, not pixels")
    cv2.imwrite(str(folder / "clear.png"), np.zeros((8, 8, 4), np.uint8))
    cv2.imwrite(str(folder / "photo.jpg"), np.full((16, 16, 3), 90, np.uint8))
    (folder / "atlas.png").write_bytes(hostile_files.png(8192, 8192))
    return {
        "notes.png": "error: {p}: cannot read image: it is not an image file, or a damaged one; ",
        "clear.png": "warning: {p}: empty mesh: no opaque pixel: every pixel is fully transparent, so "
                     "there is nothing to mesh",
        "photo.jpg": "error: {p}: cannot read image: it is a JPEG file, a format without transparency; "
                     "save the sprite as a PNG",
        "atlas.png": "error: {p}: image too large: 8192 x 8192 pixels is over the limit of 16,777,216 "
                     "pixels (4096 x 4096); split the atlas or scale it down",
    }


@pytest.mark.parametrize("name", ["notes.png", "clear.png", "photo.jpg", "atlas.png"])
def test_mesh_names_the_real_cause_of_a_refused_file(tmp_path, name):
    expected = write_bad_files(tmp_path / "in")[name]
    path = tmp_path / "in" / name
    rc, _, err = run("mesh", path, "-o", tmp_path / "out")
    assert rc == 1
    (line,) = [ln for ln in err.splitlines() if ln.startswith(("error:", "warning:"))]
    assert line.startswith(expected.format(p=path)), line
    for wrong in ("unexpected", "OpenCV", "area floor", "RuntimeError"):
        assert wrong not in line


def test_the_console_script_reports_each_refused_file(tmp_path):
    expected = write_bad_files(tmp_path / "in")
    script = Path(sys.executable).with_name("vellumcut")
    proc = subprocess.run([str(script), "mesh", *sorted(str(p) for p in (tmp_path / "in").iterdir()),
                           "-o", str(tmp_path / "out")], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 1 and "Traceback" not in proc.stderr
    for name, text in expected.items():
        assert text.format(p=tmp_path / "in" / name) in proc.stderr
    assert "0 of 4 file(s) done, 3 failed, 1 empty (not written)" in proc.stderr


def test_a_bad_budget_on_the_command_line_names_the_flag(tmp_path, write_png):
    rc, _, err = run("mesh", write_png(sprite_alpha()), "-o", tmp_path, "--max-vertices", "2")
    assert rc == 2
    assert err == "vellumcut: error: argument --max-vertices: must be at least 3 (or none for no cap), got 2\n"


def test_the_report_counts_coverage_with_the_mesh_threshold(tmp_path, write_png):
    path = write_png(sprite_alpha(), "sprite.png")
    rc, _, err = run("mesh", path, "-o", tmp_path / "out", "--alpha-threshold", "64", "--preview")
    assert rc == 0, err
    report = (tmp_path / "out" / "sprite.report.txt").read_text()
    # 12 x 12 pixels above alpha 0, of which the 4 x 4 at alpha 30 are not above 64.
    assert "opaque pixels (alpha above 64) covered: 128 of 128 (100.0 %)" in report
    assert "outlines run through pixel edges" in report
    mesh = vellumcut.mesh_sprite(path, alpha_threshold=64)
    rgba, opaque = modes.get("mesh").load_mask(path, mesh)
    assert opaque.sum() == 128 and rgba.shape == (16, 16, 4)
    assert image.load_mask(path, 0, 0)[1].sum() == 144  # the core's rule, alpha > 0


@pytest.mark.parametrize("threshold, words", [(0, "no opaque pixel"), (250, "no pixel has alpha above 250")],
                         ids=["transparent", "below-threshold"])
def test_an_empty_mesh_says_which_rule_left_nothing(tmp_path, write_png, threshold, words):
    alpha = np.zeros((10, 10), np.uint8) if threshold == 0 else np.full((10, 10), 200, np.uint8)
    rc, _, err = run("mesh", write_png(alpha), "-o", tmp_path, "--alpha-threshold", threshold)
    assert rc == 1 and f"empty mesh: {words}" in err


# --- structured refusals ------------------------------------------------------------------

def refused_files(tmp_path: Path, write_png) -> dict[str, tuple[Path, dict]]:
    (tmp_path / "empty.png").write_bytes(b"")
    (tmp_path / "notes.png").write_text("not pixels")
    cv2.imwrite(str(tmp_path / "photo.jpg"), np.full((8, 8, 3), 90, np.uint8))
    (tmp_path / "cut.png").write_bytes(Path(write_png(sprite_alpha())).read_bytes()[:60])
    (tmp_path / "huge.png").write_bytes(hostile_files.png(5000, 4000))
    return {
        "cannot_open": (tmp_path / "missing.png", {"errno": 2}),
        "directory": (tmp_path, {}),
        "empty_file": (tmp_path / "empty.png", {}),
        "not_image": (tmp_path / "notes.png", {"format": ""}),
        "unsupported_format": (tmp_path / "photo.jpg", {"format": "JPEG"}),
        "damaged": (tmp_path / "cut.png", {"format": "PNG"}),
        "too_large": (tmp_path / "huge.png", {"width": 5000, "height": 4000, "limit": 4096 * 4096}),
    }


KINDS = ["cannot_open", "directory", "empty_file", "not_image", "unsupported_format", "damaged", "too_large"]


@pytest.mark.parametrize("kind", KINDS)
def test_the_mesher_refuses_with_a_kind_and_its_numbers(tmp_path, write_png, kind):
    path, numbers = refused_files(tmp_path, write_png)[kind]
    with pytest.raises(ImageRefused, match=r"^cannot read image '.*': ") as info:
        vellumcut.mesh_sprite(path)
    err = info.value
    assert isinstance(err, RuntimeError) and err.kind == kind and err.path == str(path)
    assert {k: getattr(err, k) for k in numbers} == numbers
    # Batches carry refusals across processes.
    back = pickle.loads(pickle.dumps(err))
    assert (type(back), back.kind, back.numbers(), str(back)) == (ImageRefused, kind, err.numbers(), str(err))


@pytest.mark.parametrize("kind", KINDS)
def test_earcut_explains_the_same_refusals_and_keeps_the_core_text(tmp_path, write_png, kind):
    path, _ = refused_files(tmp_path, write_png)[kind]
    core_text = "^画像が大きすぎます$" if kind == "too_large" else "^RGBA PNG を指定してください$"
    with pytest.raises(RuntimeError, match=core_text) as info:
        vellumcut.earcut(path)
    assert not isinstance(info.value, ImageRefused)  # the core's contract: its own text only
    line = modes.get("earcut").explain(info.value, str(path))
    words = {"cannot_open": "it cannot be opened (No such file or directory)", "directory": "it is a folder",
             "empty_file": "the file is empty", "not_image": "it is not an image file",
             "unsupported_format": "it is a JPEG file", "damaged": "it is a PNG file that is damaged",
             "too_large": "image too large: 5000 x 4000 pixels"}[kind]
    assert words in line and line.endswith(f"({info.value})")


def test_option_errors_carry_the_option_and_survive_pickling():
    with pytest.raises(OptionError, match=r"^min_angle must be above 0 and at most 34 degrees") as info:
        vellumcut.mesh_sprite(np.zeros((4, 4), np.uint8), min_angle=40)
    assert (info.value.option, isinstance(info.value, ValueError)) == ("min_angle", True)
    back = pickle.loads(pickle.dumps(info.value))
    assert (back.option, back.requirement, str(back)) == ("min_angle", info.value.requirement, str(info.value))


# --- images without alpha under `mesh` ----------------------------------------------------

@pytest.mark.parametrize("source", ["rgb-png", "rgb-array", "pil-L"])
def test_an_image_without_alpha_meshes_as_its_rectangle_with_a_warning(tmp_path, source):
    pixels = np.full((6, 9, 3), 90, np.uint8)
    if source == "rgb-png":
        cv2.imwrite(str(tmp_path / "rgb.png"), pixels)
        image = str(tmp_path / "rgb.png")
    elif source == "rgb-array":
        image = pixels
    else:
        from PIL import Image

        image = Image.fromarray(pixels[..., 0], "L")
    mesh = vellumcut.mesh_sprite(image)
    assert mesh.warnings == ["no alpha channel: meshed as the full image"]
    (part,) = mesh.parts
    assert part.vertices.min(axis=0).tolist() == [-0.5, -0.5]
    assert part.vertices.max(axis=0).tolist() == [8.5, 5.5]
    with_alpha = np.dstack([pixels, np.full((6, 9), 255, np.uint8)])
    assert vellumcut.mesh_sprite(with_alpha).warnings == []


def test_the_command_line_prints_the_no_alpha_warning(tmp_path):
    cv2.imwrite(str(tmp_path / "rgb.png"), np.full((6, 9, 3), 90, np.uint8))
    rc, _, err = run("mesh", tmp_path / "rgb.png", "-o", tmp_path / "out")
    assert rc == 0 and "warning: no alpha channel: meshed as the full image" in err.splitlines()


# --- modes --------------------------------------------------------------------------------

def test_modes_know_their_frame_and_mask_rule():
    frames = {name: modes.get(name).frame for name in ("outline", "earcut", "poisson", "mesh", "rig")}
    assert frames == {"outline": modes.PIXEL_CENTRES, "earcut": modes.PIXEL_CENTRES,
                      "poisson": modes.PIXEL_CENTRES, "mesh": modes.PIXEL_EDGES, "rig": modes.PIXEL_EDGES}
    alpha = np.array([0, 1, 64, 65, 255], np.uint8)
    assert modes.get("earcut").opaque(alpha, {"alpha_threshold": 64}).tolist() == [0, 1, 1, 1, 1]
    assert modes.get("mesh").opaque(alpha, {"alpha_threshold": 64}).tolist() == [0, 0, 0, 1, 1]
    with pytest.raises(ValueError, match="mode 'mesh' is already registered"):
        modes.register_mode(modes.get("mesh"))


def test_a_registered_mesher_without_a_mode_gets_a_plain_report(tmp_path, write_png, monkeypatch):
    def broken(path, **_):
        raise KeyError("no such layer")

    monkeypatch.setitem(vellumcut.MESHERS, "layered", broken)
    (outcome,) = vellumcut.batch([write_png(sprite_alpha())], mode="layered")
    assert outcome.status == "failed"
    assert outcome.message.startswith("the 'layered' mesher failed on this file (KeyError: 'no such layer')")


def test_the_package_namespace_holds_only_what_all_lists():
    import types

    public = {n for n in dir(vellumcut) if not n.startswith("_")}
    modules = {n for n in public if isinstance(getattr(vellumcut, n), types.ModuleType)}
    # Submodules become attributes once anything imports them; nothing else may.
    assert all(getattr(vellumcut, n).__name__ == f"vellumcut.{n}" for n in modules), modules
    assert public - modules == set(vellumcut.__all__) - modules
    assert set(vellumcut.__all__) <= public
    namespace: dict = {}
    exec("from vellumcut import *", namespace)
    assert set(namespace) - {"__builtins__"} == set(vellumcut.__all__)


def test_no_submodule_shadows_a_function_or_the_mesh_mode():
    import importlib
    import importlib.util
    import types

    # `vellumcut.mesh` was a module beside the functions earcut, outline and
    # poisson; importing a submodule must never rebind a function's name.
    functions = [n for n in vellumcut.__all__ if isinstance(getattr(vellumcut, n), types.FunctionType)]
    assert {"earcut", "outline", "poisson", "mesh_sprite", "rig_sprite"} <= set(functions)
    assert [n for n in functions + ["mesh"] if importlib.util.find_spec(f"vellumcut.{n}") is not None] == []
    importlib.import_module("vellumcut.meshes")
    assert all(isinstance(getattr(vellumcut, n), types.FunctionType) for n in functions)
