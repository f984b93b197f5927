"""The `vellumcut` command line as a user meets it: what each failure says,
exit statuses, empty meshes, folder trees, incremental re-runs. One batch of
bad files goes through the installed console script in a subprocess; the
rest call `vellumcut.cli.main` in this process (tests/cli_run.py). Files are
generated here."""
from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import cv2
import numpy as np
import pytest

import hostile_files
from cli_run import run_cli

SCRIPT = str(Path(sys.executable).with_name("vellumcut"))


def console_script(*argv, cwd=None):
    env = dict(os.environ, PYTHONIOENCODING="utf-8")
    return subprocess.run([SCRIPT, *map(str, argv)], capture_output=True, text=True,
                          encoding="utf-8", env=env, cwd=cwd, timeout=120)


vellumcut = run_cli


def rgba(alpha):
    img = np.zeros(alpha.shape + (4,), np.uint8)
    img[..., 1] = 150
    img[..., 3] = alpha
    return img


def block(h=40, w=48, box=(6, 30, 8, 40)):
    a = np.zeros((h, w), np.uint8)
    a[box[0]:box[1], box[2]:box[3]] = 255
    return a


def specks():
    """Opaque pixels only in far corners and a 3-pixel line: every outline is
    below the area floor, yet the image is not transparent."""
    a = np.zeros((300, 300), np.uint8)
    a[0, 0] = a[299, 299] = 255
    a[150, 100:103] = 255
    return a


def written(folder):
    return sorted(p.relative_to(folder).as_posix() for p in Path(folder).rglob("*")
                  if p.is_file() and not p.name.startswith("."))


def lines(stderr, kind):
    return [ln for ln in stderr.splitlines() if ln.startswith(kind + ": ")]


# --- one line per failure, in English, with the core's text kept ---------------------------

def _bad_files(folder: Path) -> dict[str, str]:
    folder.mkdir()
    cv2.imwrite(str(folder / "rgb.png"), np.full((10, 12, 3), 90, np.uint8))
    cv2.imwrite(str(folder / "photo.jpg"), np.full((16, 16, 3), 90, np.uint8))
    (folder / "notes.png").write_text("these are notes, not pixels")
    (folder / "empty.png").write_bytes(b"")
    cv2.imwrite(str(folder / "clear.png"), np.zeros((8, 8, 4), np.uint8))
    deep = np.zeros((20, 20, 4), np.uint16)
    deep[4:16, 4:16] = 65535
    cv2.imwrite(str(folder / "deep.png"), deep)
    (folder / "huge.png").write_bytes(hostile_files.png(5000, 5000))
    return {
        "rgb.png": "not an image with an alpha channel: it is a PNG image of 12 x 10 pixels in mode "
                   "RGB, without transparency; save it as a PNG",
        "photo.jpg": "not an image with an alpha channel: it is a JPEG file, a format without transparency",
        "notes.png": "not an image with an alpha channel: it is not an image file, or a damaged one",
        "empty.png": "not an image with an alpha channel: the file is empty",
        "clear.png": "no opaque pixel: every pixel is fully transparent",
        "deep.png": "16-bit or floating-point image: earcut reads 8 bits per channel; convert it",
        "huge.png": "image too large: 5000 x 5000 pixels is over the limit of 16,777,216 pixels",
    }


CORE_TEXT = {"rgb.png": "(RGBA PNG を指定してください)", "photo.jpg": "(RGBA PNG を指定してください)",
             "notes.png": "(RGBA PNG を指定してください)", "empty.png": "(RGBA PNG を指定してください)",
             "clear.png": "(不透明領域が見つかりません)", "deep.png": "(-210:Unsupported format",
             "huge.png": "(画像が大きすぎます)"}


@pytest.fixture(scope="module")
def bad_batch(tmp_path_factory):
    root = tmp_path_factory.mktemp("bad")
    expected = _bad_files(root / "in")
    cv2.imwrite(str(root / "in" / "good.png"), rgba(block()))
    names = sorted(expected) + ["good.png"]
    proc = console_script("earcut", *[root / "in" / n for n in names], "-o", root / "out")
    return root, expected, proc


def test_a_batch_with_bad_files_reports_each_and_exits_1(bad_batch):
    root, expected, proc = bad_batch
    assert proc.returncode == 1
    assert "Traceback" not in proc.stderr
    assert len(lines(proc.stderr, "error")) == len(expected)
    assert f"1 of {len(expected) + 1} file(s) done, {len(expected)} failed" in proc.stderr
    assert written(root / "out") == ["good.json"]


@pytest.mark.parametrize("name", sorted(CORE_TEXT))
def test_each_failure_is_one_english_line_naming_the_file(bad_batch, name):
    root, expected, proc = bad_batch
    path = str(root / "in" / name)
    (line,) = [ln for ln in lines(proc.stderr, "error") if ln.startswith(f"error: {path}: ")]
    assert expected[name] in line
    assert line.rstrip().endswith(")") and CORE_TEXT[name] in line


def test_poisson_on_a_lone_pixel_says_to_use_earcut(tmp_path):
    a = np.zeros((30, 30), np.uint8)
    a[10, 10] = 255
    cv2.imwrite(str(tmp_path / "dot.png"), rgba(a))
    proc = vellumcut("poisson", tmp_path / "dot.png", "-o", tmp_path / "o")
    assert proc.returncode == 1
    (line,) = lines(proc.stderr, "error")
    assert "use earcut for this sprite" in line and line.endswith("(outer ring degenerate)")


# --- usage errors: exit 2, the subcommand's usage or one line -------------------------------

@pytest.mark.parametrize("argv, needle, usage", [
    (["earcut", "{img}", "--epss", "2"], "unrecognized arguments: --epss (did you mean --eps?)", True),
    (["poisson", "{img}", "--rpx", "0"], "argument --rpx: must be at least 1, got 0", True),
    (["earcut", "{img}", "--eps", "-1"], "argument --eps: must be at least 0, got -1", True),
    (["earcut", "{img}", "--eps", "nan"], "argument --eps: expected a finite number", True),
    (["earcut", "{img}", "--dask", "127.0.0.1:1", "--jobs", "2"], "--jobs and --dask exclude", True),
    (["earcut", "{img}", "-o", "{file}"], "--out {file}: this is a file, not a folder", False),
    (["earcut", "{img}", "-o", "{file}/sub"], "cannot write there (Not a directory)", False),
], ids=["misspelt_option", "rpx_0", "negative_eps", "nan_eps", "jobs_and_dask", "out_is_file",
        "out_under_file"])
def test_usage_errors_exit_2_without_traceback(tmp_path, argv, needle, usage):
    img = tmp_path / "a.png"
    cv2.imwrite(str(img), rgba(block()))
    (tmp_path / "file.txt").write_text("x")
    fill = {"img": img, "file": tmp_path / "file.txt"}
    proc = vellumcut(*[a.format(**fill) for a in argv], cwd=tmp_path)
    assert proc.returncode == 2
    assert "Traceback" not in proc.stderr
    assert needle.format(**fill) in proc.stderr
    sub = argv[0]
    if usage:  # the subcommand's own usage, not the top level's
        assert proc.stderr.startswith(f"usage: vellumcut {sub} ")
    else:
        assert proc.stderr.count("\n") == 1
    assert not (tmp_path / "vellumcut-out").exists() or not written(tmp_path / "vellumcut-out")


# --- empty meshes -----------------------------------------------------------------------------

@pytest.mark.parametrize("mode, reason", [("earcut", "every island is below the area floor"),
                                          ("outline", "less than 3 square pixels")])
def test_empty_meshes_warn_and_exit_1_unless_allowed(tmp_path, mode, reason):
    cv2.imwrite(str(tmp_path / "specks.png"), rgba(specks()))
    cv2.imwrite(str(tmp_path / "good.png"), rgba(block()))
    proc = vellumcut(mode, tmp_path / "specks.png", tmp_path / "good.png", "-o", tmp_path / "o")
    assert proc.returncode == 1
    (warning,) = lines(proc.stderr, "warning")
    assert warning.startswith(f"warning: {tmp_path / 'specks.png'}: ") and reason in warning
    assert "--allow-empty" in warning and not lines(proc.stderr, "error")
    assert "1 of 2 file(s) done, 0 failed, 1 empty" in proc.stderr
    assert written(tmp_path / "o") == ["good.json"]
    proc = vellumcut(mode, tmp_path / "specks.png", "-o", tmp_path / "o", "--allow-empty")
    assert proc.returncode == 0, proc.stderr
    doc = json.loads((tmp_path / "o" / "specks.json").read_text())
    assert doc["counts"]["triangles"] == 0 and not lines(proc.stderr, "warning")


# --- folder trees ------------------------------------------------------------------------------

@pytest.fixture
def tree(tmp_path):
    """art/hero.png, art/chars/hero.png, art/chars/deep/x.png, a text file, a
    symbolic-link loop and a FIFO."""
    art = tmp_path / "art"
    (art / "chars" / "deep").mkdir(parents=True)
    for rel in ("hero.png", "chars/hero.png", "chars/deep/x.png"):
        cv2.imwrite(str(art / rel), rgba(block()))
    (art / "chars" / "readme.txt").write_text("not an image")
    os.symlink("..", art / "chars" / "deep" / "up")
    os.mkfifo(art / "chars" / "pipe.png")
    return art


def test_recursive_outputs_mirror_the_tree_and_skip_loops_and_fifos(tree, tmp_path):
    out = tmp_path / "out"
    proc = vellumcut("earcut", tree, "-r", "-o", out, "--preview", "--jobs", 2)
    assert proc.returncode == 0, proc.stderr
    names = written(out)
    assert [n for n in names if n.endswith(".json")] == ["chars/deep/x.json", "chars/hero.json",
                                                         "hero.json"]
    assert "chars/hero.preview.png" in names and "chars/deep/x.report.txt" in names
    warnings = lines(proc.stderr, "warning")
    assert any(w.startswith(f"warning: {tree / 'chars' / 'pipe.png'}: a FIFO") for w in warnings)
    assert any(f"{tree / 'chars' / 'deep' / 'up'}: symbolic link loop" in w for w in warnings)
    assert len(warnings) == 2


def test_a_folder_without_images_hints_at_r(tree, tmp_path):
    os.unlink(tree / "hero.png")
    proc = vellumcut("earcut", tree, "-o", tmp_path / "out")
    assert proc.returncode == 1
    (line,) = lines(proc.stderr, "error")
    assert line.startswith(f"error: {tree}: ") and "add -r" in line
    assert "0 of 1 file(s) done, 1 failed" in proc.stderr


@pytest.mark.parametrize("order", [1, -1], ids=["given_order", "reversed"])
def test_same_names_from_two_folders_fail_both_whatever_the_order(tree, tmp_path, order):
    pair = [tree / "hero.png", tree / "chars" / "hero.png"][::order]
    proc = vellumcut("earcut", *pair, "-o", tmp_path / "out")
    assert proc.returncode == 1
    errors = lines(proc.stderr, "error")
    assert len(errors) == 2 and all("would also be that of" in e for e in errors)
    assert written(tmp_path / "out") == []


def test_output_folder_inside_the_input_tree_is_not_walked(tree):
    out = tree / "meshes"
    for _ in range(2):
        proc = vellumcut("earcut", tree, "-r", "-o", out, "--preview", "--force")
        assert proc.returncode == 0, proc.stderr
        assert "3 of 3 file(s) done" in proc.stderr


# --- incremental re-runs -------------------------------------------------------------------------

def test_reruns_skip_unchanged_inputs_and_redo_what_changed(tree, tmp_path):
    out = tmp_path / "out"
    first = vellumcut("earcut", tree, "-r", "-o", out)
    assert first.returncode == 0 and "3 of 3 file(s) done, 0 failed" in first.stderr
    stamp = {n: (out / n).stat().st_mtime_ns for n in written(out)}

    again = vellumcut("earcut", tree, "-r", "-o", out)
    assert again.returncode == 0 and "(3 unchanged, skipped)" in again.stderr
    assert {n: (out / n).stat().st_mtime_ns for n in written(out)} == stamp

    # New content (same size and name), a deleted output, and a touched but
    # unchanged file: only the first two are meshed again.
    cv2.imwrite(str(tree / "chars" / "hero.png"), rgba(block(box=(2, 20, 3, 30))))
    (out / "chars" / "deep" / "x.json").unlink()
    os.utime(tree / "hero.png")
    third = vellumcut("earcut", tree, "-r", "-o", out)
    assert third.returncode == 0
    assert "3 of 3 file(s) done (1 unchanged, skipped)" in third.stderr
    assert sorted(ln.split(" -> ")[0] for ln in third.stdout.splitlines()) == [
        str(tree / "chars" / "deep" / "x.png"), str(tree / "chars" / "hero.png")]


@pytest.mark.parametrize("change", [["--eps", "2"], ["--format", "obj"], ["--preview"], ["--force"]],
                         ids=["option", "format", "preview", "force"])
def test_other_options_or_force_mesh_everything_again(tree, tmp_path, change):
    out = tmp_path / "out"
    assert vellumcut("earcut", tree, "-r", "-o", out).returncode == 0
    proc = vellumcut("earcut", tree, "-r", "-o", out, *change)
    assert proc.returncode == 0 and "3 of 3 file(s) done, 0 failed" in proc.stderr
    assert "unchanged" not in proc.stderr


def test_a_damaged_manifest_is_reported_and_ignored(tree, tmp_path):
    out = tmp_path / "out"
    assert vellumcut("earcut", tree, "-r", "-o", out).returncode == 0
    (out / ".vellumcut-manifest.json").write_text("{not json")
    proc = vellumcut("earcut", tree, "-r", "-o", out)
    assert proc.returncode == 0 and "3 of 3 file(s) done, 0 failed" in proc.stderr
    (warning,) = [w for w in lines(proc.stderr, "warning") if "unreadable" in w]
    assert warning.startswith(f"warning: {out / '.vellumcut-manifest.json'}: unreadable")
    doc = json.loads((out / ".vellumcut-manifest.json").read_text())
    assert sorted(doc["entries"]) == ["chars/deep/x", "chars/hero", "hero"]


def test_a_glob_of_folders_with_r_walks_them_under_the_pattern_root(tree, tmp_path):
    proc = vellumcut("earcut", str(tree / "ch*"), "-r", "-o", tmp_path / "out")
    assert proc.returncode == 0, proc.stderr
    assert written(tmp_path / "out") == ["chars/deep/x.json", "chars/hero.json"]


def test_a_glob_reaching_into_the_output_folder_leaves_the_outputs_alone(tree):
    for _ in range(2):
        proc = vellumcut("earcut", str(tree / "**" / "*.png"), "-o", tree / "meshes", "--preview",
                         "--force")
        assert proc.returncode == 0, proc.stderr
        assert "3 of 3 file(s) done" in proc.stderr
