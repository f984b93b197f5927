"""Benchmark runner: `make bench` (all cases) or `make bench-smoke` (512 px).

For every generated sprite it times, each call in a fresh process:
  floor      decode and trace only (C++, same OpenCV): imread, alpha, border,
             threshold, findContours;
  vellumcut  the module's function, called from Python;
  reference  the literal implementation (C++, bench and test code only);
  peer       the same job built from Python packages (bench/peer.py).
The first run of a measurement is cold; when it takes under 2 s, the runs
that count make the same call once, untimed, before the timed one, so that
one-time costs (lazy symbol binding, codec set-up, numpy's import) are not
counted for anyone; slower calls are timed cold, where those costs vanish.
It reports the median time and the peak resident memory of the process,
prints a table with the ratios, checks the performance targets and writes
JSON to bench/results/.
"""
from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import sprites  # noqa: E402

FUNCTIONS = ("islands", "triangulate_png", "poisson_png", "tri_mesh_debug")
WITH_RPX = ("poisson_png", "tri_mesh_debug")
NATIVE = os.path.join(ROOT, "build", "bench", "vellumcut_bench")
PY_MODULE = os.path.join(ROOT, ".venv", "bin", "python")
PY_PEER = os.path.join(ROOT, ".venv-bench", "bin", "python")
MEASURE = os.path.join(HERE, "measure.py")


def run_once(cmd: list[str], timeout: float) -> dict:
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"timeout": timeout}
    if proc.returncode != 0:
        tail = (proc.stderr or proc.stdout).strip().splitlines()[-1:] or [f"exit {proc.returncode}"]
        return {"error": tail[0][:200]}
    return json.loads(proc.stdout.strip().splitlines()[-1])


WARM_BELOW = 2.0


def measure(cmd: list[str], repeat: int, budget: float, timeout: float) -> dict:
    """Up to `repeat` runs, fewer once `budget` seconds have been spent.

    `cmd` holds the placeholder "WARMUP"; the first run is cold ("none"), and
    if it is quick the counted runs warm up on the same input ("same")."""
    cold = run_once([("none" if a == "WARMUP" else a) for a in cmd], timeout)
    if "seconds" not in cold:
        return cold
    warm = cold["seconds"] < WARM_BELOW
    runs, spent = ([] if warm else [cold]), cold["seconds"]
    while len(runs) < repeat and spent <= budget:
        t0 = time.monotonic()
        r = run_once([(("same" if warm else "none") if a == "WARMUP" else a) for a in cmd], timeout)
        spent += time.monotonic() - t0
        if "seconds" not in r:
            return r
        runs.append(r)
    return {
        "warm": warm,
        "seconds": statistics.median(r["seconds"] for r in runs),
        "runs": [r["seconds"] for r in runs],
        "maxrss_mib": max(r["maxrss_kib"] for r in runs) / 1024.0,
        "count": runs[0]["count"],
    }


def fmt_time(m: dict | None) -> str:
    if m is None:
        return "-"
    if "timeout" in m:
        return f">{m['timeout']:.0f}s"
    if "error" in m:
        return "error"
    s = m["seconds"]
    return f"{s * 1000:.1f}ms" if s < 10 else f"{s:.1f}s"


def ratio(a: dict | None, b: dict | None) -> str:
    """a / b, with a timeout on the a side giving a lower bound."""
    if not a or not b or "seconds" not in b:
        return "-"
    if "timeout" in a:
        return f">{a['timeout'] / b['seconds']:.0f}"
    if "seconds" not in a:
        return "-"
    return f"{a['seconds'] / b['seconds']:.2f}"


def mib(m: dict | None) -> str:
    return f"{m['maxrss_mib']:.0f}" if m and "maxrss_mib" in m else "-"


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", default="512,2048,4096")
    ap.add_argument("--kinds", default=",".join(sprites.KINDS))
    ap.add_argument("--rpx", default="4,8,16")
    ap.add_argument("--functions", default=",".join(FUNCTIONS))
    ap.add_argument("--impls", default="vellumcut,reference,peer")
    ap.add_argument("--repeat", type=int, default=5, help="runs per measurement (median)")
    ap.add_argument("--budget", type=float, default=15.0, help="stop repeating after this many seconds")
    ap.add_argument("--timeout", type=float, default=120.0, help="seconds before one run is abandoned")
    ap.add_argument("--out", default=os.path.join(HERE, "results"))
    args = ap.parse_args()

    sizes = [int(s) for s in args.sizes.split(",")]
    kinds = args.kinds.split(",")
    rpxs = [int(r) for r in args.rpx.split(",")]
    functions = args.functions.split(",")
    impls = args.impls.split(",")
    sprite_dir = os.path.join(args.out, "sprites")
    os.makedirs(args.out, exist_ok=True)

    results = []
    header = (f"{'sprite':<12} {'function':<16} {'rpx':>3} {'floor':>9} {'vellumcut':>10} {'xfloor':>7} "
              f"{'MiB':>5} {'reference':>10} {'ref/vc':>7} {'peer':>10} {'peer/vc':>8} {'peerMiB':>7}")
    print(header, flush=True)
    for size in sizes:
        for kind in kinds:
            sprite = sprites.sprite_path(sprite_dir, kind, size)
            name = f"{kind}-{size}"
            floor = measure([NATIVE, "floor", sprite, str(sprites.MARGIN), "WARMUP"], args.repeat,
                            args.budget, args.timeout)
            for fn in functions:
                for rpx in (rpxs if fn in WITH_RPX else [None]):
                    extra = []
                    if fn == "tri_mesh_debug":
                        outer, holes, pts = sprites.mesher_input(sprite, rpx)
                        rings_file = os.path.join(sprite_dir, f"{name}-rpx{rpx}.rings")
                        sprites.write_rings(rings_file, [outer] + holes + [pts])
                        extra = [rings_file]
                    rp = [str(rpx if rpx is not None else 8), "WARMUP"]
                    row = {"sprite": name, "size": size, "kind": kind, "function": fn, "rpx": rpx,
                           "floor": floor}
                    if "vellumcut" in impls:
                        row["vellumcut"] = measure([PY_MODULE, MEASURE, "vellumcut", fn, sprite] + rp + extra,
                                                   args.repeat, args.budget, args.timeout)
                    if "reference" in impls and fn != "islands":
                        # A timed-out or failed literal run is not repeated.
                        row["reference"] = measure([NATIVE, "reference", fn, sprite, str(sprites.MARGIN)] + rp + extra,
                                                   min(args.repeat, 3), args.budget, args.timeout)
                    if "peer" in impls:
                        row["peer"] = measure([PY_PEER, MEASURE, "peer", fn, sprite] + rp + extra,
                                              args.repeat, args.budget, args.timeout)
                    results.append(row)
                    vc, ref, peer = row.get("vellumcut"), row.get("reference"), row.get("peer")
                    print(f"{name:<12} {fn:<16} {rpx or '':>3} {fmt_time(floor):>9} {fmt_time(vc):>10} "
                          f"{ratio(vc, floor):>7} {mib(vc):>5} {fmt_time(ref):>10} {ratio(ref, vc):>7} "
                          f"{fmt_time(peer):>10} {ratio(peer, vc):>8} {mib(peer):>7}", flush=True)

    checks = check_targets(results)
    if checks:
        print("\nTargets:")
        for c in checks:
            print(f"  [{'ok' if c['met'] else 'MISSED'}] {c['what']}: {c['figure']}")
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    doc = {"when": stamp, "machine": platform.platform(), "cpus": os.cpu_count(),
           "loadavg_start_end": None, "args": vars(args), "results": results, "targets": checks}
    doc["loadavg"] = os.getloadavg()
    for path in (os.path.join(args.out, f"bench-{stamp}.json"), os.path.join(args.out, "latest.json")):
        with open(path, "w") as f:
            json.dump(doc, f, indent=1)
    print(f"\nJSON: {os.path.relpath(os.path.join(args.out, f'bench-{stamp}.json'), ROOT)}  "
          f"(load average at the end: {doc['loadavg'][0]:.2f})")
    return 0


def check_targets(results: list[dict]) -> list[dict]:
    out = []

    def secs(m):
        return m["seconds"] if m and "seconds" in m else None

    for r in results:
        vc, fl, ref, peer = r.get("vellumcut"), r["floor"], r.get("reference"), r.get("peer")
        v, f = secs(vc), secs(fl)
        label = f"{r['sprite']} {r['function']}" + (f" rpx {r['rpx']}" if r["rpx"] else "")
        if v is None:
            continue
        if r["size"] == 4096 and r["function"] in ("islands", "triangulate_png") and f:
            out.append({"what": f"{label} <= 1.25 x floor", "figure": f"{v / f:.2f} x", "met": v / f <= 1.25})
        if r["size"] == 4096 and r["function"] == "poisson_png" and r["rpx"] == 8:
            if f:
                out.append({"what": f"{label} <= 6 x floor", "figure": f"{v / f:.2f} x", "met": v / f <= 6})
            if ref is not None:
                if "timeout" in ref:
                    out.append({"what": f"{label} >= 20 x faster than reference",
                                "figure": f"> {ref['timeout'] / v:.0f} x (reference timed out)",
                                "met": ref["timeout"] / v >= 20})
                elif secs(ref):
                    out.append({"what": f"{label} >= 20 x faster than reference",
                                "figure": f"{secs(ref) / v:.1f} x", "met": secs(ref) / v >= 20})
        if r["size"] == 4096 and r["function"] == "poisson_png" and r["rpx"] == 4:
            out.append({"what": f"{label} peak RSS <= 512 MiB", "figure": f"{vc['maxrss_mib']:.0f} MiB",
                        "met": vc["maxrss_mib"] <= 512})
        if peer is not None:
            if "timeout" in peer:
                out.append({"what": f"{label} faster than peer", "figure": f"peer > {peer['timeout']:.0f} s",
                            "met": peer["timeout"] > v})
            elif secs(peer):
                out.append({"what": f"{label} faster than peer", "figure": f"{secs(peer) / v:.2f} x",
                            "met": secs(peer) > v})
            else:
                out.append({"what": f"{label} faster than peer", "figure": f"peer failed: {peer.get('error')}",
                            "met": True})
    return out


if __name__ == "__main__":
    sys.exit(main())
