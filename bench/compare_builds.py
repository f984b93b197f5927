"""Two builds of the module compared call by call, interleaved.

    .venv/bin/python bench/compare_builds.py BEFORE_DIR [ROUNDS] [CALLS]

BEFORE_DIR holds another build's vellumcut_core*.so (put first on
PYTHONPATH); "after" is the module installed in .venv. Each round runs one
fresh process per build on the same generated sprite and call; a process
makes the call once untimed, then CALLS timed calls. Reported: the minimum
and the median over rounds of each process's fastest call, in processor
time (all of the call's threads) and wall time. Minima resist the noise of
a shared machine better than single runs.
"""
import json, os, statistics, subprocess, sys
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import cv2, numpy as np
from sprites import make_alpha
PY = sys.executable
BUILDS = {"before": os.path.abspath(sys.argv[1]), "after": None}
CASES = [("island", 2048, "poisson_png", 4), ("noisy", 2048, "poisson_png", 4), ("many", 2048, "triangulate_png", 0),
         ("noisy", 2048, "islands", 0), ("island", 4096, "poisson_png", 8)]
CHILD = r"""
import sys, time, resource, json
import vellumcut_core as m
path, fn, rpx = sys.argv[1], sys.argv[2], int(sys.argv[3])
call = {"poisson_png": lambda: m.poisson_png(path, 1.5, 4, rpx), "triangulate_png": lambda: m.triangulate_png(path, 1.5, 4, 0.0),
        "islands": lambda: m.islands(path, 1.5, 4)}[fn]
call()
walls, cpus = [], []
for _ in range(int(sys.argv[4])):
    c0 = time.process_time(); t0 = time.perf_counter()
    call()
    walls.append(time.perf_counter() - t0); cpus.append(time.process_time() - c0)
print(json.dumps({"wall": min(walls), "cpu": min(cpus), "file": m.__file__}))
"""
rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 4
reps = int(sys.argv[3]) if len(sys.argv) > 3 else 6
SPRITES = os.path.join(HERE, "results", "compare-sprites")
os.makedirs(SPRITES, exist_ok=True)
res = {}
for kind, size, fn, rpx in CASES:
    path = os.path.join(SPRITES, f"{kind}{size}.png")
    if not os.path.exists(path):
        a = make_alpha(kind, size); img = np.zeros(a.shape + (4,), np.uint8); img[..., 3] = a; cv2.imwrite(path, img)
    key = f"{fn} {kind} {size} rpx{rpx}"
    for r in range(rounds):
        for build, pp in BUILDS.items():
            env = dict(os.environ)
            if pp: env["PYTHONPATH"] = pp
            out = json.loads(subprocess.run([PY, "-c", CHILD, path, fn, str(rpx), str(reps)], env=env, capture_output=True, text=True, check=True).stdout)
            assert (pp is None) != out["file"].startswith(BUILDS["before"]), out["file"]
            res.setdefault(key, {}).setdefault(build, []).append(out)
    b, a = res[key]["before"], res[key]["after"]
    fmt = lambda xs, k: (min(x[k] for x in xs), statistics.median(x[k] for x in xs))
    (bc, bcm), (ac, acm) = fmt(b, "cpu"), fmt(a, "cpu")
    (bw, bwm), (aw, awm) = fmt(b, "wall"), fmt(a, "wall")
    print(f"{key:34s} cpu min {bc:.3f} -> {ac:.3f} ({100*(ac/bc-1):+.1f}%)  median {bcm:.3f} -> {acm:.3f} ({100*(acm/bcm-1):+.1f}%)  wall min {bw:.3f} -> {aw:.3f} ({100*(aw/bw-1):+.1f}%)", flush=True)
