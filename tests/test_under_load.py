"""Many threads and many calls: same results as serial calls, no crash, no growth.

Each scenario runs in its own interpreter, so a crash fails the test instead
of ending the test run.
"""
import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import hostile_files
from sprites import random_alpha

HERE = os.path.dirname(__file__)


@pytest.fixture
def mixed_inputs(tmp_path, write_png):
    """Paths and point lists that succeed, and ones that fail in every way we know."""
    rng = np.random.default_rng(11)
    good = [write_png(random_alpha(rng, 48, 48)) for _ in range(4)]
    bomb = tmp_path / "bomb.png"
    bomb.write_bytes(hostile_files.png(16384, 16384))
    rgb = tmp_path / "rgb.ppm"
    rgb.write_bytes(b"P6\n4 4\n255\n" + b"\x80" * 48)
    paths = good + [str(bomb), str(rgb), str(tmp_path / "missing.png"), good[0] + "\0x",
                    write_png(np.zeros((9, 9), np.uint8))]
    meshes = [
        [[[0, 0], [20, 0], [20, 20], [0, 20]], [[[5, 5], [15, 5], [15, 15], [5, 15]]], [[10, 2], [2, 10]]],
        [[[0, 0], [10, 0], [0, 10], [10, 10]], [], [[5, 5]]],                 # self-crossing outline
        [[[0, 0], [30, 0], [30, 30], [0, 30]], [[[-5, 10], [40, 12], [10, 40]]], []],  # hole crossing it
        [[[0, 0], [1, 1], [2, 2]], [], []],                                   # degenerate
        [[[0, 0], [1, 0], [float("nan"), 1]], [], []],                        # non-finite
    ]
    return {"paths": paths, "meshes": meshes}


SCRIPT = r"""
import json, sys, threading, resource
import vellumcut_core as vc
from concurrent.futures import ThreadPoolExecutor

inputs = json.loads(sys.stdin.read())
def calls():
    out = []
    for p in inputs["paths"]:
        out.append(("islands", (p, 1.0, 2)))
        out.append(("triangulate_png", (p, 1.5, 2, 0.0)))
        out.append(("poisson_png", (p, 1.0, 2, 4)))
    for m in inputs["meshes"]:
        out.append(("tri_mesh_debug", tuple(m)))
    return out

def run(call):
    name, args = call
    try:
        r = getattr(vc, name)(*args)
    except Exception as e:
        return [type(e).__name__, str(e)]
    if name == "poisson_png":   # random interior points: compare only the fixed part
        return ["ok", r["w"], r["h"], r["scale"]]
    return ["ok", {k: (v.tolist() if hasattr(v, "tolist") else v) for k, v in r.items()}]

def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])

mode = sys.argv[1]
work = calls()
if mode == "threads":
    serial = [run(c) for c in work]
    rounds = 6
    with ThreadPoolExecutor(8) as pool:
        parallel = list(pool.map(run, work * rounds))
    mismatches = sum(1 for i, r in enumerate(parallel) if r != serial[i % len(work)])
    kinds = sorted({r[0] for r in serial})
    print(json.dumps({"calls": len(parallel), "mismatches": mismatches, "kinds": kinds}))
else:
    n = int(sys.argv[2])
    for c in work * 3:   # warm up: numpy import, allocator pools, OpenCV's codecs
        run(c)
    before = rss_kib()
    done = 0
    while done < n:
        for c in work:
            run(c)
            done += 1
    print(json.dumps({"calls": done, "before_kib": before, "after_kib": rss_kib()}))
"""


def run_script(inputs, *args):
    proc = subprocess.run([sys.executable, "-c", SCRIPT, *args], input=json.dumps(inputs), capture_output=True,
                          text=True, timeout=300, cwd=HERE)
    assert proc.returncode == 0, proc.stderr[-2000:]
    return json.loads(proc.stdout.strip().splitlines()[-1])


def test_eight_threads_give_the_serial_results(mixed_inputs):
    r = run_script(mixed_inputs, "threads")
    assert r["mismatches"] == 0
    # The mix really holds successes and each kind of failure.
    assert r["kinds"] == ["RuntimeError", "ValueError", "ok"]


def test_ten_thousand_mixed_calls_do_not_grow_memory(mixed_inputs):
    r = run_script(mixed_inputs, "load", "10000")
    assert r["calls"] >= 10000
    grown_mib = (r["after_kib"] - r["before_kib"]) / 1024
    assert grown_mib < 8, r
