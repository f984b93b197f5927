"""`vellumcut.batch` on executors, and `vellumcut --dask` against a real
Dask LocalCluster on 127.0.0.1 (started and closed here)."""
from __future__ import annotations

import json
import os
import subprocess
import sys
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor
from pathlib import Path

import cv2
import numpy as np
import pytest

import vellumcut


def _sprite(path, box):
    a = np.zeros((40, 50, 4), np.uint8)
    a[box[0]:box[1], box[2]:box[3], 3] = 255
    a[..., 2] = 200
    cv2.imwrite(str(path), a)


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """Four sprites of different sizes, an RGB image and a below-floor one."""
    d = tmp_path_factory.mktemp("batch")
    paths = []
    for i, box in enumerate([(5, 30, 5, 40), (2, 38, 10, 20), (10, 12, 10, 48), (0, 40, 0, 50)]):
        paths.append(d / f"s{i}.png")
        _sprite(paths[-1], box)
    cv2.imwrite(str(d / "rgb.png"), np.full((8, 8, 3), 50, np.uint8))
    specks = np.zeros((300, 300, 4), np.uint8)
    specks[0, 0, 3] = specks[299, 299, 3] = specks[150, 100:103, 3] = 255
    cv2.imwrite(str(d / "specks.png"), specks)
    return [*paths[:2], d / "rgb.png", paths[2], d / "specks.png", paths[3]]


def _summary(outcomes):
    return [(Path(o.source).name, o.status, o.triangles) for o in outcomes]


@pytest.mark.parametrize("make", [lambda: None, lambda: ThreadPoolExecutor(2),
                                  lambda: ProcessPoolExecutor(2)],
                         ids=["this_thread", "threads", "processes"])
def test_batch_gives_the_same_outcomes_in_input_order_on_any_executor(files, make):
    serial = vellumcut.batch(files, "earcut", eps=1.0)
    ex = make()
    try:
        got = vellumcut.batch(files, "earcut", ex, eps=1.0)
    finally:
        if ex is not None:
            ex.shutdown()
    assert _summary(got) == _summary(serial)
    assert [o.status for o in got] == ["done", "done", "failed", "done", "empty", "done"]
    assert "RGBA PNG を指定してください" in got[2].message and "alpha channel" in got[2].message
    for a, b in zip(got, serial):
        if a.status == "done":  # earcut is deterministic: the very same meshes
            assert [p.triangles.tolist() for p in a.mesh.parts] == \
                   [p.triangles.tolist() for p in b.mesh.parts]


def test_batch_writes_outputs_and_refuses_clashing_names(files, tmp_path):
    out = tmp_path / "o"
    got = vellumcut.batch(files, "poisson", out=out, format="obj", preview=True, allow_empty=True,
                          rpx=4)
    assert [o.status for o in got] == ["done", "done", "failed", "done", "failed", "done"]
    assert sorted(os.listdir(out)) == sorted(
        [f"s{i}{ext}" for i in range(4) for ext in (".obj", ".mtl", ".preview.svg", ".preview.png",
                                                    ".report.txt")] + ["index.html"])
    twin = tmp_path / "twin"
    twin.mkdir()
    (twin / "s0.png").write_bytes(Path(files[0]).read_bytes())
    with pytest.raises(ValueError, match="would both be written"):
        vellumcut.batch([files[0], twin / "s0.png"], "earcut", out=tmp_path / "o2")


# --- Dask ----------------------------------------------------------------------------------------

distributed = pytest.importorskip("distributed")


@pytest.fixture(scope="module")
def cluster():
    """Two single-threaded worker processes and a scheduler on loopback."""
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None,
                                  silence_logs=50) as c:
        yield c


def test_batch_on_a_dask_cluster_matches_the_local_run(files, cluster):
    with distributed.Client(cluster.scheduler_address, set_as_default=False) as client:
        got = vellumcut.batch(files, "earcut", client.get_executor(pure=False), eps=1.0)
        workers = {w for w in client.run(os.getpid).values()}
    assert os.getpid() not in workers and len(workers) == 2
    assert _summary(got) == _summary(vellumcut.batch(files, "earcut", eps=1.0))


def _cli(*argv):
    env = dict(os.environ, PYTHONIOENCODING="utf-8")
    return subprocess.run([str(Path(sys.executable).with_name("vellumcut")), *map(str, argv)],
                          capture_output=True, text=True, encoding="utf-8", env=env, timeout=180)


def test_dask_command_line_reports_like_jobs(files, cluster, tmp_path):
    """The same files through --jobs 2 and --dask: the same outputs, the
    same failure and warning lines and the same summary."""
    folder = Path(files[0]).parent
    runs = {}
    for name, extra in (("jobs", ["--jobs", 2]), ("dask", ["--dask", cluster.scheduler_address])):
        proc = _cli("earcut", folder, "-o", tmp_path / name, "--preview", *extra)
        assert proc.returncode == 1 and "Traceback" not in proc.stderr
        problems = sorted(ln for ln in proc.stderr.splitlines() if ln.startswith(("error:", "warning:")))
        summary = proc.stderr.splitlines()[-1].split("; outputs in")[0]
        outputs = sorted(p.name for p in (tmp_path / name).iterdir() if not p.name.startswith("."))
        runs[name] = (problems, summary, outputs)
    assert runs["dask"] == runs["jobs"]
    problems, summary, outputs = runs["dask"]
    assert summary == "4 of 6 file(s) done, 1 failed, 1 empty (not written)"
    assert [p.split(": ")[0] for p in problems] == ["error", "warning"]
    assert len(outputs) == 17 and "index.html" in outputs  # 4 sprites x 4 files, the overview
    doc = json.loads((tmp_path / "dask" / "s3.json").read_text())
    assert doc["counts"]["triangles"] >= 2


def test_an_unreachable_scheduler_is_one_line_and_exit_2(files, tmp_path):
    proc = _cli("earcut", files[0], "-o", tmp_path / "o", "--dask", "tcp://127.0.0.1:9")
    assert proc.returncode == 2 and "Traceback" not in proc.stderr
    assert proc.stderr.startswith("vellumcut: error: --dask tcp://127.0.0.1:9: cannot reach the scheduler")
    assert proc.stderr.count("\n") == 1
