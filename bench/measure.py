"""One timed call in a fresh process; prints JSON with the seconds the call
took and the peak resident set size of the whole process (KiB, VmHWM).

    measure.py vellumcut|peer FUNCTION SPRITE RPX WARMUP [RINGS] [eps=E]
    measure.py mesher INTERIOR SPRITE SPACING WARMUP [tolerance=T]

FUNCTION is islands, triangulate_png, poisson_png or tri_mesh_debug (which
reads its input from the RINGS file written by the runner); eps=E replaces
the default eps (1.5). The mesher impl times `vellumcut.mesh_sprite` with
interior INTERIOR ("none", "poisson", "quality"), spacing SPACING (ignored
for "none"), the benchmark's margin and tolerance T (default 1). With WARMUP
"same" the process makes the same call once, untimed, before the timed one,
so that one-time costs (lazy symbol binding of the shared libraries, codec
set-up, numpy's import) are not counted; with "none" the call is cold.
"""
from __future__ import annotations

import json
import resource
import sys
import time

EPS = 1.5
MARGIN = 4


def peak_rss_kib() -> int:
    """Peak resident set of this process image (VmHWM). ru_maxrss is not used:
    after fork + exec it still counts the parent's pages from before exec."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def read_rings(path: str):
    import numpy as np

    data = open(path, "rb").read()
    count = int(np.frombuffer(data, np.int32, 1, 0)[0])
    off, rings = 4, []
    for _ in range(count):
        n = int(np.frombuffer(data, np.int32, 1, off)[0])
        off += 4
        rings.append(np.frombuffer(data, np.float32, 2 * n, off).reshape(n, 2).copy())
        off += 8 * n
    return rings


def main(argv: list[str]) -> None:
    impl, fn, sprite, rpx, warmup = argv[1], argv[2], argv[3], int(argv[4]), argv[5] == "same"
    options = dict(a.split("=", 1) for a in argv[6:] if "=" in a)
    positional = [a for a in argv[6:] if "=" not in a]
    eps = float(options.get("eps", EPS))
    if impl == "mesher":
        import vellumcut

        kwargs = {"interior": fn, "margin": MARGIN, "tolerance": float(options.get("tolerance", 1.0))}
        if fn != "none":
            kwargs.update(spacing=float(rpx), seed=1)
        if warmup:
            vellumcut.mesh_sprite(sprite, **kwargs)
        t0 = time.perf_counter()
        mesh = vellumcut.mesh_sprite(sprite, **kwargs)
        seconds = time.perf_counter() - t0
        print(json.dumps({"seconds": seconds, "maxrss_kib": peak_rss_kib(), "count": mesh.triangle_count}))
        return
    if impl == "vellumcut":
        import vellumcut_core as lib
    else:
        sys.path.insert(0, __import__("os").path.dirname(__file__))
        import peer as lib
    if fn == "tri_mesh_debug":
        rings = read_rings(positional[0])
        args = (rings[0], rings[1:-1], rings[-1])
    elif fn == "islands":
        args = (sprite, eps, MARGIN)
    elif fn == "triangulate_png":
        args = (sprite, eps, MARGIN, 0.0)
    elif fn == "poisson_png":
        args = (sprite, eps, MARGIN, rpx)
    else:
        raise SystemExit(f"unknown function {fn}")
    call = getattr(lib, fn)
    if warmup:
        call(*args)
    t0 = time.perf_counter()
    result = call(*args)
    seconds = time.perf_counter() - t0
    if "idx" in result:
        count = len(result["idx"]) // 3
    elif "groups" in result:
        count = sum(len(g["idx"]) // 3 for g in result["groups"])
    else:
        count = len(result["loops"])
    rss = peak_rss_kib()
    print(json.dumps({"seconds": seconds, "maxrss_kib": rss, "count": count}))


if __name__ == "__main__":
    main(sys.argv)
